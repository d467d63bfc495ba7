#include "app/frmWelcomeUnit.h"

#include "app/AppTexts.h"
#include "app/CaptionLabel.h"

#include <QTimer>

TfrmWelcome *frmWelcome = nullptr;

TfrmWelcome::TfrmWelcome(QWidget *parent)
    : TFrmStep(QStringLiteral("frmWelcome"), parent)
{
    FormCreate();
    if (!frmWelcome)
        frmWelcome = this;
}

TfrmWelcome::~TfrmWelcome()
{
    if (frmWelcome == this)
        frmWelcome = nullptr;
}

void TfrmWelcome::FormCreate()
{
    TFrmStep::FormCreate();
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    LabelWarning = new TCaptionLabel(QStringLiteral("LabelWarning"), this);
    LabelWarning->setWordWrap(true);
    QFont warningFont = LabelWarning->font();
    warningFont.setBold(true);
    warningFont.setPixelSize(15);
    LabelWarning->setFont(warningFont);
    LabelWarning->SetFontColor(Maroon());
    LabelWarning->SetCaption(AppTexts::WelcomeWarningDesign());

    LabelInfo = new TCaptionLabel(QStringLiteral("LabelInfo"), this);
    LabelInfo->setWordWrap(true);
    LabelInfo->SetCaption(AppTexts::WelcomeInfoDesign());

    TimerBlink = new QTimer(this);
    TimerBlink->setObjectName(QStringLiteral("TimerBlink"));
    TimerBlink->setInterval(500);
    connect(TimerBlink, &QTimer::timeout, this, &TfrmWelcome::TimerBlinkTimer);
}

bool TfrmWelcome::CanGoNext()
{
    return true;
}

void TfrmWelcome::SetTexts(const QString &title, const QString &extra)
{
    LabelWarning->SetCaption(AppTexts::WelcomeWarning());
    const QString shown = title.isEmpty() ? QStringLiteral("?") : title;
    LabelInfo->SetCaption(AppTexts::WelcomeInfo1() + shown + QStringLiteral(".\r\n\r\n")
                          + AppTexts::WelcomeInfo2() + QStringLiteral("\r\n\r\n") + extra);
}

void TfrmWelcome::showEvent(QShowEvent *event)
{
    TFrmStep::showEvent(event);
    FormShow();
}

void TfrmWelcome::hideEvent(QHideEvent *event)
{
    TFrmStep::hideEvent(event);
    FormHide();
}

void TfrmWelcome::resizeEvent(QResizeEvent *event)
{
    TFrmStep::resizeEvent(event);
    FormResize();
}

void TfrmWelcome::FormShow()
{
    LabelWarning->SetFontColor(Maroon());
    TimerBlink->start();
}

void TfrmWelcome::FormHide()
{
    TimerBlink->stop();
}

void TfrmWelcome::FormResize()
{
    const int h = height();
    const int w = width();
    const int a = h / 4;
    // A step squeezed below the labels' room keeps them empty rather than inverted.
    LabelWarning->setGeometry(20, a, qMax(0, w - 40), qMax(0, h - 2 * a - 80));
    LabelInfo->setGeometry(20, h - a - 60, qMax(0, w - 40), qMax(0, h - 2 * a - 40));
}

void TfrmWelcome::TimerBlinkTimer()
{
    LabelWarning->SetFontColor(LabelWarning->FontColor() == Maroon() ? Red() : Maroon());
}
