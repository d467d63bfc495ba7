#include "dialogs/dlgConnectionUnit.h"

#include "Common/Interbase/ConnectionStrings.h"
#include "dialogs/ButtonPanel.h"
#include "dialogs/DialogSupport.h"
#include "dialogs/DialogsTexts.h"
#include "dialogs/dlgFileOpenUnit.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QToolButton>

namespace {

// Every edit starts at this left position and, where it stretches, keeps this distance
// from the right edge of the form.
constexpr int EditLeft = 216;
constexpr int EditRightMargin = 33;
constexpr int EditHeight = 21;
constexpr int FormWidth = 617;
constexpr int FormHeight = 311;
constexpr int ButtonBarHeight = 41;

QRadioButton *MakeOption(const QString &name, const QString &caption, int top, QWidget *parent)
{
    auto *option = new QRadioButton(caption, parent);
    option->setObjectName(name);
    QFont font = option->font();
    font.setBold(true);
    option->setFont(font);
    option->setGeometry(16, top, 400, 17);
    return option;
}

QLabel *MakeLabel(const QString &name, const QString &caption, int editTop, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(36, editTop + 4, EditLeft - 40, 13);
    return label;
}

template <typename Edit>
Edit *MakeEdit(const QString &name, int left, int top, int width, QWidget *parent)
{
    auto *edit = new Edit(parent);
    edit->setObjectName(name);
    edit->setGeometry(left, top, width, EditHeight);
    return edit;
}

} // namespace

TButtonEdit::TButtonEdit(QWidget *parent) : QLineEdit(parent), FButton(new QToolButton(this))
{
    FButton->setObjectName(QStringLiteral("Button"));
    FButton->setText(QStringLiteral("..."));
    FButton->setFocusPolicy(Qt::NoFocus);
    FButton->setCursor(Qt::ArrowCursor);
    connect(FButton, &QToolButton::clicked, this, &TButtonEdit::ButtonClick);
}

void TButtonEdit::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int side = height() - 2 * frame;
    FButton->setGeometry(width() - frame - side, frame, side, side);
    setTextMargins(0, 0, side, 0);
}

TdlgConnection::TdlgConnection(QWidget *mainWindow) : QDialog(mainWindow)
{
    setObjectName(QStringLiteral("dlgConnection"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(DialogsTexts::ConnectionCaption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    resize(FormWidth, FormHeight);
    // The user may widen or narrow the form, not change its height.
    setMinimumWidth(500);
    setFixedHeight(FormHeight);

    // The button bar comes first in the tab order, before the main panel.
    PanelButtons = new QWidget(this);
    PanelButtons->setObjectName(QStringLiteral("PanelButtons"));
    PanelButtons->setGeometry(0, FormHeight - ButtonBarHeight, FormWidth, ButtonBarHeight);
    bOK = new QPushButton(PanelButtons);
    bOK->setObjectName(QStringLiteral("bOK"));
    bOK->setGeometry(450, 8, 75, 25);
    bOK->setDefault(true);
    bAnnuler = new QPushButton(PanelButtons);
    bAnnuler->setObjectName(QStringLiteral("bAnnuler"));
    bAnnuler->setGeometry(530, 8, 75, 25);
    bAnnuler->setAutoDefault(false);

    PanelMain = new QWidget(this);
    PanelMain->setObjectName(QStringLiteral("PanelMain"));
    PanelMain->setGeometry(0, 0, FormWidth, FormHeight - ButtonBarHeight);
    const int stretchWidth = FormWidth - EditLeft - EditRightMargin;

    // Created in the tab order of the main panel.
    RadioButtonConnLocal = MakeOption(QStringLiteral("RadioButtonConnLocal"), DialogsTexts::ConnLocal, 20, PanelMain);
    Label1 = MakeLabel(QStringLiteral("Label1"), DialogsTexts::LocalFileLabel, 48, PanelMain);
    RzButtonEditDbFile = MakeEdit<TButtonEdit>(QStringLiteral("RzButtonEditDbFile"), EditLeft, 48, stretchWidth, PanelMain);
    RadioButtonConnTcp = MakeOption(QStringLiteral("RadioButtonConnTcp"), DialogsTexts::ConnTcp, 80, PanelMain);
    Label3 = MakeLabel(QStringLiteral("Label3"), DialogsTexts::ServerAddressLabel, 104, PanelMain);
    const int boxLefts[4] = {216, 268, 324, 376};
    QLineEdit **boxes[4] = {&EditIP1, &EditIP2, &EditIP3, &EditIP4};
    for (int i = 0; i < 4; ++i) {
        auto *box
            = MakeEdit<QLineEdit>(QStringLiteral("EditIP%1").arg(i + 1), boxLefts[i], 104, 40, PanelMain);
        box->setMaxLength(3);
        // Keys are filtered as they come; this also keeps pasted text to digits.
        box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), box));
        *boxes[i] = box;
        if (i > 0) {
            auto *dot = new QLabel(QStringLiteral("."), PanelMain);
            dot->setObjectName(QStringLiteral("LabelDot%1").arg(i));
            dot->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
            const int gapLeft = boxLefts[i - 1] + 40;
            dot->setGeometry(gapLeft, 104, boxLefts[i] - gapLeft, EditHeight - 4);
        }
    }
    Label4 = MakeLabel(QStringLiteral("Label4"), DialogsTexts::ServerFileLabel, 132, PanelMain);
    EditServFile = MakeEdit<QLineEdit>(QStringLiteral("EditServFile"), EditLeft, 132, stretchWidth, PanelMain);
    RadioButtonConnOther = MakeOption(QStringLiteral("RadioButtonConnOther"), DialogsTexts::ConnOther, 164, PanelMain);
    Label2 = MakeLabel(QStringLiteral("Label2"), DialogsTexts::OtherNameLabel, 188, PanelMain);
    EditOtherDbFile = MakeEdit<QLineEdit>(QStringLiteral("EditOtherDbFile"), EditLeft, 188, stretchWidth, PanelMain);
    RadioButtonConnLocal->setChecked(true);

    ActionOK = new QAction(DialogsTexts::Ok, this);
    ActionOK->setObjectName(QStringLiteral("ActionOK"));
    ActionAnnuler = new QAction(DialogsTexts::Annuler, this);
    ActionAnnuler->setObjectName(QStringLiteral("ActionAnnuler"));
    connect(ActionOK, &QAction::triggered, this, [this] { Dialogs::RunGuarded([this] { ActionOKExecute(); }); });
    connect(ActionAnnuler, &QAction::triggered, this, &QDialog::reject);
    Dialogs::BindAction(ActionOK, bOK);
    Dialogs::BindAction(ActionAnnuler, bAnnuler);
    ActionList1 = new Dialogs::TActionList(this, [this] { ActionList1Update(); });
    ActionList1->setObjectName(QStringLiteral("ActionList1"));

    for (QRadioButton *option : {RadioButtonConnLocal, RadioButtonConnTcp, RadioButtonConnOther})
        connect(option, &QRadioButton::clicked, this, [this] { RadioButtonClick(); });
    for (QLineEdit *box : {EditIP1, EditIP2, EditIP3, EditIP4})
        connect(box, &QLineEdit::textChanged, this, [this, box] { EditIP1Change(box); });
    connect(RzButtonEditDbFile, &TButtonEdit::ButtonClick, this,
            [this] { Dialogs::RunGuarded([this] { RzButtonEditDbFileButtonClick(); }); });

    // The form sees the keys before its controls.
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);

    FormCreate();
}

