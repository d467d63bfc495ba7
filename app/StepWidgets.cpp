#include "app/StepWidgets.h"

#include "app/AppTexts.h"

#include <QLabel>
#include <QPainter>
#include <QImage>
#include <QPixmap>
#include <QTextEdit>
#include <QToolButton>

namespace StepWidgets {

namespace {

QImage PaintPrinterGlyph()
{
    QImage pixmap(20, 20, QImage::Format_ARGB32_Premultiplied);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    // The sheet going in, the body, the printed sheet coming out.
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 1.5, 9, 6));
    p.setBrush(QColor(150, 156, 166));
    p.drawRoundedRect(QRectF(1.5, 7.5, 17, 7), 1.5, 1.5);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 12.5, 9, 6));
    p.setPen(QColor(120, 120, 120));
    p.drawLine(QPointF(7, 15), QPointF(13, 15));
    p.drawLine(QPointF(7, 17), QPointF(12, 17));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 200, 90));
    p.drawEllipse(QPointF(15.5, 10), 1, 1);
    p.end();
    return pixmap;
}

} // namespace

QIcon PrinterIcon()
{
    // Painted once; an image, not a pixmap, may outlive the application object.
    static const QImage glyph = PaintPrinterGlyph();
    return QIcon(QPixmap::fromImage(glyph));
}

QLabel *MakeHeadingPanel(QWidget *parent, int pixelSize, QToolButton *&printButton)
{
    auto *panel = new QLabel(parent);
    panel->setObjectName(QStringLiteral("PanelButtons"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setAlignment(Qt::AlignCenter);
    panel->setTextFormat(Qt::PlainText);
    QFont font = panel->font();
    font.setPixelSize(pixelSize);
    panel->setFont(font);
    panel->setFixedHeight(32);

    printButton = new QToolButton(panel);
    printButton->setObjectName(QStringLiteral("SpeedButtonPrint"));
    printButton->setAutoRaise(true);
    printButton->setIcon(PrinterIcon());
    printButton->setIconSize(QSize(20, 20));
    printButton->setGeometry(4, 4, 24, 24);
    printButton->setToolTip(AppTexts::PrintButton());
    printButton->setAccessibleName(AppTexts::PrintButton());
    return panel;
}

QTextEdit *MakeReadOnlyText(const QString &name, QWidget *parent, int pixelSize)
{
    auto *edit = new QTextEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(true);
    edit->setAcceptRichText(true);
    edit->setUndoRedoEnabled(false);
    // Read-only text still lets the reader select and copy.
    edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont font = edit->font();
    font.setPixelSize(pixelSize);
    edit->setFont(font);
    edit->document()->setDefaultFont(font);
    return edit;
}

void SetHeading(QLabel *panel, const QString &heading)
{
    panel->setText(heading);
    panel->setAccessibleName(heading);
}

} // namespace StepWidgets
