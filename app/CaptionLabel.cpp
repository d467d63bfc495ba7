#include "app/CaptionLabel.h"

TCaptionLabel::TCaptionLabel(const QString &name, QWidget *parent)
    : QLabel(parent)
{
    setObjectName(name);
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TCaptionLabel::SetCaption(const QString &caption)
{
    FCaption = caption;
    QString shown = caption;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setText(shown);
    setAccessibleName(shown);
}

void TCaptionLabel::SetFontColor(const QColor &color)
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, color);
    setPalette(pal);
}

QColor TCaptionLabel::FontColor() const
{
    return palette().color(QPalette::WindowText);
}
