#include "app/frmMainUnit.h"

#include "app/AppErrors.h"
#include "app/AppTexts.h"
#include "app/CaptionLabel.h"
#include "app/WizardInstances.h"
#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmWelcomeUnit.h"
#include "dialogs/ButtonPanel.h"
#include "oslayer/Exceptions.h"
#include "platform/FileVersionInfo.h"
#include "platform/GeneralRoutines.h"
#include "platform/Messages.h"
#include "platform/ProductCatalog.h"
#include "platform/UiServices.h"
#include "platform/dmVestrel2Unit.h"
#include "update/FileTransaction.h"
#include "update/UpdateReport.h"
#include "update/UpdateTexts.h"
#include "update/dmUpdateCommonUnit.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

TfrmMain *frmMain = nullptr;

namespace {

// The strip of the buttons, with its bevel line along the top edge.
class TButtonsPanel final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setPen(palette().color(QPalette::Dark));
        p.drawLine(0, 0, width(), 0);
        p.setPen(palette().color(QPalette::Light));
        p.drawLine(0, 1, width(), 1);
    }
};

void ApplyHintPause(QWidget *root)
{
    root->setToolTipDuration(20000);
    const auto children = root->findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setToolTipDuration(20000);
}

QString StripMnemonic(QString text)
{
    return text.remove(QLatin1Char('&'));
}

// The report page's document, with every line also handed to an observer as it is added.
class TEchoReport final : public IUpdateReport {
public:
    TEchoReport(IUpdateReport &report, std::function<void(const QString &)> echo)
        : FReport(report)
        , FEcho(std::move(echo))
    {
    }

    void AddLine(const QString &text, int pointSize, const QString &fontName) override
    {
        FReport.AddLine(text, pointSize, fontName);
        FEcho(text);
    }

private:
    IUpdateReport &FReport;
    std::function<void(const QString &)> FEcho;
};

} // namespace

TfrmMain::TfrmMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmMain"));
    if (!frmMain)
        frmMain = this;
    FormCreate();
}

TfrmMain::~TfrmMain()
{
    // FormDestroy: the steps are the program's, not the window's; hand them back before
    // the panel that hosts them goes.
    const QList<TFrmStep *> hosted = PanelCurrStep->findChildren<TFrmStep *>(Qt::FindDirectChildrenOnly);
    for (TFrmStep *step : hosted) {
        step->hide();
        step->setParent(nullptr);
    }
    if (dmUpdateCommon
        && (dmUpdateCommon->Report() == FReport.get() || dmUpdateCommon->Report() == FEchoReport.get()))
        dmUpdateCommon->SetReport(nullptr);
    if (frmMain == this)
        frmMain = nullptr;
}

