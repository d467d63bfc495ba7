#include "dialogs/ButtonPanel.h"

#include <QAbstractButton>
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>
#include <algorithm>

namespace {

// Keeps each arranged button at the distance from the right and bottom edges it had
// when the row was arranged: buttons placed once must follow a dialog that is resized.
class TButtonAnchors final : public QObject {
public:
    struct Anchor {
        QPointer<QAbstractButton> Button;
        int Right;
        int Bottom;
    };

    explicit TButtonAnchors(QWidget *panel) : QObject(panel), FPanel(panel)
    {
        setObjectName(QStringLiteral("ButtonPanelAnchors"));
        panel->installEventFilter(this);
    }

    void SetAnchors(QList<Anchor> anchors) { FAnchors = std::move(anchors); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == FPanel && event->type() == QEvent::Resize) {
            for (const Anchor &anchor : std::as_const(FAnchors)) {
                if (!anchor.Button)
                    continue;
                const QRect r = anchor.Button->geometry();
                anchor.Button->move(FPanel->width() - anchor.Right - r.width(),
                                    FPanel->height() - anchor.Bottom - r.height());
            }
        }
        return false;
    }

private:
    QWidget *FPanel;
    QList<Anchor> FAnchors;
};

bool IsRowButton(const QWidget *w)
{
    return qobject_cast<const QPushButton *>(w) || qobject_cast<const QToolButton *>(w);
}

} // namespace

void ArrangeButtonPanel(QWidget *panel)
{
    if (!panel)
        return;
    QList<QAbstractButton *> buttons;
    for (QObject *child : panel->children()) {
        auto *button = qobject_cast<QAbstractButton *>(child);
        // The button's own visibility flag counts, not whether the panel is on screen yet.
        if (button && IsRowButton(button) && !button->isHidden())
            buttons.append(button);
    }
    // A stable sort keeps buttons that share a left edge in the order they were created.
    std::stable_sort(buttons.begin(), buttons.end(),
                     [](const QAbstractButton *a, const QAbstractButton *b) { return a->x() < b->x(); });
    if (buttons.isEmpty())
        return;

    const int h = buttons.last()->height();
    const int m = h * 10 / 25;
    const int frame = panel->height() - panel->contentsRect().height();
    panel->setFixedHeight(h + 2 * m + frame);

    auto *anchors = panel->findChild<TButtonAnchors *>(QStringLiteral("ButtonPanelAnchors"),
                                                      Qt::FindDirectChildrenOnly);
    if (!anchors)
        anchors = new TButtonAnchors(panel); // owned by the panel
    QList<TButtonAnchors::Anchor> list;
    int x = panel->width();
    // From the right edge leftwards. (clang 14 cannot read libstdc++'s reverse view.)
    for (qsizetype i = buttons.size() - 1; i >= 0; --i) {
        QAbstractButton *button = buttons.at(i);
        x = x - m - button->width();
        button->setGeometry(x, m, button->width(), h);
        list.append({button, panel->width() - (x + button->width()), panel->height() - (m + h)});
    }
    anchors->SetAnchors(std::move(list));
}
