#include "AppFixture.h"

#include "app/QtUiServices.h"
#include "platform/GeneralRoutines.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

// Acts on the modal dialog as soon as it is open, as a person at the screen would.
void WhenModalOpens(std::function<void(QWidget *)> act)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act)] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start();
}

QStringList ButtonTexts(QWidget *box)
{
    QStringList texts;
    for (QAbstractButton *button : box->findChildren<QAbstractButton *>())
        texts << button->text();
    texts.sort();
    return texts;
}

struct BoxCase {
    const char *Label;
    bool YesNo;
    const char *Press; // button text, or nullptr to close the box with Escape
    bool Result;
};

class QtMessageBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(QtMessageBox, ButtonsAndAnswer)
{
    const BoxCase &c = GetParam();
    TQtUiServices services;
    QString caption;
    QString text;
    QStringList buttons;
    WhenModalOpens([&](QWidget *modal) {
        caption = modal->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            text = box->text();
        buttons = ButtonTexts(modal);
        if (!c.Press) {
            qobject_cast<QDialog *>(modal)->reject();
            return;
        }
        for (QAbstractButton *button : modal->findChildren<QAbstractButton *>()) {
            if (button->text() == QString::fromUtf8(c.Press))
                button->click();
        }
    });
    MessageRequest request;
    request.Kind = c.YesNo ? MessageKind::Warning : MessageKind::Error;
    request.Caption = c.YesNo ? QStringLiteral("Avertissement") : QStringLiteral("Erreur");
    request.Text = QStringLiteral("Volete annullare l'installazione?");
    request.YesNo = c.YesNo;
    EXPECT_EQ(services.ShowMessage(request), c.Result);
    EXPECT_EQ(caption, request.Caption);
    EXPECT_EQ(text, request.Text);
    EXPECT_EQ(buttons, c.YesNo ? Lines({"&Non", "&Oui"}) : Lines({"OK"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, QtMessageBox,
                         ::testing::Values(BoxCase{"Yes", true, "&Oui", true}, BoxCase{"No", true, "&Non", false},
                                           BoxCase{"ClosedCountsAsNo", true, nullptr, false},
                                           BoxCase{"Ok", false, "OK", true},
                                           BoxCase{"OkClosed", false, nullptr, true}),
                         [](const auto &info) { return std::string(info.param.Label); });

TEST(QtCompanyChoice, ChosenRowOrCancel)
{
    TQtUiServices services;
    const QStringList companies = Lines({"Default", "Società Rossi & Figli", "Bianchi S.r.l."});
    WhenModalOpens([](QWidget *modal) {
        auto *list = modal->findChild<QListWidget *>(QStringLiteral("ListCompanies"));
        list->setCurrentRow(2);
        qobject_cast<QDialog *>(modal)->accept();
    });
    int index = 0;
    EXPECT_TRUE(services.ChooseCompany(companies, index));
    EXPECT_EQ(index, 2);

    WhenModalOpens([](QWidget *modal) { qobject_cast<QDialog *>(modal)->reject(); });
    EXPECT_FALSE(services.ChooseCompany(companies, index));
    EXPECT_EQ(index, 2);
}

TEST(QtWait, ClosingTheLastWindowEndsAMessageWait)
{
    // As in the program: the wait runs inside the application's loop, and the user closes
    // the window meanwhile; the application quits and the wait ends with it.
    TQtUiServices services;
    for (QWidget *other : QApplication::topLevelWidgets())
        other->hide();
    QWidget window;
    window.show();
    qint64 took = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(30, &window, &QWidget::close);
        QElapsedTimer clock;
        clock.start();
        WaitMilliseconds(100000);
        took = clock.elapsed();
    });
    // Should the quit never come, the test still ends, with the wait's length telling why.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, QCoreApplication::instance(), &QCoreApplication::quit);
    guard.start(10000);
    QApplication::exec();
    EXPECT_GE(took, 30);
    EXPECT_LT(took, 2000);
}

TEST(QtWaitCursor, OverrideCursorOnAndOff)
{
    TQtUiServices services;
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    services.SetWaitCursor(true);
    services.SetWaitCursor(true); // nested requests are counted by the caller, not stacked here
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    services.SetWaitCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

} // namespace
