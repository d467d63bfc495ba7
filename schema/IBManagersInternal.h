// What the units of the schema components share and callers need not see: the
// catalogue's spelling of names, the nesting of the manager's transaction, and the
// lookups that must find exactly one row.
#pragma once

#include "schema/IBManagers.h"

#include "oslayer/Exceptions.h"

#include <exception>
#include <type_traits>

namespace SchemaInternal {

// ASCII letters only, as the catalogue stores names in capitals.
QString UpperAscii(const QString &text);

// A database error keeps its codes; anything else goes on as a plain error with its text.
[[noreturn]] void RaiseAgain(const std::exception_ptr &error);

// Opens the query and reads every row through read, keeping what it gave for the last
// row; raises error unless there was exactly one row.
template <typename Read> auto ReadOnlyRow(Db::TQuery &query, const QString &error, Read &&read)
{
    query.Open();
    decltype(read(query)) value {};
    int rows = 0;
    while (!query.Eof()) {
        value = read(query);
        ++rows;
        query.Next();
    }
    query.Close();
    if (rows != 1)
        throw Os::Exception(error);
    return value;
}

// Opens the query and gives the first column of every row as text, in the order read.
QStringList FirstColumn(Db::TQuery &query);

// The first column as text without the blanks the catalogue pads its names with.
inline QString TrimmedText(const Db::TQuery &query) { return query.AsString(0).trimmed(); }

} // namespace SchemaInternal

template <typename Work> auto TDatabaseManager::Nested(Work &&work) -> decltype(work())
{
    EnterTransaction();
    if constexpr (std::is_void_v<decltype(work())>) {
        try {
            work();
        } catch (...) {
            AbortTransaction(std::current_exception());
        }
        LeaveTransaction();
    } else {
        decltype(work()) result {};
        try {
            result = work();
        } catch (...) {
            AbortTransaction(std::current_exception());
        }
        LeaveTransaction();
        return result;
    }
}
