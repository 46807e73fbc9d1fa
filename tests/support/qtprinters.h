#pragma once
// Readable Qt strings in GoogleTest failure messages.
#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
