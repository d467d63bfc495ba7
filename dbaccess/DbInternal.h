// Helpers shared by the units of the access layer; not for the layers above.
#pragma once

#include "dbaccess/DbError.h"
#include "dbaccess/FbClient.h"

#include <QByteArray>
#include <QString>

namespace Db {

class TDatabase;

namespace Internal {

struct TStatus {
    ISC_STATUS_ARRAY Vector = {};
    ISC_STATUS *operator&() { return Vector; }
    bool Failed() const { return Vector[0] == 1 && Vector[1] != 0; }
};

// The database error of a failed call; tells the database when the vector says
// that the attachment is gone.
EDatabaseError MakeError(const TStatus &status, TDatabase *database = nullptr);
// Raises MakeError when the call failed.
void Check(const TStatus &status, TDatabase *database = nullptr);
bool IsConnectionLost(int32_t firebirdCode);

// Windows-1252 text, the program's 8-bit code page. Encoding raises
// Os::EConvertError for a character the code page lacks.
QByteArray ToCp1252(const QString &text);
QString FromCp1252(const char *data, int length);

// Little-endian integers of parameter blocks and information replies.
inline uint32_t ReadLE(const char *p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}
inline void AppendLE(QByteArray &b, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

} // namespace Internal
} // namespace Db
