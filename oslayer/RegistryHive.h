// One hive file in Wine's text format. Reading it indexes its key lines in one pass and
// decodes a key's values only when the key is used, so that opening one key of a large
// hive costs little; a write keeps every key it did not touch byte for byte.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace Os::Detail {

// The value of a hexadecimal digit of the hive text, -1 for any other character.
int HexDigit(char c);

// Windows refuses keys deeper than this; so does the parser, and so do writes.
constexpr qsizetype MaxKeyDepth = 512;

struct HiveValue {
    QString Name;
    uint32_t Type = 0;
    QByteArray Data;
    QByteArray Raw; // the text as read, newline included; empty once the value changed
};

// A key's section decoded: what reads and writes of its values work on.
struct HiveKey {
    QByteArray Header; // the key line, without its newline
    QList<QByteArray> Meta; // "#time=...", "#link", "#class=..." lines
    QList<QByteArray> Extra; // comments kept when the section is written anew
    std::vector<HiveValue> Values;

    HiveValue *FindValue(const QString &name);
    // The value of that name, added in Wine's order when missing.
    HiveValue &PutValue(const QString &name);
    bool RemoveValue(const QString &name);
};

struct HiveNode;

// Where a key line's section lies in the file; decoded when the key is first used.
struct HiveSection {
    QByteArray Raw; // every line of the section as read (or as last written); used while clean
    int FirstLine = 0; // of the key line in the file as read
    bool Dirty = false;
    bool IsLink = false;
    HiveNode *Node = nullptr;
    HiveSection *NextRepeat = nullptr; // a later section naming the same key: its values join
    std::unique_ptr<HiveKey> Decoded;
};

// A key name as the tree holds it: plain ASCII names stay bytes of the file, other names
// are text that the hive keeps.
struct HiveName {
    const char *Ascii = nullptr;
    const char16_t *Utf16 = nullptr;
    qsizetype Size = 0;

    char16_t At(qsizetype i) const { return Ascii ? char16_t(Ascii[i]) : Utf16[i]; }
    QString ToString() const;
};

// Subkeys ordered as Wine orders them: by lower-cased name.
struct HiveNameOrder {
    using is_transparent = void;
    bool operator()(const HiveNode *a, const HiveNode *b) const;
    bool operator()(const HiveNode *a, const HiveName &b) const;
    bool operator()(const HiveName &a, const HiveNode *b) const;
};
using HiveChildLookup = std::set<HiveNode *, HiveNameOrder>;

struct HiveNode {
    HiveName Name;
    HiveNode *Parent = nullptr;
    // The subkeys, the latest first. While Lookup is null they came in Wine's order, so the
    // first is the greatest: a new name above it is no subkey yet.
    HiveNode *FirstChild = nullptr;
    HiveNode *NextSibling = nullptr;
    HiveSection *Section = nullptr;
    HiveChildLookup *Lookup = nullptr; // made when a lookup needs it or the order breaks

    bool HasChildren() const { return FirstChild != nullptr; }
    QStringList PathComponents() const;
};

// Objects that live as long as their hive, made in blocks: no allocation each, and no
// pointers between them that own, so that no depth of keys makes a teardown recurse.
template <typename T> class HiveStore {
public:
    T &Add()
    {
        if (FBlocks.empty() || FUsed == BlockSize) {
            FBlocks.push_back(std::make_unique<T[]>(BlockSize));
            FUsed = 0;
        }
        return FBlocks.back()[FUsed++];
    }
    // In the order they were added.
    template <typename F> void ForEach(F visit) const
    {
        for (size_t block = 0; block < FBlocks.size(); ++block)
            for (size_t i = 0; i < (block + 1 == FBlocks.size() ? FUsed : BlockSize); ++i)
                visit(FBlocks[block][i]);
    }

private:
    static constexpr size_t BlockSize = 1024;
    std::vector<std::unique_ptr<T[]>> FBlocks;
    size_t FUsed = 0;
};

class Hive {
public:
    // Reads a hive; a missing file is an empty hive. The key lines and the kind of every
    // line are checked here: one that does not parse raises ERegistryError naming the file
    // and the line (or a value line above it that does not parse). The values of a key are
    // checked when it is used, and all of them by DecodeAll and Serialize.
    static std::shared_ptr<Hive> Load(const QString &hostPath, bool machineHive);
    // The same for a hive's text held in memory; errors name nameForErrors.
    static std::shared_ptr<Hive> Parse(
        const QByteArray &content, const QString &nameForErrors, bool machineHive);

