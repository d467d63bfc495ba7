// The connection dialog driven by keys and clicks, with the file dialog it opens.
#include "DialogsFixture.h"

#include "dialogs/dlgConnectionUnit.h"
#include "dialogs/dlgFileOpenUnit.h"
#include "oslayer/Exceptions.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {

using ConnectionTest = DialogsTest;

struct ShownConnection {
    QPointer<TdlgConnection> Dialog;
    ShownConnection() : Dialog(new TdlgConnection())
    {
        EXPECT_TRUE(Activate(Dialog));
    }
    ~ShownConnection() { delete Dialog.data(); }
    TdlgConnection *operator->() const { return Dialog.data(); }
};

QStringList Texts(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts)
        list.append(QString::fromLatin1(text));
    return list;
}

void Click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, QPoint(8, widget->height() / 2));
}

void FocusAndType(QLineEdit *edit, const QString &text)
{
    edit->setFocus(Qt::OtherFocusReason);
    TypeIntoFocus(text);
}

QStringList BoxTexts(const TdlgConnection &d)
{
    return {d.EditIP1->text(), d.EditIP2->text(), d.EditIP3->text(), d.EditIP4->text()};
}

QStringList ErrorTexts(const ScriptedUiServices &ui)
{
    QStringList texts;
    for (const auto &box : ui.Boxes()) {
        EXPECT_EQ(box.Caption, QStringLiteral("Erreur"));
        texts.append(box.Text);
    }
    return texts;
}

