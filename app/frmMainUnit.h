// The wizard's main window: the picture strip, the title, the area of the current step
// and the row of Back / Next / Cancel; it moves between the steps and runs the update.
#pragma once

#include "update/UpdateOutcome.h"

#include <QList>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

class QAction;
class QFrame;
class QLabel;
class QPushButton;
class QTimer;
class TFrmStep;
class TCaptionLabel;
class TDocumentReport;
class IUpdateReport;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget *parent = nullptr);
    ~TfrmMain() override;

    QFrame *PanelImage = nullptr;
    QLabel *ImageStep = nullptr;
    QWidget *PanelSteps = nullptr;
    TCaptionLabel *RzLabelTitle = nullptr;
    QWidget *PanelCurrStep = nullptr;
    QWidget *PanelButtons = nullptr;
    QLabel *RzLabelVersion = nullptr;
    QPushButton *ButtonPrev = nullptr;
    QPushButton *ButtonNext = nullptr;
    QPushButton *ButtonCancel = nullptr;
    QAction *ActionBack = nullptr;
    QAction *ActionNext = nullptr;
    QAction *ActionAnnuler = nullptr;
    QTimer *TimerOneTime = nullptr;

    // Read-only views of the window's state.
    const QList<TFrmStep *> &Steps() const { return FSteps; }
    const QList<TFrmStep *> &History() const { return FHistory; }
    const QStringList &Products() const { return FProducts; }
    bool UpdateRun() const { return FUpdateRun; }
    bool Started() const { return FStarted; }
    uint8_t CurrentProduct() const { return FCurrentProduct; }
    // How the run ended: the procedure's outcome, and whether an error reached the run.
    TUpdateOutcome Outcome() const { return FOutcome; }
    bool RunFailed() const { return FRunFailed; }
    // A signal stopped the run; its files were put back.
    bool Interrupted() const { return FInterrupted; }
    // Every report line is also handed here as it is added (the unattended run prints them).
    void SetReportEcho(std::function<void(const QString &)> echo) { FReportEcho = std::move(echo); }
    TFrmStep *CurrentStep() const;
    TDocumentReport *Report() const { return FReport.get(); }

    // Handlers, public so that the idle pass and the buttons can be driven alike.
    void ActionListMainUpdate();
    void ActionNextExecute();
    void ActionBackExecute();
    void ActionAnnulerExecute();
    void TimerOneTimeTimer();

signals:
    // The run has ended, however it ended; the report is complete.
    void RunFinished();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void LoadAppInfo();
    void LoadUpdateInfo();
    void BuildSteps();
    void UpdateButtons();
    void ShowCurrentStep();
    TFrmStep *NextStep(TFrmStep *step) const;
    bool SelectProducts();
    void ShowReport();
    void RunUpdate();
    void PanelCurrStepResize();
    void PanelImageResize();
    void BindAction(QAction *action, QPushButton *button);

    QList<TFrmStep *> FSteps;
    QList<TFrmStep *> FHistory;
    QStringList FInfoLines;
    QStringList FProducts;
    bool FStarted = false;
    bool FUpdateRun = false;
    bool FShown = false;
    QString FAppInfo2;
    uint8_t FCurrentProduct = 0;
    // Set while a product procedure runs: whatever boxes open then, their event loops must
    // not bring the navigation back.
    bool FInProcedure = false;
    TUpdateOutcome FOutcome = uoNothing;
    bool FRunFailed = false;
    bool FInterrupted = false;
    std::unique_ptr<TDocumentReport> FReport;
    std::function<void(const QString &)> FReportEcho;
    std::unique_ptr<IUpdateReport> FEchoReport;
};

// Restores the window when it is minimised and brings it to the front; true when it is
// the active window afterwards.
bool ForceForegroundWindow(QWidget *window);

// The start-up check of the main product: the database client and the address component
// must be of versions this update knows; otherwise a warning, and false.
bool CheckCompatibility();

extern TfrmMain *frmMain;
