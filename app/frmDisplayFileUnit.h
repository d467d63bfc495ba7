// The step that shows the list of changes the update brings.
#pragma once

#include "app/frmBaseStepUnit.h"

class QLabel;
class QTextEdit;
class QToolButton;
class TdmUpdateCommon;

class TfrmDisplayFile : public TFrmStep {
    Q_OBJECT
public:
    explicit TfrmDisplayFile(QWidget *parent = nullptr);
    ~TfrmDisplayFile() override;

    bool CanGoNext() override;
    QString GetNextCaption() override;
    void Init() override;

    QLabel *PanelButtons = nullptr;
    QToolButton *SpeedButtonPrint = nullptr;
    QTextEdit *RichEditFile = nullptr;

    void SpeedButtonPrintClick();

    // Fills the text area with the embedded rich-text file of that name through the engine;
    // its line count, 0 when the file is absent or empty.
    int LoadChangeList(TdmUpdateCommon &engine, const QString &name);
    // The same in two halves, so that the first step is on screen without waiting for the
    // list: now, whether it would give the text area any line (1, or 0 when the file is
    // absent or empty); the text area is filled when the step is first shown or printed.
    int DeferChangeList(TdmUpdateCommon &engine, const QString &name);
    bool ChangeListPending() const { return FPendingEngine != nullptr; }

private:
    void FormCreate();
    void LoadPendingChangeList();

    TdmUpdateCommon *FPendingEngine = nullptr;
    QString FPendingName;
};

extern TfrmDisplayFile *frmDisplayFile;