TEST_F(ConnectionTest, FormAsTheUserSeesIt)
{
    QWidget mainWindow;
    mainWindow.setGeometry(50, 50, 900, 700);
    mainWindow.show();
    auto *d = new TdlgConnection(&mainWindow);
    ASSERT_TRUE(Activate(d));

    EXPECT_EQ(d->windowTitle(), QStringLiteral("Connexion à la base de données"));
    EXPECT_EQ(d->size(), QSize(617, 311));
    EXPECT_EQ(d->minimumWidth(), 500);
    EXPECT_EQ(d->minimumHeight(), d->maximumHeight());
    EXPECT_TRUE(d->testAttribute(Qt::WA_DeleteOnClose));
    // Centred to the pixel that odd sizes allow.
    EXPECT_LE((d->frameGeometry().center() - mainWindow.frameGeometry().center()).manhattanLength(), 2);
    EXPECT_FALSE(d->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    struct Option {
        QRadioButton *Button;
        const char *Caption;
        int Top;
    };
    for (const Option &o : {Option{d->RadioButtonConnLocal, "Connexion locale", 20},
                            Option{d->RadioButtonConnTcp, "Connexion locale ou distante par TCP/IP", 80},
                            Option{d->RadioButtonConnOther, "Autre connexion", 164}}) {
        EXPECT_EQ(o.Button->text(), QString::fromUtf8(o.Caption));
        EXPECT_TRUE(o.Button->font().bold()) << o.Caption;
        EXPECT_EQ(o.Button->y(), o.Top) << o.Caption;
    }
    EXPECT_TRUE(d->RadioButtonConnLocal->isChecked());
    EXPECT_EQ(d->Label1->text(), QStringLiteral("Fichier :  "));
    EXPECT_EQ(d->Label3->text(), QStringLiteral("Adresse IP du serveur : "));
    EXPECT_EQ(d->Label4->text(), QStringLiteral("Fichier sur le serveur : "));
    EXPECT_EQ(d->Label2->text(), QStringLiteral("Nom de la base : "));

    struct Edit {
        QLineEdit *Widget;
        int Left, Top, Width;
    };
    for (const Edit &e : {Edit{d->RzButtonEditDbFile, 216, 48, 368}, Edit{d->EditIP1, 216, 104, 40},
                          Edit{d->EditIP2, 268, 104, 40}, Edit{d->EditIP3, 324, 104, 40},
                          Edit{d->EditIP4, 376, 104, 40}, Edit{d->EditServFile, 216, 132, 368},
                          Edit{d->EditOtherDbFile, 216, 188, 368}}) {
        const QString name = e.Widget->objectName();
        EXPECT_EQ(e.Widget->mapTo(d->PanelMain, QPoint(0, 0)), QPoint(e.Left, e.Top)) << name.toStdString();
        EXPECT_EQ(e.Widget->width(), e.Width) << name.toStdString();
        EXPECT_TRUE(e.Widget->text().isEmpty()) << name.toStdString();
    }
    for (QLineEdit *box : {d->EditIP1, d->EditIP2, d->EditIP3, d->EditIP4})
        EXPECT_EQ(box->maxLength(), 3);

    // The button bar: OK the default button, both right-aligned at the bottom.
    EXPECT_EQ(d->bOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(d->bAnnuler->text(), QStringLiteral("Annuler"));
    EXPECT_TRUE(d->bOK->isDefault());
    EXPECT_EQ(d->PanelButtons->geometry().bottom(), d->height() - 1);
    EXPECT_EQ(d->bAnnuler->geometry().right() + 1, d->PanelButtons->width() - 10);
    EXPECT_EQ(d->bOK->geometry().right() + 1, d->bAnnuler->x() - 10);
    EXPECT_TRUE(d->ResultConnectionString().isEmpty());

    // Tab order: the button bar first, then the main panel top to bottom.
    QList<QWidget *> order;
    QWidget *w = d->bOK;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            order.append(w);
        w = w->nextInFocusChain();
    } while (w != d->bOK && order.size() < 40);
    const QList<QWidget *> expected = {d->bOK, d->bAnnuler, d->RadioButtonConnLocal, d->RzButtonEditDbFile,
                                       d->RadioButtonConnTcp, d->EditIP1, d->EditIP2, d->EditIP3, d->EditIP4,
                                       d->EditServFile, d->RadioButtonConnOther, d->EditOtherDbFile};
    EXPECT_EQ(order, expected);

    Idle();
    EXPECT_FALSE(d->bOK->isEnabled());
    SaveScreenshot(d, QStringLiteral("dlgConnection"));

    // Wider: the long edits stretch, the address boxes stay; the height cannot change.
    d->resize(800, 400);
    QTest::qWait(20);
    EXPECT_EQ(d->height(), 311);
    EXPECT_EQ(d->RzButtonEditDbFile->width(), 368 + 183);
    EXPECT_EQ(d->EditServFile->width(), 368 + 183);
    EXPECT_EQ(d->EditIP4->width(), 40);
    EXPECT_EQ(d->bAnnuler->geometry().right() + 1, d->PanelButtons->width() - 10);
    d->resize(300, 311);
    QTest::qWait(20);
    EXPECT_EQ(d->width(), 500);
    delete d;
}

TEST_F(ConnectionTest, EachOptionEnablesItsOwnEdits)
{
    ShownConnection d;
    const QList<QLineEdit *> local = {d->RzButtonEditDbFile};
    const QList<QLineEdit *> tcp = {d->EditIP1, d->EditIP2, d->EditIP3, d->EditIP4, d->EditServFile};
    const QList<QLineEdit *> other = {d->EditOtherDbFile};
    const QColor window = QApplication::palette().color(QPalette::Base);
    const QColor face = d->palette().color(QPalette::Window);
    ASSERT_NE(window, face);
    // Before any click, every edit can be typed in.
    for (QLineEdit *edit : local + tcp + other) {
        EXPECT_TRUE(edit->isEnabled()) << edit->objectName().toStdString();
        EXPECT_EQ(edit->palette().color(QPalette::Base), window);
    }
    struct Case {
        QRadioButton *Option;
        QList<QLineEdit *> Enabled;
    };
    for (const Case &c : {Case{d->RadioButtonConnTcp, tcp}, Case{d->RadioButtonConnOther, other},
                          Case{d->RadioButtonConnLocal, local}}) {
        Click(c.Option);
        EXPECT_TRUE(c.Option->isChecked());
        for (QLineEdit *edit : local + tcp + other) {
            const bool enabled = c.Enabled.contains(edit);
            const std::string name = edit->objectName().toStdString() + " after " + c.Option->objectName().toStdString();
            EXPECT_EQ(edit->isEnabled(), enabled) << name;
            EXPECT_EQ(edit->palette().color(QPalette::Base), enabled ? window : face) << name;
        }
    }
    EXPECT_FALSE(d->RzButtonEditDbFile->Button()->isEnabled() != d->RzButtonEditDbFile->isEnabled());
}

TEST_F(ConnectionTest, AddressTypedThroughTheBoxes)
{
    struct Case {
        const char *Typed;
        QStringList Boxes;
        const char *FocusAfter;
    };
    const Case cases[] = {
        // Full stops and the three-digit rule move on; a full stop right after a full box does not skip one.
        {"192.168.1.20", Texts({"192", "168", "1", "20"}), "EditIP4"},
        {"10.0.0.5", Texts({"10", "0", "0", "5"}), "EditIP4"},
        // No range test: 999 is taken, and the third digit moves on by itself.
        {"999", Texts({"999", "", "", ""}), "EditIP2"},
        {"999888777666", Texts({"999", "888", "777", "666"}), "EditServFile"},
        // Letters, signs and blanks are dropped.
        {"1a9 2-x.5", Texts({"192", "5", "", ""}), "EditIP2"},
    };
    for (const Case &c : cases) {
        ShownConnection d;
        Click(d->RadioButtonConnTcp);
        FocusAndType(d->EditIP1, QString::fromLatin1(c.Typed));
        EXPECT_EQ(BoxTexts(*d.Dialog), c.Boxes) << c.Typed;
        ASSERT_TRUE(QApplication::focusWidget()) << c.Typed;
        EXPECT_EQ(QApplication::focusWidget()->objectName(), QString::fromLatin1(c.FocusAfter)) << c.Typed;
    }
}

TEST_F(ConnectionTest, BackspaceInTheAddressBoxes)
{
    ShownConnection d;
    Click(d->RadioButtonConnTcp);
    FocusAndType(d->EditIP1, QStringLiteral("192"));
    ASSERT_EQ(QApplication::focusWidget(), d->EditIP2);
    // In an empty box it goes back to the previous one, caret at the end, nothing selected.
    KeyToFocus(Qt::Key_Backspace);
    ASSERT_EQ(QApplication::focusWidget(), d->EditIP1);
    EXPECT_EQ(d->EditIP1->text(), QStringLiteral("192"));
    EXPECT_EQ(d->EditIP1->cursorPosition(), 3);
    EXPECT_FALSE(d->EditIP1->hasSelectedText());
    // In a box with text it edits; in the empty first box it does nothing.
    KeyToFocus(Qt::Key_Backspace);
    EXPECT_EQ(d->EditIP1->text(), QStringLiteral("19"));
    KeyToFocus(Qt::Key_Backspace);
    KeyToFocus(Qt::Key_Backspace);
    KeyToFocus(Qt::Key_Backspace);
    EXPECT_EQ(d->EditIP1->text(), QString());
    EXPECT_EQ(QApplication::focusWidget(), d->EditIP1);
    // Going back through two empty boxes.
    FocusAndType(d->EditIP1, QStringLiteral("7.8."));
    ASSERT_EQ(QApplication::focusWidget(), d->EditIP3);
    KeyToFocus(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), d->EditIP2);
    EXPECT_EQ(d->EditIP2->cursorPosition(), 1);
    EXPECT_EQ(BoxTexts(*d.Dialog), Texts({"7", "8", "", ""}));
}

