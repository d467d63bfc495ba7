// Server-side functions of the products' databases, in the legacy UDF calling
// convention: arguments by reference, CSTRING as char*, BLOB as a callback block.
// The functions that return a FREE_IT string (Capitalize, CapitalizeFirst,
// GetStrWordAt, GetBlobString) are not offered: the Debian engine refuses the
// memory of this module's ib_util_malloc, so they would fail on every call.
#include <ibase.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/statvfs.h>
#include <vector>


#define UDF_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Raised each time a function is added or changes meaning.
constexpr ISC_LONG kModuleVersion = 1;

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool ReadFile(const std::string &path, std::string &out, size_t limit = 1 << 20)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && out.size() < limit)
        out.append(buffer, n);
    std::fclose(f);
    return true;
}

std::string ServerRoot()
{
    std::string root = Env("DREMLIX_FB_ROOT");
    return root.empty() ? Env("FIREBIRD") : root;
}

// Latin-1 letter case, the character set of the products' text columns.
unsigned char Upper(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 32);
    return c;
}

std::string UpperText(const char *s)
{
    std::string out = s ? s : "";
    for (char &c : out)
        c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> Words(const char *s)
{
    std::vector<std::string> words;
    std::string current;
    for (const unsigned char c : UpperText(s)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';') {
            if (!current.empty())
                words.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(c);
        }
    }
    if (!current.empty())
        words.push_back(current);
    return words;
}

// 1 when every word of `words` occurs in `text`, letter case ignored; an empty
// list of words is found everywhere.
ISC_LONG AllWordsIn(const std::string &text, const char *words)
{
    const std::string haystack = UpperText(text.c_str());
    for (const std::string &w : Words(words)) {
        if (haystack.find(w) == std::string::npos)
            return 0;
    }
    return 1;
}

std::string ReadBlob(BLOBCALLBACK blob)
{
    std::string out;
    if (!blob || !blob->blob_handle || !blob->blob_get_segment)
        return out;
    std::vector<ISC_UCHAR> buffer(32768);
    for (;;) {
        ISC_USHORT got = 0;
        const short rc = blob->blob_get_segment(blob->blob_handle, buffer.data(),
                                                static_cast<ISC_USHORT>(buffer.size()), &got);
        if (got > 0)
            out.append(reinterpret_cast<const char *>(buffer.data()), got);
        if (rc == 0)
            break;
    }
    return out;
}

} // namespace

// Free bytes of the file system that holds the test server's databases. The drive
// letter names a Windows drive of the server; a Linux server has one place for its
// databases, so the letter only selects an override file: <root>/udf-free-space-<L>,
// else <root>/udf-free-space, whose number is the answer (tests set thresholds so).
UDF_EXPORT ISC_INT64 GetFreeDiskSpace(const char *drive)
{
    const std::string root = ServerRoot();
    if (!root.empty()) {
        std::string text;
        const char letter = drive && drive[0] ? static_cast<char>(Upper(static_cast<unsigned char>(drive[0]))) : '\0';
        bool found = false;
        if (letter)
            found = ReadFile(root + "/udf-free-space-" + letter, text, 64);
        if (!found)
            found = ReadFile(root + "/udf-free-space", text, 64);
        if (found) {
            errno = 0;
            char *end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (errno == 0 && end != text.c_str())
                return v;
            return 0;
        }
    }
    std::string folder = Env("DREMLIX_FB_DATA");
    if (folder.empty())
        folder = root.empty() ? "/" : root;
    struct statvfs st;
    if (statvfs(folder.c_str(), &st) != 0)
        return -1;
    return static_cast<ISC_INT64>(st.f_bavail) * static_cast<ISC_INT64>(st.f_frsize);
}

UDF_EXPORT ISC_LONG GetDLLVersion()
{
    return kModuleVersion;
}

UDF_EXPORT ISC_LONG IsANumber(const char *s)
{
    if (!s)
        return 0;
    std::string t = s;
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    size_t i = 0;
    while (i < t.size() && t[i] == ' ')
        ++i;
    if (i < t.size() && (t[i] == '-' || t[i] == '+'))
        ++i;
    bool digits = false, point = false;
    for (; i < t.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(t[i])))
            digits = true;
        else if ((t[i] == '.' || t[i] == ',') && !point)
            point = true;
        else
            return 0;
    }
    return digits ? 1 : 0;
}

UDF_EXPORT ISC_LONG GetStrLen(const char *s)
{
    return s ? static_cast<ISC_LONG>(std::strlen(s)) : 0;
}

UDF_EXPORT ISC_LONG FindStringsInString(const char *text, const char *words)
{
    return AllWordsIn(text ? text : "", words);
}

UDF_EXPORT ISC_LONG FindStringsIn5Strings(const char *words, const char *s1, const char *s2, const char *s3,
                                          const char *s4, const char *s5)
{
    std::string all;
    for (const char *s : {s1, s2, s3, s4, s5}) {
        if (s) {
            all += s;
            all += '\n';
        }
    }
    return AllWordsIn(all, words);
}

UDF_EXPORT ISC_LONG FindStringsInBlob(BLOBCALLBACK blob, const char *words)
{
    return AllWordsIn(ReadBlob(blob), words);
}

// The end of the server's own log, the place where a Linux server writes what a
// Windows one writes to its log file.
UDF_EXPORT void GetLogData(BLOBCALLBACK out)
{
    if (!out || !out->blob_handle || !out->blob_put_segment)
        return;
    std::string text;
    const std::string root = ServerRoot();
    // The Debian build writes /var/log/firebird/firebird3.0.log (the test server sees
    // its own ROOT/log there); an upstream build writes firebird.log in its root.
    if (!ReadFile("/var/log/firebird/firebird3.0.log", text, 1 << 20) && !root.empty())
        ReadFile(root + "/firebird.log", text, 1 << 20);
    constexpr size_t kTail = 32768;
    if (text.size() > kTail)
        text.erase(0, text.size() - kTail);
    for (size_t pos = 0; pos < text.size(); pos += 16384) {
        const size_t n = std::min<size_t>(16384, text.size() - pos);
        out->blob_put_segment(out->blob_handle, reinterpret_cast<const ISC_UCHAR *>(text.data() + pos),
                              static_cast<ISC_USHORT>(n));
    }
}
