// Manifest lists: encodings and line breaks.
#include "payload/ManifestText.h"

#include <gtest/gtest.h>

namespace {

// Expected lines written as UTF-8 literals.
QStringList L(std::initializer_list<const char *> lines)
{
    QStringList out;
    for (const char *l : lines)
        out.append(QString::fromUtf8(l));
    return out;
}

QByteArray Utf16(const QString &text, bool bigEndian)
{
    QByteArray out = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
    for (const QChar c : text) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        out.append(bigEndian ? hi : lo);
        out.append(bigEndian ? lo : hi);
    }
    return out;
}

TEST(ManifestTextTest, LineBreaks)
{
    const struct {
        const char *What;
        QByteArray Bytes;
        QStringList Lines;
    } cases[] = {
        {"empty file", "", L({})},
        {"one line without a final break", "Falcrest", L({"Falcrest"})},
        {"CR LF", "Falcrest.chm\r\nFalcrest.hlp\r\n", L({"Falcrest.chm", "Falcrest.hlp"})},
        {"LF", "a\nb", L({"a", "b"})},
        {"CR", "a\rb\r", L({"a", "b"})},
        {"mixed", "a\r\nb\nc\rd", L({"a", "b", "c", "d"})},
        {"empty lines kept", "a\r\n\r\nb\r\n", L({"a", "", "b"})},
        {"LF CR is two breaks", "a\n\rb", L({"a", "", "b"})},
        {"only a break", "\r\n", L({""})},
        {"two breaks", "\n\n", L({"", ""})},
        {"spaces are kept", "  Falcrest  \r\n", L({"  Falcrest  "})},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DecodeManifestLines(c.Bytes), c.Lines) << c.What;
}

TEST(ManifestTextTest, Encodings)
{
    const QString societa = QStringLiteral("Società Rossi & Figli");
    const struct {
        const char *What;
        QByteArray Bytes;
        QStringList Lines;
    } cases[] = {
        {"UTF-8 mark, not part of the first line", "\xEF\xBB\xBFSociet\xC3\xA0 Rossi & Figli\r\nB", QStringList{societa, QStringLiteral("B")}},
        {"UTF-8 mark only", "\xEF\xBB\xBF", L({})},
        {"UTF-16 LE mark", Utf16(societa + QStringLiteral("\r\nB"), false), QStringList{societa, QStringLiteral("B")}},
        {"UTF-16 BE mark", Utf16(societa + QStringLiteral("\nB\n"), true), QStringList{societa, QStringLiteral("B")}},
        {"UTF-16 with an odd last byte", Utf16(QStringLiteral("ab"), false) + "\x41", L({"ab"})},
        {"Windows-1252 without a mark", "Societ\xE0 Rossi & Figli", QStringList{societa}},
        {"Windows-1252 upper half", "\x80\x85\x92\x93\x94\x9C", QStringList{QStringLiteral("€…’“”œ")}},
        {"unassigned bytes as their C1 controls", "\x81\x8D\x8F\x90\x9D", QStringList{QStringLiteral("\u0081\u008D\u008F\u0090\u009D")}},
        {"UTF-8 without a mark is read as 1252", "Societ\xC3\xA0", QStringList{QStringLiteral("SocietÃ\u00A0")}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DecodeManifestLines(c.Bytes), c.Lines) << c.What;
}

} // namespace
