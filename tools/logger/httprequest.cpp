#include "tools/logger/httprequest.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* HTTP_PREFIXES[] = {"GET ",     "POST ",  "PUT ",     "DELETE ", "HEAD ",
                                         "OPTIONS ", "PATCH ", "CONNECT ", "TRACE ",  "Host:"};

// Whether a line's head begins with prefix: 1 yes, 0 no, -1 not yet known (the head
// is shorter than the prefix and may still become it).
int startsWithPrefix(QByteArrayView head, QByteArrayView prefix, bool caseInsensitive)
{
    const qsizetype n = std::min(head.size(), prefix.size());
    for (qsizetype i = 0; i < n; ++i) {
        char a = head[i];
        char b = prefix[i];
        if (caseInsensitive) {
            a = static_cast<char>(std::tolower(static_cast<unsigned char>(a)));
            b = static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
        }
        if (a != b)
            return 0;
    }
    return n == prefix.size() ? 1 : -1;
}

} // namespace

HttpRequest::FirstLine HttpRequest::judge(QByteArrayView head, bool complete)
{
    bool undecided = false;
    for (const char* prefix : HTTP_PREFIXES) {
        const QByteArrayView p(prefix);
        // Header names are case-insensitive; methods are not.
        const int match = startsWithPrefix(head, p, p == "Host:");
        if (match == 1)
            return FirstLine::Request;
        undecided = undecided || (match < 0 && !complete);
    }
    return undecided ? FirstLine::Undecided : FirstLine::LogLine;
}

QString HttpRequest::closingText()
{
    return QStringLiteral("closing the connection: its first line is an HTTP request");
}

QString HttpRequest::closedNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("closed %1 more connections from %2 whose first line is an HTTP request").arg(count).arg(peer);
}