TdlgConnection::~TdlgConnection() = default;

void TdlgConnection::FormCreate()
{
    ArrangeButtonPanel(PanelButtons);
    for (QLineEdit *edit : {static_cast<QLineEdit *>(RzButtonEditDbFile), EditIP1, EditIP2, EditIP3, EditIP4,
                            EditServFile, EditOtherDbFile})
        SetEditEnabled(edit, true);
    ActionOK->setEnabled(false);
    LayOut();
    RzButtonEditDbFile->setFocus();
}

int TdlgConnection::ShowModal()
{
    return Dialogs::ShowModalAndRelease(this);
}

void TdlgConnection::SplitConnectionString(const QString &connectionString, QString &serverName, QString &fileName)
{
    ::SplitConnectionString(connectionString, serverName, fileName);
}

void TdlgConnection::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!FCentred) {
        FCentred = true;
        Dialogs::CentreOnMainWindow(this);
    }
}

void TdlgConnection::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    LayOut();
}

void TdlgConnection::LayOut()
{
    const int barHeight = PanelButtons->height();
    PanelButtons->setGeometry(0, height() - barHeight, width(), barHeight);
    PanelMain->setGeometry(0, 0, width(), height() - barHeight);
    const int stretchWidth = qMax(40, width() - EditLeft - EditRightMargin);
    for (QLineEdit *edit : {static_cast<QLineEdit *>(RzButtonEditDbFile), EditServFile, EditOtherDbFile})
        edit->resize(stretchWidth, edit->height());
}

void TdlgConnection::SetEditEnabled(QLineEdit *edit, bool enabled)
{
    edit->setEnabled(enabled);
    // The standard window colour when the edit can be typed in, the dialog's face otherwise.
    const QColor colour = enabled ? QApplication::palette().color(QPalette::Active, QPalette::Base)
                                  : palette().color(QPalette::Active, QPalette::Window);
    QPalette editPalette = edit->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        editPalette.setColor(group, QPalette::Base, colour);
    edit->setPalette(editPalette);
}

