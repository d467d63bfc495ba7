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

private:
    void FormCreate();
};

extern TfrmDisplayFile *frmDisplayFile;
