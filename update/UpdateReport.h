// The installation report as the engine sees it: lines appended at the end, nothing else.
// The GUI hands the engine a report over the report page's document; the engine never
// sees a widget.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class QTextDocument;

class IUpdateReport {
public:
    virtual ~IUpdateReport() = default;
    // Appends text as a new last line; CR LF inside it makes several lines. A point size of
    // 0 and an empty font name leave the insertion-point attributes as they are.
    virtual void AddLine(const QString &text, int pointSize, const QString &fontName) = 0;
};

// The report over a rich-text document, as the report page shows it. Like a rich-text
// control, the size and font set at the insertion point stay in force for the lines after.
class TDocumentReport final : public IUpdateReport {
public:
    explicit TDocumentReport(QTextDocument *document);

    void AddLine(const QString &text, int pointSize, const QString &fontName) override;

    // Called after every line: the GUI gives its control the focus there when the control
    // can take it and lacks it, so that the caret and the last line stay in view.
    void SetFocusHook(std::function<void()> hook) { FFocusHook = std::move(hook); }

    QTextDocument *Document() const { return FDocument; }

    // Read-back: the lines of the document, and the point size each line begins with
    // (0 where the document's default applies).
    QStringList Lines() const;
    QList<double> PointSizes() const;
    // The point size each line's own call asked for (0: left unchanged), which a size that
    // carries over from an earlier line cannot fake.
    QList<int> GivenPointSizes() const;
    // The lines joined by CR LF, as the control's whole text reads.
    QString Text() const;

private:
    QTextDocument *FDocument;
    std::function<void()> FFocusHook;
    bool FHasLines = false;
};
