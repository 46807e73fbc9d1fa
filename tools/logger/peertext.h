#pragma once
// How the logging server writes a peer's text: every control character but tab
// (C0, DEL and C1 of the Latin-1 log line) as \xHH, so that a client's text can
// neither drive the terminal that shows the console copy nor hide in a file read
// with cat (every output gets the same bytes); and a client's name, written into
// every line, cut to a bound.
#include <QByteArray>
#include <QString>

namespace PeerText {

// Whether a byte is one that a terminal or a pager would act on.
inline bool isControlByte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || (c >= 0x7f && c <= 0x9f);
}

// Appends line to out with its control characters escaped.
void appendEscaped(QByteArray& out, const QByteArray& line);

// The text cut to at most maxBytes bytes of UTF-8, on a character boundary.
QString cutToUtf8Bytes(const QString& text, qsizetype maxBytes);

} // namespace PeerText
