// One hive file in Wine's text format, held as the lines it was read from, so that a
// write keeps every key it did not touch byte for byte.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace Os::Detail {

struct HiveValue {
    QString Name;
    uint32_t Type = 0;
    QByteArray Data;
    QByteArray Raw; // the text as read, newline included; empty once the value changed
};

struct HiveNode;

struct HiveSection {
    QByteArray Raw;              // every line of the section as read; used while it is clean
    bool Dirty = false;
    QByteArray Header;           // the key line, without its newline
    QList<QByteArray> Meta;      // "#time=...", "#link", "#class=..." lines
    QList<QByteArray> Extra;     // comments kept when the section is written anew
    std::vector<HiveValue> Values;
    bool IsLink = false;
    HiveNode *Node = nullptr;

    HiveValue *FindValue(const QString &name);
};

struct HiveNode {
    QString Name;
    HiveNode *Parent = nullptr;
    std::map<QString, std::unique_ptr<HiveNode>> Children; // by upper-cased name: Wine's order
    HiveSection *Section = nullptr;

    HiveNode *Child(const QString &name) const;
    QStringList PathComponents() const;
};

class Hive {
public:
    // Reads a hive; a missing file is an empty hive. Raises ERegistryError naming the file
    // and line of the first line that does not parse.
    static std::shared_ptr<Hive> Load(const QString &hostPath, bool machineHive);

    QString FilePath() const { return FPath; }
    bool Exists() const { return FExists; }
    bool IsWin64() const { return FWin64; }

    // The key at the given components (no links followed), or null.
    HiveNode *Find(const QStringList &components) const;
    HiveNode *Root() const { return FRoot.get(); }
    // Creates the missing components; the new leaf gets a key line of its own.
    HiveNode *Ensure(const QStringList &components);
    // The link target of a symbolic-link key, as components of this hive; empty when it
    // points elsewhere or is not a link.
    QStringList LinkTarget(const HiveNode *node) const;

    HiveSection *SectionFor(HiveNode *node); // gives the node a key line when it has none
    void Touch(HiveSection *section);        // the key changed now: new time, written anew
    void RemoveNode(HiveNode *node);         // with everything below it

    QByteArray Serialize() const;
    // After a successful write the written text becomes the text "as read".
    void MarkWritten();

private:
    void InsertSection(std::unique_ptr<HiveSection> section);
    void RemoveSections(HiveNode *node);

    QString FPath;
    QByteArray FContent; // the file as read; clean sections are slices of it
    bool FMachine = true;
    bool FExists = false;
    bool FWin64 = false;
    QString FRootName; // "REGISTRY\Machine" or "REGISTRY\User\S-..."
    QByteArray FPreamble;
    std::vector<std::unique_ptr<HiveSection>> FSections; // file order
    std::unique_ptr<HiveNode> FRoot;
};

// Wine's escaping of names and strings ("\\", "\"", "\xe0", "\0" ...).
QByteArray EscapeWineString(const QString &text, char quote1, char quote2, bool dropFinalNul);
// The text of one value as Wine writes it, newline included.
QByteArray RenderValue(const HiveValue &value);

} // namespace Os::Detail
