#include "app/frmEndInstallUnit.h"

#include "app/AppTexts.h"
#include "app/StepWidgets.h"
#include "platform/Messages.h"
#include "platform/UiServices.h"

#include <QLabel>
#include <QPrinter>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

TfrmEndInstall *frmEndInstall = nullptr;

TfrmEndInstall::TfrmEndInstall(QWidget *parent)
    : TFrmStep(QStringLiteral("frmEndInstall"), parent)
{
    FormCreate();
    if (!frmEndInstall)
        frmEndInstall = this;
}

TfrmEndInstall::~TfrmEndInstall()
{
    if (frmEndInstall == this)
        frmEndInstall = nullptr;
}

void TfrmEndInstall::FormCreate()
{
    TFrmStep::FormCreate();
    PanelButtons = StepWidgets::MakeHeadingPanel(this, 17, SpeedButtonPrint);
    PanelMain = new QWidget(this);
    PanelMain->setObjectName(QStringLiteral("PanelMain"));
    RichEditReport = StepWidgets::MakeReadOnlyText(QStringLiteral("RichEditReport"), PanelMain, 13);
    RichEditReport->setAccessibleName(AppTexts::ReportHeading());
    RichEditReport->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusProxy(RichEditReport);

    auto *inner = new QVBoxLayout(PanelMain);
    inner->setContentsMargins(0, 0, 0, 0);
    inner->addWidget(RichEditReport);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(PanelButtons);
    layout->addWidget(PanelMain, 1);

    connect(SpeedButtonPrint, &QToolButton::clicked, this, [this] { SpeedButtonPrintClick(); });
}

void TfrmEndInstall::Init()
{
    TFrmStep::Init();
    StepWidgets::SetHeading(PanelButtons, AppTexts::ReportHeading());
}

bool TfrmEndInstall::CanGoNext()
{
    return true;
}

QString TfrmEndInstall::GetNextCaption()
{
    return AppTexts::ExitCaption();
}

void TfrmEndInstall::showEvent(QShowEvent *event)
{
    TFrmStep::showEvent(event);
    // The report is the step's active control.
    RichEditReport->setFocus();
}

bool TfrmEndInstall::PrintDocument(QTextDocument &document, const QString &jobName)
{
    QPrinter &printer = PrinterSetupDialog();
    if (!UiServices().PrinterSetup(printer))
        return false;
    WaitCursor wait;
    printer.setDocName(jobName);
    document.print(&printer);
    return true;
}

QPrinter &TfrmEndInstall::PrinterSetupDialog()
{
    if (!FPrinter)
        FPrinter = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return *FPrinter;
}

void TfrmEndInstall::SpeedButtonPrintClick()
{
    PrintDocument(*RichEditReport->document(), AppTexts::ReportJobName());
}
