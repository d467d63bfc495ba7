#include "schema/MultiSte.h"

#include "schema/SchemaTexts.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"
#include "payload/ManifestText.h"
#include "platform/GeneralRoutines.h"
#include "platform/Messages.h"
#include "platform/ProductCatalog.h"
#include "platform/UiServices.h"

#include <QByteArray>
#include <memory>

namespace {

const QString KeyMultiste = QStringLiteral("Software\\DREMLIX S.A.\\Multiste");
const QString KeyLegacyMultiste = QStringLiteral("Software\\DREMLIX S.A.\\MultiSte");
const QString ValueLastCompany = QStringLiteral("LastCompany");
const QString ListFileName = QStringLiteral("multiste.txt");

QChar WindowsDriveLetter()
{
    const QString windows = GetWindowsFolder();
    return windows.isEmpty() ? QChar() : windows.at(0).toUpper();
}

enum class TextEncoding { Ansi, Utf8Bom, Utf16LeBom, Utf16BeBom };

TextEncoding EncodingOf(const QByteArray &bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return TextEncoding::Utf8Bom;
    if (bytes.startsWith("\xFF\xFE"))
        return TextEncoding::Utf16LeBom;
    if (bytes.startsWith("\xFE\xFF"))
        return TextEncoding::Utf16BeBom;
    return TextEncoding::Ansi;
}

// The characters of Windows-1252 at 0x80..0x9F; 0 where the code page has none.
constexpr char16_t Cp1252High[32] = {
    0x20AC,
    0,
    0x201A,
    0x0192,
    0x201E,
    0x2026,
    0x2020,
    0x2021,
    0x02C6,
    0x2030,
    0x0160,
    0x2039,
    0x0152,
    0,
    0x017D,
    0,
    0,
    0x2018,
    0x2019,
    0x201C,
    0x201D,
    0x2022,
    0x2013,
    0x2014,
    0x02DC,
    0x2122,
    0x0161,
    0x203A,
    0x0153,
    0,
    0x017E,
    0x0178,
};

// False when a character has no place in the code page: the caller then keeps the
// text in Unicode rather than losing the character.
bool EncodeCp1252(const QString &text, QByteArray &out)
{
    out.clear();
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.append(static_cast<char>(u));
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32; ++i) {
            if (Cp1252High[i] != 0 && Cp1252High[i] == u) {
                found = i;
                break;
            }
        }
        if (found < 0)
            return false;
        out.append(static_cast<char>(0x80 + found));
    }
    return true;
}

QByteArray EncodeLines(const QStringList &lines, TextEncoding encoding)
{
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    if (encoding == TextEncoding::Ansi) {
        QByteArray ansi;
        if (EncodeCp1252(text, ansi))
            return ansi;
        encoding = TextEncoding::Utf8Bom;
    }
    switch (encoding) {
    case TextEncoding::Utf16LeBom:
    case TextEncoding::Utf16BeBom: {
        const bool little = encoding == TextEncoding::Utf16LeBom;
        QByteArray out(little ? "\xFF\xFE" : "\xFE\xFF", 2);
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            const char lo = static_cast<char>(u & 0xFF);
            const char hi = static_cast<char>(u >> 8);
            out.append(little ? lo : hi);
            out.append(little ? hi : lo);
        }
        return out;
    }
    default:
        return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    }
}

std::unique_ptr<TFMultiSte> gFMultiSte;

} // namespace

TFMultiSte::TFMultiSte()
{
    FCaption = SchemaTexts::CompanyFormCaptionDesign();
    FormCreate();
}

void TFMultiSte::FormCreate()
{
    FCaption = SchemaTexts::CompanyFormCaption();
    FCancelCaption = SchemaTexts::CompanyCancelCaption();
    FLabelCaption = SchemaTexts::CompanyLabelCaption();
    Abandon = true;
}

void TFMultiSte::RemoveLegacyCompanyKey()
{
    try {
        Os::RegKey::DeleteTree(Os::RegRoot::LocalMachine, KeyLegacyMultiste);
    } catch (const Os::Exception &) {
        // A hive that cannot be rewritten leaves the old key; it is only clutter.
    }
}

QString TFMultiSte::FindCompanyListFile(QChar drive)
{
    if (!drive.isNull()) {
        const QString root = QString(drive) + QStringLiteral(":\\");
        const QStringList candidates {
            root + QStringLiteral("dremlix\\") + ListFileName,
            root + QStringLiteral("dremlix\\") + ListFileName + QStringLiteral(".txt"),
            root + QStringLiteral("wdremlix\\") + ListFileName,
            root + QStringLiteral("wdremlix\\") + ListFileName + QStringLiteral(".txt"),
        };
        for (const QString &candidate : candidates) {
            if (Os::FileExists(candidate))
                return candidate;
        }
    }
    // Without a registered product the shared folder is unknown; a bare file name would
    // pick up whatever list lies in the current folder.
    const QString common = GetProductPath(QStringLiteral("Common"), false);
    if (!common.isEmpty()) {
        QString candidate = AddTrailingBackslash(common) + ListFileName;
        if (Os::FileExists(candidate))
            return candidate;
    }
    return QString();
}