TEST_F(ConnectionTest, OkEnabledOnlyWhenTheChosenOptionIsFilled)
{
    struct Case {
        const char *Name;
        std::function<void(TdlgConnection *)> Fill;
        bool Enabled;
    };
    const auto tcp = [](TdlgConnection *d, const QStringList &boxes, const QString &file) {
        Click(d->RadioButtonConnTcp);
        d->EditIP1->setText(boxes.value(0));
        d->EditIP2->setText(boxes.value(1));
        d->EditIP3->setText(boxes.value(2));
        d->EditIP4->setText(boxes.value(3));
        d->EditServFile->setText(file);
    };
    const Case cases[] = {
        {"local empty", [](TdlgConnection *) {}, false},
        {"local blanks", [](TdlgConnection *d) { FocusAndType(d->RzButtonEditDbFile, QStringLiteral("   ")); }, false},
        {"local text", [](TdlgConnection *d) { FocusAndType(d->RzButtonEditDbFile, QStringLiteral("C:\\x")); }, true},
        // The other options' texts do not count for the local one.
        {"local, other filled", [](TdlgConnection *d) { d->EditOtherDbFile->setText(QStringLiteral("C:\\x")); }, false},
        {"tcp complete", [tcp](TdlgConnection *d) { tcp(d, Texts({"1", "2", "3", "4"}), QStringLiteral("D:\\x")); }, true},
        {"tcp one box empty", [tcp](TdlgConnection *d) { tcp(d, Texts({"1", "2", "", "4"}), QStringLiteral("D:\\x")); }, false},
        {"tcp no file", [tcp](TdlgConnection *d) { tcp(d, Texts({"1", "2", "3", "4"}), QString()); }, false},
        {"other blanks",
         [](TdlgConnection *d) {
             Click(d->RadioButtonConnOther);
             FocusAndType(d->EditOtherDbFile, QStringLiteral("  "));
         },
         false},
        {"other text",
         [](TdlgConnection *d) {
             Click(d->RadioButtonConnOther);
             FocusAndType(d->EditOtherDbFile, QStringLiteral("x"));
         },
         true},
    };
    for (const Case &c : cases) {
        ShownConnection d;
        c.Fill(d.Dialog);
        Idle();
        EXPECT_EQ(d->ActionOK->isEnabled(), c.Enabled) << c.Name;
        EXPECT_EQ(d->bOK->isEnabled(), c.Enabled) << c.Name;
    }
}