void TfrmMain::FormCreate()
{
    setWindowTitle(AppTexts::MainCaption());
    resize(947, 522);
    setMinimumSize(500, 400);

    PanelImage = new QFrame(this);
    PanelImage->setObjectName(QStringLiteral("PanelImage"));
    PanelImage->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PanelImage->setFixedWidth(154);
    PanelImage->setAutoFillBackground(true);
    PanelImage->installEventFilter(this);
    ImageStep = new QLabel(PanelImage);
    ImageStep->setObjectName(QStringLiteral("ImageStep"));
    ImageStep->setAccessibleName(QStringLiteral("ImageStep"));

    PanelSteps = new QWidget(this);
    PanelSteps->setObjectName(QStringLiteral("PanelSteps"));
    RzLabelTitle = new TCaptionLabel(QStringLiteral("RzLabelTitle"), PanelSteps);
    RzLabelTitle->setFixedHeight(37);
    RzLabelTitle->setAlignment(Qt::AlignCenter);
    RzLabelTitle->setWordWrap(true);
    RzLabelTitle->setAutoFillBackground(true);
    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setPixelSize(15);
    titleFont.setBold(true);
    RzLabelTitle->setFont(titleFont);
    QPalette titlePalette = RzLabelTitle->palette();
    titlePalette.setColor(QPalette::Window, QColor(128, 128, 128));
    titlePalette.setColor(QPalette::WindowText, Qt::white);
    RzLabelTitle->setPalette(titlePalette);
    PanelCurrStep = new QWidget(PanelSteps);
    PanelCurrStep->setObjectName(QStringLiteral("PanelCurrStep"));
    PanelCurrStep->installEventFilter(this);
    auto *stepsLayout = new QVBoxLayout(PanelSteps);
    stepsLayout->setContentsMargins(0, 0, 0, 0);
    stepsLayout->setSpacing(0);
    stepsLayout->addWidget(RzLabelTitle);
    stepsLayout->addWidget(PanelCurrStep, 1);

    PanelButtons = new TButtonsPanel(this);
    PanelButtons->setObjectName(QStringLiteral("PanelButtons"));
    PanelButtons->resize(947, 45);
    RzLabelVersion = new QLabel(AppTexts::VersionPrefix(), PanelButtons);
    RzLabelVersion->setObjectName(QStringLiteral("RzLabelVersion"));
    RzLabelVersion->setAccessibleName(AppTexts::VersionPrefix());
    ButtonPrev = new QPushButton(PanelButtons);
    ButtonPrev->setObjectName(QStringLiteral("ButtonPrev"));
    ButtonNext = new QPushButton(PanelButtons);
    ButtonNext->setObjectName(QStringLiteral("ButtonNext"));
    ButtonNext->setDefault(true);
    ButtonCancel = new QPushButton(PanelButtons);
    ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
    int left = 600;
    for (QPushButton *button : {ButtonPrev, ButtonNext, ButtonCancel}) {
        button->setGeometry(left, 10, 90, 25);
        left += 100;
    }

    auto *top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    top->addWidget(PanelImage);
    top->addWidget(PanelSteps, 1);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addLayout(top, 1);
    root->addWidget(PanelButtons);

    // ActionListMain.
    ActionBack = new QAction(AppTexts::ActionBackDesign(), this);
    ActionBack->setObjectName(QStringLiteral("ActionBack"));
    ActionNext = new QAction(AppTexts::ActionNextDesign(), this);
    ActionNext->setObjectName(QStringLiteral("ActionNext"));
    ActionAnnuler = new QAction(AppTexts::ActionAnnulerDesign(), this);
    ActionAnnuler->setObjectName(QStringLiteral("ActionAnnuler"));
    connect(ActionBack, &QAction::triggered, this, [this] { Guarded([this] { ActionBackExecute(); }); });
    connect(ActionNext, &QAction::triggered, this, [this] { Guarded([this] { ActionNextExecute(); }); });
    connect(ActionAnnuler, &QAction::triggered, this, [this] { Guarded([this] { ActionAnnulerExecute(); }); });
    BindAction(ActionBack, ButtonPrev);
    BindAction(ActionNext, ButtonNext);
    BindAction(ActionAnnuler, ButtonCancel);
    // The update handler of the action list runs whenever the application goes idle.
    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            Guarded([this] { ActionListMainUpdate(); });
        });

    TimerOneTime = new QTimer(this);
    TimerOneTime->setObjectName(QStringLiteral("TimerOneTime"));
    TimerOneTime->setInterval(10);
    connect(TimerOneTime, &QTimer::timeout, this, [this] { Guarded([this] { TimerOneTimeTimer(); }); });
    TimerOneTime->start();

    ActionBack->setText(AppTexts::ActionBack());
    ActionAnnuler->setText(AppTexts::ActionAnnuler());
    ArrangeButtonPanel(PanelButtons);
    // The version sits at the left of the row, on the buttons' line.
    RzLabelVersion->setGeometry(8, ButtonNext->y(), 400, ButtonNext->height());
    ApplyHintPause(this);
    update();

    // Centred on the screen.
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TfrmMain::BindAction(QAction *action, QPushButton *button)
{
    auto sync = [action, button] {
        button->setText(action->text());
        button->setAccessibleName(StripMnemonic(action->text()));
        button->setEnabled(action->isEnabled());
    };
    sync();
    connect(action, &QAction::changed, button, sync);
    connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
}

void TfrmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!FShown) {
        FShown = true;
        Guarded([this] { FormShow(); });
    }
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize) {
        if (watched == PanelCurrStep)
            PanelCurrStepResize();
        else if (watched == PanelImage)
            PanelImageResize();
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMain::FormShow()
{
    ForceForegroundWindow(this);
    setWindowTitle(AppTexts::MainCaption());
    QString version = ReadVersionInfo(QString()).FileVersion;
    if (version.isEmpty())
        version = AppTexts::UnknownVersion();
    RzLabelVersion->setText(AppTexts::VersionPrefix() + version);
    RzLabelVersion->setAccessibleName(RzLabelVersion->text());

    if (frmEndInstall && dmUpdateCommon) {
        FReport = std::make_unique<TDocumentReport>(frmEndInstall->RichEditReport->document());
        QTextEdit *edit = frmEndInstall->RichEditReport;
        FReport->SetFocusHook([edit] {
            if (edit->isVisible() && edit->isEnabled() && !edit->hasFocus())
                edit->setFocus();
        });
        if (FReportEcho) {
            FEchoReport = std::make_unique<TEchoReport>(*FReport, FReportEcho);
            dmUpdateCommon->SetReport(FEchoReport.get());
        } else {
            dmUpdateCommon->SetReport(FReport.get());
        }
    }
    // The temporary file names of the run draw from this generator.
    Randomize();

    LoadAppInfo();
    LoadUpdateInfo();
    BuildSteps();
    if (!SelectProducts())
        throw Os::EAbort();
}

void TfrmMain::LoadAppInfo()
{
    if (!dmUpdateCommon)
        return;
    if (dmUpdateCommon->LoadList(AppTexts::AppInfo1Name(), FInfoLines) > 0)
        RzLabelTitle->SetCaption(FInfoLines.first());
    if (dmUpdateCommon->LoadList(AppTexts::AppInfo2Name(), FInfoLines) > 0) {
        FAppInfo2.clear();
        for (const QString &line : std::as_const(FInfoLines))
            FAppInfo2 += line + QStringLiteral("\r\n");
    }
}

void TfrmMain::LoadUpdateInfo()
{
    if (!dmUpdateCommon || !frmDisplayFile)
        return;
    // The list is shown one step later: building its document (a few milliseconds for a
    // long list) waits until then, and the message depends only on whether it has text.
    if (frmDisplayFile->DeferChangeList(*dmUpdateCommon, AppTexts::UpdateInfoName()) == 0)
        ShowPlainMessage(AppTexts::CannotLoadResource().arg(AppTexts::UpdateInfoName()));
}

void TfrmMain::BuildSteps()
{
    FSteps.clear();
    if (frmWelcome)
        FSteps.append(frmWelcome);
    if (frmDisplayFile) {
        FSteps.append(frmDisplayFile);
        QTextDocument *changes = frmDisplayFile->RichEditFile->document();
        if (changes->isEmpty() && !frmDisplayFile->ChangeListPending())
            frmDisplayFile->RichEditFile->setPlainText(QStringLiteral("\r\n") + AppTexts::DefaultChanges());
    }

    QStringList lines;
    if (dmUpdateCommon)
        dmUpdateCommon->LoadList(AppTexts::StepsName(), lines);
    // Only steps can be hosted: a line naming the window itself or another kind of form
    // would make the window its own child.
    const QList<TFrmStep *> forms = TFrmStep::AllSteps();
    for (const QString &line : std::as_const(lines)) {
        for (TFrmStep *form : forms) {
            if (form->objectName().compare(line, Qt::CaseInsensitive) == 0) {
                if (!FSteps.contains(form))
                    FSteps.append(form);
                break;
            }
        }
    }
    if (frmEndInstall && !FSteps.contains(frmEndInstall))
        FSteps.append(frmEndInstall);
}

void TfrmMain::TimerOneTimeTimer()
{
    if (FStarted)
        return;
    FStarted = true;
    TimerOneTime->stop();
    if (frmWelcome) {
        frmWelcome->SetTexts(RzLabelTitle->Caption(), FAppInfo2);
        FHistory.append(frmWelcome);
    }
    ShowCurrentStep();
}

void TfrmMain::ActionListMainUpdate()
{
    UpdateButtons();
}

void TfrmMain::UpdateButtons()
{
    // The idle pass also comes inside the event loop of every box a procedure opens.
    if (FInProcedure)
        return;
    if (TFrmStep *step = CurrentStep()) {
        ActionBack->setEnabled(step != frmWelcome && !FUpdateRun);
        ActionAnnuler->setEnabled(!FUpdateRun);
        ActionNext->setEnabled(step->CanGoNext());
        const QString caption = step->GetNextCaption();
        ActionNext->setText(caption);
        // The button may have been emptied directly while there was no step.
        if (ButtonNext->text() != caption) {
            ButtonNext->setText(caption);
            ButtonNext->setAccessibleName(StripMnemonic(caption));
        }
    } else {
        if (!ButtonNext->text().isEmpty()) {
            ButtonNext->setText(QString());
            ButtonNext->setAccessibleName(QString());
        }
        ActionBack->setEnabled(false);
        ActionNext->setEnabled(false);
    }
}

TFrmStep *TfrmMain::CurrentStep() const
{
    return FHistory.isEmpty() ? nullptr : FHistory.last();
}

void TfrmMain::ShowCurrentStep()
{
    WaitCursor wait;
    for (TFrmStep *step : std::as_const(FSteps)) {
        step->hide();
        step->setParent(nullptr);
    }
    TFrmStep *step = CurrentStep();
    if (!step)
        throw Os::Exception(AppTexts::NoCurrentStep());
    step->setParent(PanelCurrStep);
    PanelCurrStepResize();

    const QImage bitmap = step->GetBitmap();
    QPalette pal = PanelImage->palette();
    if (bitmap.isNull()) {
        ImageStep->setPixmap(QPixmap());
        ImageStep->resize(0, 0);
        pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    } else {
        ImageStep->setPixmap(QPixmap::fromImage(bitmap));
        ImageStep->resize(bitmap.size());
        pal.setColor(QPalette::Window, bitmap.pixelColor(0, bitmap.height() - 1));
    }
    PanelImage->setPalette(pal);
    PanelImageResize();

    ApplyHintPause(step);
    step->Init();
    step->show();
}

void TfrmMain::PanelCurrStepResize()
{
    for (QObject *child : PanelCurrStep->children()) {
        if (auto *step = qobject_cast<TFrmStep *>(child))
            step->setGeometry(0, 0, PanelCurrStep->width(), PanelCurrStep->height());
    }
}

void TfrmMain::PanelImageResize()
{
    const QRect client = PanelImage->contentsRect();
    ImageStep->move(client.left() + (client.width() - ImageStep->width()) / 2,
                    client.top() + (client.height() - ImageStep->height()) / 2);
}

TFrmStep *TfrmMain::NextStep(TFrmStep *step) const
{
    const qsizetype index = step ? FSteps.indexOf(step) : -1;
    if (index < 0)
        return FSteps.isEmpty() ? nullptr : FSteps.first();
    return index + 1 < FSteps.size() ? FSteps.at(index + 1) : nullptr;
}

void TfrmMain::ActionNextExecute()
{
    if (FUpdateRun) {
        close();
        return;
    }
    if (TFrmStep *current = CurrentStep())
        current->BeforeGoNext();
    TFrmStep *next = NextStep(CurrentStep());
    if (!next)
        throw Os::Exception(AppTexts::NoNextStep());
    FHistory.append(next);
    ShowCurrentStep();
    if (CurrentStep() == frmEndInstall)
        RunUpdate();
}

void TfrmMain::ActionBackExecute()
{
    if (!FHistory.isEmpty())
        FHistory.removeLast();
    ShowCurrentStep();
}

void TfrmMain::ActionAnnulerExecute()
{
    if (AskWarning(AppTexts::AskCancel()))
        close();
}

bool TfrmMain::SelectProducts()
{
    if (!dmUpdateCommon)
        return false;
    QStringList lines;
    if (dmUpdateCommon->LoadList(AppTexts::UpdatesName(), lines) == 0)
        return false;
    QString catalogue;
    for (TProductCode code = 1; code <= ProductCount; ++code)
        catalogue += ProductName(code) + QStringLiteral("\r\n");
    FProducts.clear();
    for (const QString &line : std::as_const(lines)) {
        // An empty line is no substring of the catalogue, as the name search counts it.
        if (line.isEmpty() || !catalogue.contains(line, Qt::CaseSensitive))
            continue;
        bool listed = false;
        for (const QString &product : std::as_const(FProducts))
            listed = listed || product.compare(line, Qt::CaseInsensitive) == 0;
        if (listed)
            continue;
        if (GetProductCode(line) == PC_ORVANTA && !CheckCompatibility()) {
            UiServices().Terminate();
            return false;
        }
        FProducts.append(line);
    }
    return true;
}

void TfrmMain::ShowReport()
{
    FHistory.append(frmEndInstall);
    ShowCurrentStep();
    UpdateButtons();
}

void TfrmMain::RunUpdate()
{
    TUpdateOutcome outcome = uoNothing;
    FUpdateRun = true;
    try {
        for (const QString &name : std::as_const(FProducts)) {
            FCurrentProduct = GetProductCode(name);
            if (FCurrentProduct == PC_NONE)
                continue;
            dmUpdateCommon->FProductCode = FCurrentProduct;
            dmUpdateCommon->AddReportLine(
                AppTexts::ReportHeader().arg(RzLabelTitle->Caption()) + QLatin1Char(' ')
                    + QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))
                    + QStringLiteral("\r\n"),
                10);
            ActionBack->setEnabled(false);
            ActionNext->setEnabled(false);
            ActionAnnuler->setEnabled(false);
            FInProcedure = true;
            // The actions come back whatever the procedure does.
            struct Reenable {
                TfrmMain *Form;
                ~Reenable()
                {
                    Form->FInProcedure = false;
                    Form->ActionBack->setEnabled(true);
                    Form->ActionNext->setEnabled(true);
                    Form->ActionAnnuler->setEnabled(true);
                }
            } reenable{this};
            WaitMilliseconds(100);
            outcome = dmUpdateCommon->RunProcedure(FCurrentProduct);
            FOutcome = outcome;
            break;
        }
        ShowReport();
        QString closing;
        switch (outcome) {
        case uoSuccess: closing = AppTexts::OutcomeSuccess(); break;
        case uoFailure: closing = AppTexts::OutcomeFailure(); break;
        case uoNotDone: closing = AppTexts::OutcomeNotDone(); break;
        case uoWarnings: closing = AppTexts::OutcomeWarnings(); break;
        default: break;
        }
        if (!closing.isEmpty())
            dmUpdateCommon->AddReportLine(QStringLiteral("\r\n") + closing, 10);
        QTextEdit *edit = frmEndInstall->RichEditReport;
        edit->moveCursor(QTextCursor::End);
        edit->ensureCursorVisible();
        edit->setFocus();
    } catch (const EInterrupted &) {
        // Stopped at a safe point by a signal, the files put back: said in the report only,
        // since nobody is there to answer a box.
        FRunFailed = true;
        FInterrupted = true;
        dmUpdateCommon->AddReportLine(QStringLiteral("\r\n") + UpdateTexts::UpdateInterrupted, 10);
    } catch (const Os::EAbort &) {
        // Its message has been shown already; the report still says how it ended.
        FRunFailed = true;
        dmUpdateCommon->AddReportLine(QStringLiteral("\r\n\r\n") + AppTexts::OutcomeFailure());
    } catch (const Os::Exception &error) {
        FRunFailed = true;
        ShowError(error.Message());
        dmUpdateCommon->AddReportLine(error.Message() + QStringLiteral("\r\n\r\n") + AppTexts::OutcomeFailure());
    } catch (const std::exception &error) {
        FRunFailed = true;
        const QString message = QString::fromUtf8(error.what());
        ShowError(message);
        dmUpdateCommon->AddReportLine(message + QStringLiteral("\r\n\r\n") + AppTexts::OutcomeFailure());
    }
    emit RunFinished();
}