QString TFMultiSte::GetMultisteFilename()
{
    RemoveLegacyCompanyKey();
    QString path = FindCompanyListFile(QLatin1Char('C'));
    if (path.isEmpty()) {
        const QChar windows = WindowsDriveLetter();
        if (!windows.isNull())
            path = FindCompanyListFile(windows);
    }
    return path;
}

QString TFMultiSte::LastCompany()
{
    return ReadRegistryString(Os::RegRoot::CurrentUser, KeyMultiste, ValueLastCompany);
}

void TFMultiSte::SetLastCompany(const QString &company)
{
    try {
        WriteRegistryString(Os::RegRoot::CurrentUser, KeyMultiste, ValueLastCompany, company);
    } catch (const Os::Exception &) {
        // The company is chosen all the same; only the next proposal is lost.
    }
}

void TFMultiSte::SetItemIndex(int index)
{
    FItemIndex = (index >= 0 && index < FCompanies.size()) ? index : -1;
}

void TFMultiSte::ChargeFichier()
{
    FCompanies.clear();
    FItemIndex = -1;
    FFilename = GetMultisteFilename();
    QByteArray bytes;
    if (!FFilename.isEmpty() && Os::FileExists(FFilename) && Os::ReadWholeFile(FFilename, bytes))
        FCompanies = DecodeManifestLines(bytes);
    const QString last = LastCompany();
    for (int i = 0; i < FCompanies.size(); ++i) {
        if (FCompanies.at(i).compare(last, Qt::CaseInsensitive) == 0) {
            FItemIndex = i;
            return;
        }
    }
    if (!FCompanies.isEmpty())
        FItemIndex = 0;
}

bool TFMultiSte::DemandeSte()
{
    ChargeFichier();
    if (FCompanies.isEmpty())
        return true;
    if (FCompanies.size() == 1) {
        FItemIndex = 0;
        return true;
    }
    Abandon = true;
    int index = FItemIndex;
    if (UiServices().ChooseCompany(FCompanies, index) && index >= 0 && index < FCompanies.size()) {
        FItemIndex = index;
        BokClick();
    } else {
        BannulerClick();
    }
    return !Abandon;
}

QString TFMultiSte::SteChoisie() const { return FItemIndex >= 0 ? FCompanies.at(FItemIndex) : QString(); }

QString TFMultiSte::CompanyNameOrDefault() const
{
    const QString company = SteChoisie();
    return company.isEmpty() ? SchemaTexts::DefaultCompany() : company;
}

void TFMultiSte::SetSociete(const QString &societe)
{
    ChargeFichier();
    for (int i = 0; i < FCompanies.size(); ++i) {
        if (FCompanies.at(i).compare(societe, Qt::CaseInsensitive) == 0) {
            FItemIndex = i;
            return;
        }
    }
    throw Os::Exception(SchemaTexts::CompanyNotFound() + societe);
}

bool TFMultiSte::CompareSocietes(const QString &societe1, const QString &societe2)
{
    const auto normal
        = [](const QString &name) { return name.isEmpty() ? SchemaTexts::DefaultCompany() : name.trimmed(); };
    return normal(societe1).compare(normal(societe2), Qt::CaseInsensitive) == 0;
}

void TFMultiSte::AddSociete(const QString &Societe)
{
    QString path = GetMultisteFilename();
    if (path.isEmpty()) {
        QChar drive = WindowsDriveLetter();
        if (drive.isNull())
            drive = QLatin1Char('C');
        const QString folder = QString(drive) + QStringLiteral(":\\dremlix\\");
        if (!Os::ForceDirectories(folder))
            throw Os::EOSError(Os::GetLastError());
        path = folder + ListFileName;
    }
    QStringList lines;
    TextEncoding encoding = TextEncoding::Ansi;
    if (Os::FileExists(path)) {
        QByteArray bytes;
        if (!Os::ReadWholeFile(path, bytes))
            throw Os::EOSError(Os::GetLastError());
        encoding = EncodingOf(bytes);
        lines = DecodeManifestLines(bytes);
    }
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).trimmed().isEmpty())
            lines.removeAt(i);
    }
    for (const QString &line : lines) {
        if (line.compare(Societe, Qt::CaseInsensitive) == 0)
            return;
    }
    lines.append(Societe);
    if (!Os::WriteWholeFile(path, EncodeLines(lines, encoding)))
        throw Os::EOSError(Os::GetLastError());
}

void TFMultiSte::BokClick()
{
    Abandon = false;
    SetLastCompany(SteChoisie());
}

void TFMultiSte::BannulerClick() { Abandon = true; }

void TFMultiSte::Button1Click()
{
    ShowInfo(SchemaTexts::CompanyListInfo() + QStringLiteral("\r\n") + FFilename);
}

void TFMultiSte::ComboBoxCompaniesKeyDown(int key)
{
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        BokClick();
    else if (key == Qt::Key_Escape)
        BannulerClick();
}

TFMultiSte &EnsureFMultiSte()
{
    if (!gFMultiSte)
        gFMultiSte = std::make_unique<TFMultiSte>();
    return *gFMultiSte;
}

TFMultiSte *FMultiSte() { return gFMultiSte.get(); }

void ReleaseFMultiSte() { gFMultiSte.reset(); }
