// Windows code pages to Unicode.
#include "payload/CodePages.h"

#include <QHash>
#include <QStringDecoder>

namespace CodePages {

namespace {

// 0x80..0x9F of Windows-1252; the rest of the page is Latin-1.
constexpr char16_t High1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

QString FromWindows1252(const char *data, qsizetype size)
{
    QString out(size, Qt::Uninitialized);
    QChar *dst = out.data();
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        dst[i] = (b >= 0x80 && b < 0xA0) ? QChar(High1252[b - 0x80]) : QChar(char16_t(b));
    }
    return out;
}

QString Decode(int codePage, const QByteArray &bytes)
{
    if (codePage == 1252 || codePage <= 0)
        return FromWindows1252(bytes);
    if (codePage == 65001)
        return QString::fromUtf8(bytes);
    if (codePage == 28591)
        return QString::fromLatin1(bytes);
    // Names as the converters of this Qt build know them; probed once per code page.
    static QHash<int, bool> usable;
    QByteArray name;
    switch (codePage) {
    case 932: name = "Shift_JIS"; break;
    case 936: name = "GBK"; break;
    case 949: name = "windows-949"; break;
    case 950: name = "Big5"; break;
    case 10000: name = "macintosh"; break;
    case 437: name = "IBM437"; break;
    case 850: name = "IBM850"; break;
    default: name = "windows-" + QByteArray::number(codePage); break;
    }
    const auto known = usable.constFind(codePage);
    if (known == usable.cend() || *known) {
        QStringDecoder decoder(name.constData());
        const bool valid = decoder.isValid();
        usable.insert(codePage, valid);
        if (valid)
            return decoder.decode(bytes);
    }
    return FromWindows1252(bytes);
}

int CodePageOfCharset(int charset)
{
    switch (charset) {
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    default: return 0;
    }
}

QChar FromSymbolFont(unsigned char b)
{
    static const char16_t upper[26] = {0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399,
                                       0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F, 0x03A0, 0x0398, 0x03A1,
                                       0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396};
    static const char16_t lower[26] = {0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9,
                                       0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1,
                                       0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6};
    if (b >= 'A' && b <= 'Z')
        return QChar(upper[b - 'A']);
    if (b >= 'a' && b <= 'z')
        return QChar(lower[b - 'a']);
    switch (b) {
    case 0x22: return QChar(0x2200);
    case 0x24: return QChar(0x2203);
    case 0x27: return QChar(0x220B);
    case 0x2A: return QChar(0x2217);
    case 0x2D: return QChar(0x2212);
    case 0x40: return QChar(0x2245);
    case 0xA3: return QChar(0x2264);
    case 0xA5: return QChar(0x221E);
    case 0xA7: return QChar(0x2663);
    case 0xA8: return QChar(0x2666);
    case 0xA9: return QChar(0x2665);
    case 0xAA: return QChar(0x2660);
    case 0xAB: return QChar(0x2194);
    case 0xAC: return QChar(0x2190);
    case 0xAD: return QChar(0x2191);
    case 0xAE: return QChar(0x2192);
    case 0xAF: return QChar(0x2193);
    case 0xB0: return QChar(0x00B0);
    case 0xB1: return QChar(0x00B1);
    case 0xB3: return QChar(0x2265);
    case 0xB4: return QChar(0x00D7);
    case 0xB7: return QChar(0x2022);
    case 0xB8: return QChar(0x00F7);
    case 0xB9: return QChar(0x2260);
    case 0xBA: return QChar(0x2261);
    case 0xBB: return QChar(0x2248);
    case 0xBC: return QChar(0x2026);
    case 0xD6: return QChar(0x221A);
    case 0xD7: return QChar(0x22C5);
    case 0xE0: return QChar(0x25CA);
    case 0xE5: return QChar(0x2211);
    case 0xF2: return QChar(0x222B);
    default:
        if (b >= 0x20 && b < 0x7F)
            return QChar(char16_t(b));
        return QChar();
    }
}

QChar FromWingdingsFont(unsigned char b)
{
    switch (b) {
    case 0x6C: return QChar(0x25CF);
    case 0x6E: return QChar(0x25A0);
    case 0x6F: return QChar(0x25A1);
    case 0x71: return QChar(0x2751);
    case 0x75: return QChar(0x25C6);
    case 0x76: return QChar(0x2756);
    case 0x9F: return QChar(0x2022);
    case 0xA7: return QChar(0x25AA);
    case 0xA8: return QChar(0x25FB);
    case 0xD8: return QChar(0x27A2);
    case 0xE0: return QChar(0x2192);
    case 0xE8: return QChar(0x2794);
    case 0xF0: return QChar(0x21E8);
    case 0xFB: return QChar(0x2717);
    case 0xFC: return QChar(0x2713);
    case 0xFE: return QChar(0x2611);
    default: return QChar(0x2022);
    }
}

} // namespace CodePages
