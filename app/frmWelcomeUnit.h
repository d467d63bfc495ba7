// The welcome step: what the wizard will update, and a blinking warning to close the
// product on every workstation first.
#pragma once

#include "app/frmBaseStepUnit.h"

class QTimer;
class TCaptionLabel;

class TfrmWelcome : public TFrmStep {
    Q_OBJECT
public:
    explicit TfrmWelcome(QWidget *parent = nullptr);
    ~TfrmWelcome() override;

    bool CanGoNext() override;
    void SetTexts(const QString &title, const QString &extra);

    TCaptionLabel *LabelWarning = nullptr;
    TCaptionLabel *LabelInfo = nullptr;
    QTimer *TimerBlink = nullptr;

    static QColor Maroon() { return QColor(128, 0, 0); }
    static QColor Red() { return QColor(255, 0, 0); }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void FormHide();
    void FormResize();
    void TimerBlinkTimer();
};

extern TfrmWelcome *frmWelcome;
