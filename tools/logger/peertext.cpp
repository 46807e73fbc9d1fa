#include "tools/logger/peertext.h"

#include <algorithm>

void PeerText::appendEscaped(QByteArray& out, const QByteArray& line)
{
    const char* begin = line.constData();
    const char* end = begin + line.size();
    const char* p = std::find_if(begin, end, [](char c) { return isControlByte(static_cast<unsigned char>(c)); });
    // Most lines have none: one append (bench_logserver).
    if (p == end) {
        out += line;
        return;
    }
    static constexpr char HEX[] = "0123456789abcdef";
    out.append(begin, p - begin);
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (isControlByte(c)) {
            const char escaped[4] = {'\\', 'x', HEX[c >> 4], HEX[c & 0xf]};
            out.append(escaped, 4);
        } else {
            out += static_cast<char>(c);
        }
    }
}

QString PeerText::cutToUtf8Bytes(const QString& text, qsizetype maxBytes)
{
    QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= maxBytes)
        return text;
    qsizetype end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return QString::fromUtf8(utf8);
}
