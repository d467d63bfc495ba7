#include "app/frmDisplayFileUnit.h"

#include "app/AppTexts.h"
#include "app/StepWidgets.h"
#include "app/frmEndInstallUnit.h"
#include "update/dmUpdateCommonUnit.h"

#include <QLabel>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

TfrmDisplayFile *frmDisplayFile = nullptr;

TfrmDisplayFile::TfrmDisplayFile(QWidget *parent)
    : TFrmStep(QStringLiteral("frmDisplayFile"), parent)
{
    FormCreate();
    if (!frmDisplayFile)
        frmDisplayFile = this;
}

TfrmDisplayFile::~TfrmDisplayFile()
{
    if (frmDisplayFile == this)
        frmDisplayFile = nullptr;
}

void TfrmDisplayFile::FormCreate()
{
    TFrmStep::FormCreate();
    PanelButtons = StepWidgets::MakeHeadingPanel(this, 13, SpeedButtonPrint);
    StepWidgets::SetHeading(PanelButtons, AppTexts::ChangesHeading());
    RichEditFile = StepWidgets::MakeReadOnlyText(QStringLiteral("RichEditFile"), this, 11);
    RichEditFile->setAccessibleName(AppTexts::ChangesHeading());
    RichEditFile->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    RichEditFile->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(PanelButtons);
    layout->addWidget(RichEditFile, 1);

    connect(SpeedButtonPrint, &QToolButton::clicked, this, [this] { SpeedButtonPrintClick(); });
}

bool TfrmDisplayFile::CanGoNext()
{
    return true;
}

QString TfrmDisplayFile::GetNextCaption()
{
    return AppTexts::StartCaption();
}

void TfrmDisplayFile::Init()
{
    TFrmStep::Init();
    LoadPendingChangeList();
}

void TfrmDisplayFile::SpeedButtonPrintClick()
{
    LoadPendingChangeList();
    // The report step owns the one printer set-up of the wizard.
    if (frmEndInstall)
        frmEndInstall->PrintDocument(*RichEditFile->document(), PanelButtons->text());
}

int TfrmDisplayFile::LoadChangeList(TdmUpdateCommon &engine, const QString &name)
{
    const int lines = engine.LoadRichText(name, *RichEditFile->document());
    // The text went in through cursors of the reader, which pushed the control's own
    // cursor to the end; shown, the control would scroll to it and open at the last line.
    RichEditFile->moveCursor(QTextCursor::Start);
    return lines;
}

int TfrmDisplayFile::DeferChangeList(TdmUpdateCommon &engine, const QString &name)
{
    RichEditFile->document()->clear();
    FPendingEngine = nullptr;
    if (!engine.HasRichText(name))
        return 0;
    FPendingEngine = &engine;
    FPendingName = name;
    return 1;
}

void TfrmDisplayFile::LoadPendingChangeList()
{
    if (!FPendingEngine)
        return;
    TdmUpdateCommon &engine = *FPendingEngine;
    FPendingEngine = nullptr;
    LoadChangeList(engine, FPendingName);
}