void TdlgConnection::RadioButtonClick()
{
    const bool local = RadioButtonConnLocal->isChecked();
    const bool tcp = RadioButtonConnTcp->isChecked();
    const bool other = RadioButtonConnOther->isChecked();
    SetEditEnabled(RzButtonEditDbFile, local);
    for (QLineEdit *box : {EditIP1, EditIP2, EditIP3, EditIP4})
        SetEditEnabled(box, tcp);
    SetEditEnabled(EditServFile, tcp);
    SetEditEnabled(EditOtherDbFile, other);
}

bool TdlgConnection::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            ActionAnnuler->trigger();
            return true;
        }
        if (watched == RzButtonEditDbFile && RzButtonEditDbFileKeyDown(key))
            return true;
        if (watched == EditIP1 || watched == EditIP2 || watched == EditIP3 || watched == EditIP4)
            return ipKeyPress(static_cast<QLineEdit *>(watched), key);
    }
    return QDialog::eventFilter(watched, event);
}

bool TdlgConnection::ipKeyPress(QLineEdit *box, QKeyEvent *event)
{
    // Shortcuts (copy, paste, undo) keep working; the validator keeps pasted text to digits.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return false;
    if (event->key() == Qt::Key_Backspace) {
        if (!box->text().isEmpty() || box == EditIP1)
            return false;
        focusPreviousChild();
        if (auto *previous = qobject_cast<QLineEdit *>(focusWidget())) {
            previous->deselect();
            previous->end(false);
        }
        return true;
    }
    const QString text = event->text();
    // Keys without a character (arrows, Delete, Home) edit as usual; so do the keys of the
    // dialog itself (Tab, Enter).
    if (text.isEmpty() || text == QLatin1String("\t") || text == QLatin1String("\r") || text == QLatin1String("\n"))
        return false;
    const QChar c = text.at(0);
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        return false;
    if (c == QLatin1Char('.')) {
        // A full stop ends the number in the box. In an empty box it ends the number that
        // the three-digit rule already ended, so it must not skip the box the user is in.
        if (!box->text().isEmpty())
            focusNextChild();
        return true;
    }
    return true;
}

void TdlgConnection::EditIP1Change(QLineEdit *box)
{
    if (isVisible() && box->text().size() == 3 && focusWidget() == box)
        focusNextChild();
}

bool TdlgConnection::RzButtonEditDbFileKeyDown(QKeyEvent *event)
{
    const bool altDown = event->key() == Qt::Key_Down && (event->modifiers() & Qt::AltModifier);
    const bool insert = event->key() == Qt::Key_Insert && event->modifiers() == Qt::NoModifier;
    if (!altDown && !insert)
        return false;
    Dialogs::RunGuarded([this] { RzButtonEditDbFileButtonClick(); });
    return true;
}

void TdlgConnection::RzButtonEditDbFileButtonClick()
{
    // The file dialog frees itself; its result is read before control goes back to the loop.
    auto *dialog = new TdlgFileOpen(this);
    dialog->SetRequiredExtension(QStringLiteral(".FDB"));
    if (dialog->Execute())
        RzButtonEditDbFile->setText(dialog->SelectedFileName());
}

void TdlgConnection::ActionList1Update()
{
    bool enabled = false;
    if (RadioButtonConnLocal->isChecked())
        enabled = !RzButtonEditDbFile->text().trimmed().isEmpty();
    else if (RadioButtonConnTcp->isChecked())
        enabled = !EditIP1->text().isEmpty() && !EditIP2->text().isEmpty() && !EditIP3->text().isEmpty()
            && !EditIP4->text().isEmpty() && !EditServFile->text().isEmpty();
    else if (RadioButtonConnOther->isChecked())
        enabled = !EditOtherDbFile->text().trimmed().isEmpty();
    ActionOK->setEnabled(enabled);
}

void TdlgConnection::ActionOKExecute()
{
    QString result;
    if (RadioButtonConnLocal->isChecked()) {
        const QString text = RzButtonEditDbFile->text();
        if (!text.isEmpty() && !Os::FileExists(text))
            throw Os::Exception(DialogsTexts::FileNotFound.arg(text));
        result = text;
    } else if (RadioButtonConnTcp->isChecked()) {
        const QString file = EditServFile->text();
        // The file must be named with its folder on the server: D:\Data\Base.fdb, not
        // Base.fdb nor \Base.fdb.
        if (file.size() < 3 || file.indexOf(QLatin1Char('\\')) < 1)
            throw Os::Exception(DialogsTexts::BadServerFileName);
        result = EditIP1->text() + QLatin1Char('.') + EditIP2->text() + QLatin1Char('.') + EditIP3->text()
            + QLatin1Char('.') + EditIP4->text() + QLatin1Char(':') + file;
    } else if (RadioButtonConnOther->isChecked()) {
        const QString text = EditOtherDbFile->text();
        result = text.trimmed();
        // The text must name a file on this computer, whatever its form.
        if (!result.isEmpty() && !Os::FileExists(result))
            throw Os::Exception(DialogsTexts::FileNotFound.arg(text));
    }
    FResultConnectionString = result;
    accept();
}
