// The report step: the engine writes the installation report into its text area, which
// can be printed.
#pragma once

#include "app/frmBaseStepUnit.h"

#include <memory>

class QLabel;
class QPrinter;
class QTextDocument;
class QTextEdit;
class QToolButton;

class TfrmEndInstall : public TFrmStep {
    Q_OBJECT
public:
    explicit TfrmEndInstall(QWidget *parent = nullptr);
    ~TfrmEndInstall() override;

    void Init() override;
    bool CanGoNext() override;
    QString GetNextCaption() override;

    QLabel *PanelButtons = nullptr;
    QToolButton *SpeedButtonPrint = nullptr;
    QWidget *PanelMain = nullptr;
    QTextEdit *RichEditReport = nullptr;

    // The printer set-up dialog, then the whole document as one print job of that name;
    // nothing is printed when the set-up is cancelled. True when a job was printed.
    bool PrintDocument(QTextDocument &document, const QString &jobName);
    // Made on first use: asking the system for its printers costs time at start-up.
    QPrinter &PrinterSetupDialog();

    void SpeedButtonPrintClick();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void FormCreate();
    std::unique_ptr<QPrinter> FPrinter;
};

extern TfrmEndInstall *frmEndInstall;
