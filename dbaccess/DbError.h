// The error every failed call of the Firebird client raises.
#pragma once

#include "oslayer/Exceptions.h"

#include <cstdint>

namespace Db {

// A failed Firebird call: the SQLCODE the client derives from the status vector,
// the first error code of the vector (335544472 for a wrong login, for instance)
// and the interpreted texts of the vector joined by CR LF.
// Errors the layer raises before contacting the server (a bad parameter name, a
// statement without a transaction) carry SqlCode 0 and FirebirdCode 0.
class EDatabaseError : public Os::Exception {
public:
    explicit EDatabaseError(QString message, int32_t sqlCode = 0, int32_t firebirdCode = 0)
        : Os::Exception(std::move(message)), FSqlCode(sqlCode), FFirebirdCode(firebirdCode)
    {
    }
    int32_t SqlCode() const noexcept { return FSqlCode; }
    int32_t FirebirdCode() const noexcept { return FFirebirdCode; }

private:
    int32_t FSqlCode = 0;
    int32_t FFirebirdCode = 0;
};

// A write refused because another transaction holds or has changed the row (a lock
// conflict of a transaction that does not wait, an update conflict, a deadlock): the
// same write may succeed once that transaction has ended.
bool IsWriteConflict(const EDatabaseError &error);
// A primary or unique key that another row holds already.
bool IsKeyViolation(const EDatabaseError &error);

} // namespace Db
