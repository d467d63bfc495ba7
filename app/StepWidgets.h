// Pieces the standard steps share: the heading panel with its print button and the
// read-only rich-text area.
#pragma once

#include <QIcon>
#include <QString>

class QLabel;
class QTextEdit;
class QToolButton;
class QWidget;

namespace StepWidgets {

// The printer glyph of the print buttons.
QIcon PrinterIcon();
// A top heading panel of the given height and font size with a flat print button at
// 4, 4, 24 x 24 on it.
QLabel *MakeHeadingPanel(QWidget *parent, int pixelSize, QToolButton *&printButton);
// A read-only rich-text area in which Return inserts nothing.
QTextEdit *MakeReadOnlyText(const QString &name, QWidget *parent, int pixelSize);
void SetHeading(QLabel *panel, const QString &heading);

} // namespace StepWidgets
