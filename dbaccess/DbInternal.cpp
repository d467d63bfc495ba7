// Status vectors to errors, and the 8-bit code page of the program.
#include "dbaccess/DbInternal.h"

#include "dbaccess/Database.h"

#include <QStringList>
#include <array>

namespace Db::Internal {

bool IsConnectionLost(int32_t code)
{
    switch (code) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_att_shutdown:
    case isc_shutdown:
        return true;
    default:
        return false;
    }
}

EDatabaseError MakeError(const TStatus &status, TDatabase *database)
{
    const TFbClientApi &api = Client();
    const int32_t sqlCode = api.sqlcode(status.Vector);
    const int32_t code = status.Vector[0] == 1 ? static_cast<int32_t>(status.Vector[1]) : 0;
    QStringList lines;
    const ISC_STATUS *cursor = status.Vector;
    char buffer[1024];
    while (api.interpret(buffer, sizeof buffer, &cursor) > 0) {
        lines << (database ? database->DecodeText(buffer, static_cast<int>(qstrlen(buffer)))
                           : QString::fromUtf8(buffer));
    }
    if (database && IsConnectionLost(code))
        database->ConnectionLost();
    return EDatabaseError(lines.join(QStringLiteral("\r\n")), sqlCode, code);
}

void Check(const TStatus &status, TDatabase *database)
{
    if (status.Failed())
        throw MakeError(status, database);
}

namespace {

// Code points of 0x80..0x9F in Windows-1252; 0 where the code page has no character.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

QByteArray ToCp1252(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.append(static_cast<char>(u));
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32; ++i) {
            if (kHigh[i] == u && u != 0) {
                found = i;
                break;
            }
        }
        // The undefined bytes 0x81, 0x8D, 0x8F, 0x90, 0x9D travel as themselves,
        // as Windows converts them, so that what was read is written back unchanged.
        if (found < 0 && u >= 0x80 && u <= 0x9F && kHigh[u - 0x80] == 0)
            found = u - 0x80;
        if (found < 0)
            throw Os::EConvertError(
                QStringLiteral("The character U+%1 cannot be stored in the database's character set")
                    .arg(QString::number(static_cast<unsigned>(u), 16).toUpper().rightJustified(4, u'0')));
        out.append(static_cast<char>(0x80 + found));
    }
    return out;
}

QString FromCp1252(const char *data, int length)
{
    QString out;
    out.reserve(length);
    for (int i = 0; i < length; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (b >= 0x80 && b <= 0x9F && kHigh[b - 0x80] != 0)
            out.append(QChar(kHigh[b - 0x80]));
        else
            out.append(QChar(static_cast<char16_t>(b)));
    }
    return out;
}

} // namespace Db::Internal

namespace Db {

bool IsWriteConflict(const EDatabaseError &error)
{
    switch (error.FirebirdCode()) {
    case isc_lock_conflict:
    case isc_deadlock:
    case isc_update_conflict:
        return true;
    default:
        return false;
    }
}

bool IsKeyViolation(const EDatabaseError &error)
{
    return error.FirebirdCode() == isc_unique_key_violation || error.FirebirdCode() == isc_no_dup;
}

} // namespace Db
