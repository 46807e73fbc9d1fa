#pragma once
// Tells an HTTP request from a logging client by the first line of a connection:
// a web page may post text to the port without asking, and its body would be
// read as log lines. The line reassembler asks while the first line comes in;
// the server closes such a connection and says so (WarningLimiter).
#include <QByteArrayView>
#include <QString>

namespace HttpRequest {

// The kind of its warning (WarningLimiter).
inline const QString KIND = QStringLiteral("http request");

enum class FirstLine
{
    LogLine,   // no request: read as lines
    Request,   // a request line or a Host header: nothing more is read
    Undecided, // shorter than a request's start that it still may become
};

// head: the first line's bytes so far; complete: whether its line feed came.
FirstLine judge(QByteArrayView head, bool complete);

QString closingText();
QString closedNotSaidText(qint64 count, const QString& peer);

} // namespace HttpRequest
