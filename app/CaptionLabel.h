// A label that keeps its caption exactly as the program set it (CR LF included) and
// shows it with the line breaks the toolkit understands.
#pragma once

#include <QLabel>

class TCaptionLabel : public QLabel {
    Q_OBJECT
public:
    explicit TCaptionLabel(const QString &name, QWidget *parent = nullptr);

    void SetCaption(const QString &caption);
    const QString &Caption() const { return FCaption; }
    void SetFontColor(const QColor &color);
    QColor FontColor() const;

private:
    QString FCaption;
};
