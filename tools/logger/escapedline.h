#pragma once
// How the logging server writes a peer's text: every control character but tab
// (C0, DEL and C1 of the Latin-1 log line) as \xHH, so that a client's text can
// neither drive the terminal that shows the console copy nor hide in a file read
// with cat. Every output gets the same bytes.
#include <QByteArray>

namespace EscapedLine {

// Whether a byte is one that a terminal or a pager would act on.
inline bool isControlByte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || (c >= 0x7f && c <= 0x9f);
}

// Appends line to out with its control characters escaped.
void append(QByteArray& out, const QByteArray& line);

} // namespace EscapedLine