TEST_F(ConnectionTest, OkComposesTheConnectionStringOrRefusesIt)
{
    const QString notFound = QStringLiteral("Archivio \"%1\" non trovato");
    const QString badName = QStringLiteral("Nome dell'archivio incorretto!");
    struct Case {
        const char *Name;
        QRadioButton *TdlgConnection::*Option;
        QLineEdit *TdlgConnection::*Edit;
        QString Typed;
        QString Result; // empty: refused with Error
        QString Error;
    };
    const Case cases[] = {
        {"local existing", &TdlgConnection::RadioButtonConnLocal, nullptr, QStringLiteral("C:\\Data\\Base.fdb"),
         QStringLiteral("C:\\Data\\Base.fdb"), {}},
        // Windows finds files whatever the case; the text stays as typed.
        {"local other case", &TdlgConnection::RadioButtonConnLocal, nullptr, QStringLiteral("c:\\DATA\\base.FDB"),
         QStringLiteral("c:\\DATA\\base.FDB"), {}},
        {"local missing", &TdlgConnection::RadioButtonConnLocal, nullptr, QStringLiteral("C:\\Data\\Missing.fdb"), {},
         notFound.arg(QStringLiteral("C:\\Data\\Missing.fdb"))},
        {"local folder", &TdlgConnection::RadioButtonConnLocal, nullptr, QStringLiteral("C:\\Data"), {},
         notFound.arg(QStringLiteral("C:\\Data"))},
        {"local on a refused drive's letter", &TdlgConnection::RadioButtonConnLocal, nullptr,
         QStringLiteral("Q:\\Base.fdb"), {}, notFound.arg(QStringLiteral("Q:\\Base.fdb"))},
        {"tcp drive path", &TdlgConnection::RadioButtonConnTcp, &TdlgConnection::EditServFile,
         QStringLiteral("D:\\x"), QStringLiteral("192.168.1.20:D:\\x"), {}},
        {"tcp full path", &TdlgConnection::RadioButtonConnTcp, &TdlgConnection::EditServFile,
         QStringLiteral("D:\\Data\\Base.fdb"), QStringLiteral("192.168.1.20:D:\\Data\\Base.fdb"), {}},
        {"tcp no backslash", &TdlgConnection::RadioButtonConnTcp, &TdlgConnection::EditServFile,
         QStringLiteral("data.fdb"), {}, badName},
        {"tcp leading backslash", &TdlgConnection::RadioButtonConnTcp, &TdlgConnection::EditServFile,
         QStringLiteral("\\data.fdb"), {}, badName},
        {"tcp too short", &TdlgConnection::RadioButtonConnTcp, &TdlgConnection::EditServFile,
         QStringLiteral("D:"), {}, badName},
        {"other existing, blanks trimmed", &TdlgConnection::RadioButtonConnOther, &TdlgConnection::EditOtherDbFile,
         QStringLiteral("  C:\\Data\\Base.fdb  "), QStringLiteral("C:\\Data\\Base.fdb"), {}},
        // A remote form names no file on this computer.
        {"other remote form", &TdlgConnection::RadioButtonConnOther, &TdlgConnection::EditOtherDbFile,
         QStringLiteral("dbhost:/srv/base.fdb"), {}, notFound.arg(QStringLiteral("dbhost:/srv/base.fdb"))},
        {"other tcp form", &TdlgConnection::RadioButtonConnOther, &TdlgConnection::EditOtherDbFile,
         QStringLiteral("10.0.0.5:C:\\Data\\Base.fdb"), {}, notFound.arg(QStringLiteral("10.0.0.5:C:\\Data\\Base.fdb"))},
    };
    for (const Case &c : cases) {
        ScriptedUiServices ui;
        QPointer<TdlgConnection> d = new TdlgConnection();
        bool driven = false;
        QTimer::singleShot(0, d, [&] {
            Activate(d);
            Click(d->*c.Option);
            if (c.Option == &TdlgConnection::RadioButtonConnTcp)
                FocusAndType(d->EditIP1, QStringLiteral("192.168.1.20"));
            FocusAndType(c.Edit ? d->*c.Edit : d->RzButtonEditDbFile, c.Typed);
            Idle();
            QTest::mouseClick(d->bOK, Qt::LeftButton);
            if (!c.Error.isEmpty()) {
                // The dialog stays open with what the user typed.
                EXPECT_TRUE(d->isVisible()) << c.Name;
                EXPECT_EQ((c.Edit ? d->*c.Edit : d->RzButtonEditDbFile)->text(), c.Typed) << c.Name;
                EXPECT_TRUE(d->ResultConnectionString().isEmpty()) << c.Name;
                QTest::mouseClick(d->bAnnuler, Qt::LeftButton);
            }
            driven = true;
        });
        const int result = d->ShowModal();
        ASSERT_TRUE(driven) << c.Name;
        ASSERT_FALSE(d.isNull()) << c.Name;
        if (c.Error.isEmpty()) {
            EXPECT_EQ(result, QDialog::Accepted) << c.Name;
            EXPECT_EQ(d->ResultConnectionString(), c.Result) << c.Name;
            EXPECT_TRUE(ui.Boxes().isEmpty()) << c.Name;
        } else {
            EXPECT_EQ(result, QDialog::Rejected) << c.Name;
            EXPECT_EQ(ErrorTexts(ui), QStringList{c.Error}) << c.Name;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(d.isNull()) << c.Name;
    }
}

TEST_F(ConnectionTest, EscapeCancelsWhereverTheFocusIs)
{
    const std::function<QWidget *(TdlgConnection *)> places[] = {
        [](TdlgConnection *d) { return d->RzButtonEditDbFile; },
        [](TdlgConnection *d) { return d->EditIP3; },
        [](TdlgConnection *d) { return d->EditOtherDbFile; },
        [](TdlgConnection *d) { return d->RadioButtonConnTcp; },
        [](TdlgConnection *d) { return d->bAnnuler; },
    };
    for (const auto &place : places) {
        QPointer<TdlgConnection> d = new TdlgConnection();
        QString name;
        QTimer::singleShot(0, d, [&] {
            Activate(d);
            QWidget *w = place(d);
            name = w->objectName();
            w->setFocus(Qt::OtherFocusReason);
            d->RzButtonEditDbFile->setText(QStringLiteral("C:\\Data\\Base.fdb"));
            Idle();
            KeyToFocus(Qt::Key_Escape);
        });
        EXPECT_EQ(d->ShowModal(), QDialog::Rejected) << name.toStdString();
        if (d) {
            EXPECT_TRUE(d->ResultConnectionString().isEmpty());
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Answers the file dialog that the connection dialog opens: picks a file or cancels.
void AnswerFileDialog(const QString &pick, QString *requiredExtension)
{
    QTimer::singleShot(0, [pick, requiredExtension] {
        TdlgFileOpen *files = nullptr;
        WaitUntil([&] {
            files = qobject_cast<TdlgFileOpen *>(QApplication::activeModalWidget());
            return files != nullptr;
        });
        if (!files) {
            ADD_FAILURE() << "the file dialog did not open";
            return;
        }
        *requiredExtension = files->RequiredExtension();
        if (pick.isEmpty()) {
            QTest::mouseClick(files->bAnnuler, Qt::LeftButton);
            return;
        }
        EXPECT_TRUE(files->SetFolder(QStringLiteral("C:\\Data")));
        WaitUntil([&] { return ListNames(*files).contains(pick); });
        DoubleClickItem(files->PTShellList1, ListItem(*files, pick));
    });
}

TEST_F(ConnectionTest, BrowsingFillsTheLocalFile)
{
    struct Case {
        const char *Name;
        std::function<void(TdlgConnection *)> Open;
        QString Pick;
        QString Text;
    };
    const Case cases[] = {
        {"button", [](TdlgConnection *d) { QTest::mouseClick(d->RzButtonEditDbFile->Button(), Qt::LeftButton); },
         QStringLiteral("UPPER.FDB"), QStringLiteral("C:\\Data\\UPPER.FDB")},
        {"Alt+Down", [](TdlgConnection *d) { QTest::keyClick(d->RzButtonEditDbFile, Qt::Key_Down, Qt::AltModifier); },
         QStringLiteral("Base.fdb"), QStringLiteral("C:\\Data\\Base.fdb")},
        {"Insert", [](TdlgConnection *d) { QTest::keyClick(d->RzButtonEditDbFile, Qt::Key_Insert); },
         QStringLiteral("mixed.Fdb"), QStringLiteral("C:\\Data\\mixed.Fdb")},
        // Cancelled: the text stays as it was.
        {"cancelled", [](TdlgConnection *d) { QTest::keyClick(d->RzButtonEditDbFile, Qt::Key_Insert); }, QString(),
         QStringLiteral("typed")},
    };
    for (const Case &c : cases) {
        ShownConnection d;
        d->RzButtonEditDbFile->setText(QStringLiteral("typed"));
        d->RzButtonEditDbFile->setFocus();
        QString extension;
        AnswerFileDialog(c.Pick, &extension);
        c.Open(d.Dialog);
        EXPECT_EQ(extension, QStringLiteral(".FDB")) << c.Name;
        EXPECT_EQ(d->RzButtonEditDbFile->text(), c.Text) << c.Name;
        EXPECT_TRUE(d->isVisible()) << c.Name;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(d->findChildren<TdlgFileOpen *>().size(), 0) << c.Name;
    }
    // A browsed file goes through OK as it is.
    ScriptedUiServices ui;
    QPointer<TdlgConnection> d = new TdlgConnection();
    QTimer::singleShot(0, d, [&] {
        Activate(d);
        QString extension;
        AnswerFileDialog(QStringLiteral("Base.fdb"), &extension);
        QTest::mouseClick(d->RzButtonEditDbFile->Button(), Qt::LeftButton);
        Idle();
        QTest::mouseClick(d->bOK, Qt::LeftButton);
    });
    EXPECT_EQ(d->ShowModal(), QDialog::Accepted);
    ASSERT_FALSE(d.isNull());
    EXPECT_EQ(d->ResultConnectionString(), QStringLiteral("C:\\Data\\Base.fdb"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(ConnectionTest, SplitConnectionStringNeedsNoDialog)
{
    struct Case {
        const char *Text;
        const char *Server;
        const char *File;
    };
    for (const Case &c : {Case{"10.0.0.5:D:\\Data\\Base.fdb", "10.0.0.5", "D:\\Data\\Base.fdb"},
                          Case{"C:\\Data\\Base.fdb", "", "C:\\Data\\Base.fdb"},
                          Case{"\\\\dbhost\\Data\\Base.fdb", "\\\\dbhost", "Data\\Base.fdb"}}) {
        QString server, file;
        TdlgConnection::SplitConnectionString(QString::fromLatin1(c.Text), server, file);
        EXPECT_EQ(server, QString::fromLatin1(c.Server)) << c.Text;
        EXPECT_EQ(file, QString::fromLatin1(c.File)) << c.Text;
    }
    QString server, file;
    try {
        TdlgConnection::SplitConnectionString(QStringLiteral("dbhost:base"), server, file);
        ADD_FAILURE() << "an alias was split";
    } catch (const Os::Exception &error) {
        EXPECT_EQ(error.Message(), QStringLiteral("error 0203130939"));
    }
}

} // namespace
