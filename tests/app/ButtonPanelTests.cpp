#include "dialogs/ButtonPanel.h"

#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

struct RowCase {
    int ButtonHeight;
    int Margin;
};

class ButtonRow : public ::testing::TestWithParam<RowCase> {};

// Three buttons of different widths given out of order, plus things the row must leave alone.
struct Panel {
    QWidget Widget;
    QPushButton *Cancel;
    QPushButton *Back;
    QToolButton *Next;
    QPushButton *Hidden;
    QLabel *Label;

    explicit Panel(int buttonHeight)
    {
        Widget.resize(600, 80);
        Cancel = new QPushButton(QStringLiteral("Cancel"), &Widget);
        Cancel->setGeometry(300, 3, 80, buttonHeight);
        Back = new QPushButton(QStringLiteral("Back"), &Widget);
        Back->setGeometry(10, 7, 70, buttonHeight);
        Next = new QToolButton(&Widget);
        Next->setGeometry(150, 1, 90, 30);
        Hidden = new QPushButton(QStringLiteral("Hidden"), &Widget);
        Hidden->setGeometry(200, 5, 60, 25);
        Hidden->hide();
        Label = new QLabel(QStringLiteral("Version : 1.0"), &Widget);
        Label->setGeometry(5, 5, 100, 20);
    }
};

TEST_P(ButtonRow, RightAlignedWithMarginOfFourTenthsOfTheHeight)
{
    const RowCase c = GetParam();
    Panel p(c.ButtonHeight);
    ArrangeButtonPanel(&p.Widget);

    const int m = c.Margin;
    const int h = c.ButtonHeight; // the right-most button sets the height of the row
    EXPECT_EQ(p.Widget.height(), h + 2 * m);
    EXPECT_EQ(p.Cancel->geometry(), QRect(600 - m - 80, m, 80, h));
    EXPECT_EQ(p.Next->geometry(), QRect(600 - 2 * m - 80 - 90, m, 90, h));
    EXPECT_EQ(p.Back->geometry(), QRect(600 - 3 * m - 80 - 90 - 70, m, 70, h));
    // Neither the hidden button nor the label take part.
    EXPECT_EQ(p.Hidden->geometry(), QRect(200, 5, 60, 25));
    EXPECT_EQ(p.Label->geometry(), QRect(5, 5, 100, 20));
}

TEST_P(ButtonRow, ButtonsFollowTheRightAndBottomEdges)
{
    const RowCase c = GetParam();
    Panel p(c.ButtonHeight);
    p.Widget.show(); // a hidden widget gets its resize event only when shown
    ArrangeButtonPanel(&p.Widget);
    const QRect before = p.Cancel->geometry();
    p.Widget.setFixedSize(750, p.Widget.height() + 12);
    EXPECT_EQ(p.Cancel->geometry(), before.translated(150, 12));
    EXPECT_EQ(p.Back->x(), 750 - 3 * c.Margin - 80 - 90 - 70);
    // Arranging again after the resize starts from the new width.
    ArrangeButtonPanel(&p.Widget);
    EXPECT_EQ(p.Cancel->geometry(), QRect(750 - c.Margin - 80, c.Margin, 80, c.ButtonHeight));
}

INSTANTIATE_TEST_SUITE_P(Heights, ButtonRow,
                         ::testing::Values(RowCase{25, 10}, RowCase{24, 9}, RowCase{23, 9}, RowCase{30, 12},
                                           RowCase{2, 0}));

TEST(ButtonRowEdges, PanelWithoutVisibleButtonsIsLeftAsItIs)
{
    QWidget panel;
    panel.resize(300, 77);
    auto *hidden = new QPushButton(&panel);
    hidden->setGeometry(1, 2, 30, 25);
    hidden->hide();
    ArrangeButtonPanel(&panel);
    ArrangeButtonPanel(nullptr);
    EXPECT_EQ(panel.size(), QSize(300, 77));
    EXPECT_EQ(hidden->geometry(), QRect(1, 2, 30, 25));
}

} // namespace