bool ForceForegroundWindow(QWidget *window)
{
    if (!window)
        return false;
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    if (window->isActiveWindow())
        return true;
    window->raise();
    window->activateWindow();
    return window->isActiveWindow();
}

bool CheckCompatibility()
{
    static const QStringList acceptedClients{
        QStringLiteral("WI-V6.3.0.4290"),
        QStringLiteral("WI-V6.3.2.4731"),
        QStringLiteral("WI-V2.5.2.26540"),
    };
    const QString clientVersion = GetFileVersionString(QStringLiteral("gds32.dll"));
    const bool clientOk = acceptedClients.contains(clientVersion);

    const QString componentPath = GetBaseFolder() + ProductName(PC_VESTREL) + QStringLiteral("\\Programs\\")
                                  + TdmVestrel2::GetVestrelDllPath();
    const QString componentVersion = GetFileVersionString(componentPath);
    const bool componentOk = componentVersion.startsWith(QLatin1Char('2'));

    QString wrong;
    if (!clientOk)
        wrong += AppTexts::WordsClient();
    if (!componentOk) {
        if (!clientOk)
            wrong += AppTexts::WordsAnd();
        wrong += AppTexts::WordsComponent();
    }
    if (wrong.isEmpty())
        return true;
    ShowWarning(AppTexts::IncompatibleHead() + wrong + AppTexts::IncompatibleTail() + QStringLiteral("\r\n\r\n")
                + AppTexts::IncompatiblePathVer().arg(componentPath, componentVersion));
    return false;
}