    QString FilePath() const { return FPath; }
    bool Exists() const { return FExists; }
    bool IsWin64() const { return FWin64; }

    HiveNode *Root() { return &FRoot; }
    // A key's subkey by name without regard to case, or null.
    HiveNode *Child(HiveNode *parent, const QString &name);
    // The subkeys in Wine's order: by lower-cased name.
    std::vector<HiveNode *> Children(HiveNode *parent);
    // The key at the given components (no links followed), or null.
    HiveNode *Find(const QStringList &components);
    // Creates the missing components; the new leaf gets a key line of its own. Raises
    // ERegistryError for a key deeper than MaxKeyDepth.
    HiveNode *Ensure(const QStringList &components);
    // The link target of a symbolic-link key, as components of this hive; empty when it
    // points elsewhere or is not a link.
    QStringList LinkTarget(HiveNode *node);

    // The key's section decoded, or null when the key has no line of its own. Raises
    // ERegistryError when one of its lines does not parse.
    HiveKey *Values(HiveNode *node);
    // The same, giving the key a line of its own when it has none.
    HiveKey *KeyFor(HiveNode *node);
    void Touch(HiveNode *node); // the key changed now: new time, written anew
    void RemoveNode(HiveNode *node); // with everything below it

    // Decodes every key, raising the error of the first line that does not parse.
    void DecodeAll();
    // The text of the hive as a write leaves it; decodes every key first, so that a hive
    // with a line that does not parse is never written.
    QByteArray Serialize();
    // After a successful write the written text becomes the text "as read".
    void MarkWritten();

private:
    static std::shared_ptr<Hive> Blank(const QString &path, bool machineHive);
    void Index();
    // Fills FKeyNames and FKeyEnds past the first shared names, which end where those of the
    // previous line did; returns how many names the line has. plain tells whether they are
    // bytes of the line (else the line had escapes, and all of them were decoded).
    qsizetype ParseKeyLine(const char *p, const char *end, qsizetype shared, bool &plain);
    HiveName KeepName(const QString &name);
    HiveNode *FindChild(HiveNode *parent, const HiveName &name);
    HiveNode *AddChild(HiveNode *parent, const HiveName &name);
    void Decode(HiveSection *section);
    // The lines of one section into key: the key line, meta and comment lines when own, and
    // the values; tells whether a value took the place of one of the same name.
    bool DecodeLines(const HiveSection &from, HiveKey &key, bool own) const;
    // Raises the error of the first value line of the file that does not parse, if any.
    void CheckValuesInFileOrder() const;
    void Stamp(HiveKey *key);
    static QByteArray RenderSection(const HiveKey &key);
    [[noreturn]] void Fail(int line, const QString &reason) const;
    void InsertSection(HiveSection *section);

    QString FPath;
    QByteArray FContent; // the file as read; names and clean sections point into it
    bool FExists = false;
    bool FWin64 = false;
    QString FRootName; // "REGISTRY\Machine" or "REGISTRY\User\S-..."
    QByteArray FPreamble;
    HiveNode FRoot;
    HiveStore<HiveNode> FNodes;
    HiveStore<HiveSection> FSectionStore;
    std::deque<QString> FNames;
    std::deque<HiveChildLookup> FLookups;
    std::vector<HiveName> FKeyNames; // of the key line being read
    std::vector<qsizetype> FKeyEnds; // where each of them ends in its line
    std::vector<HiveSection *> FSections; // file order
    // Reads decode keys and make lookups as they go; this keeps reads from several threads
    // apart, as they were when the whole tree was made at once.
    std::mutex FLazyLock;
};

// True when no key of the hive text can be named name (letters only), told from the bytes
// without parsing them: no key line holds the name in any case, nor an escape or a byte
// that could spell one of its letters. False when that cannot be ruled out.
bool TextCannotNameKey(const QByteArray &text, const QString &name);

// Wine's escaping of names and strings ("\\", "\"", "\xe0", "\0" ...).
QByteArray EscapeWineString(const QString &text, char quote1, char quote2, bool dropFinalNul);
// The text of one value as Wine writes it, newline included.
QByteArray RenderValue(const HiveValue &value);
// The UTF-16LE text from byte offset from up to its NUL (or the end); next gets the offset
// after the NUL when given.
QString Utf16Text(const QByteArray &data, qsizetype from = 0, qsizetype *next = nullptr);

} // namespace Os::Detail
