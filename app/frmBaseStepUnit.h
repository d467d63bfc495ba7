// The base of every wizard step: a borderless form that the main window hosts.
#pragma once

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

class QLabel;

class TFrmStep : public QWidget {
    Q_OBJECT
public:
    explicit TFrmStep(const QString &name, QWidget *parent = nullptr);
    ~TFrmStep() override;

    // Called by the main window each time the step becomes current, just before it is shown.
    virtual void Init();
    // Whether Next may be pressed on this step.
    virtual bool CanGoNext();
    // The picture left of the step; a null image for none.
    virtual QImage GetBitmap();
    virtual QString GetNextCaption();
    // Called on the current step when Next is pressed, before the next step is looked up.
    virtual void BeforeGoNext();

    // Every step alive, in creation order: the forms the main window may take as steps.
    static QList<TFrmStep *> AllSteps();

    // The step bitmap every standard step carries (150 x 245, 24-bit).
    static QImage MakeCompanyBitmap();

    // Invisible holder of the step bitmap.
    QLabel *ImageCompany = nullptr;

protected:
    void FormCreate();

private:
    static QImage PaintCompanyBitmap();
    QImage FBitmap;
};
