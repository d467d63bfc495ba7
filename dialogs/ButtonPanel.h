// The row of buttons at the bottom of a window or dialog.
#pragma once

class QWidget;

// Right-aligns the visible push and tool buttons that are direct children of the panel,
// with a margin of 0.4 x the button height (truncated) between them, from the right edge
// and above and below them; the panel takes the height of the row. The buttons then keep
// their distance to the right and bottom edges when the panel is resized.
void ArrangeButtonPanel(QWidget *panel);
