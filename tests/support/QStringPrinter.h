// Failure messages of the tests show QString values as text instead of bytes.
#pragma once

#include <QString>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }
