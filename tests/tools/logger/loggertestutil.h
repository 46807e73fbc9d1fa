#pragma once
// Helpers of the logging tests: the events of a log file, a line-collecting TCP
// server on 127.0.0.1, and a capture of Qt warnings.
#include "support/qtprinters.h"
#include "tools/logger/loggerprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <ostream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>


namespace LoggerTest {

// Every event of a log file, one a line; none when the file cannot be read.
inline QList<LoggerEvent> readEvents(const QString& path)
{
    QFile f(path);
    QList<LoggerEvent> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.isEmpty())
            out << LoggerEvent(line);
    }
    return out;
}

// A blocking TCP connection to 127.0.0.1:port whose sends give up after 20 s;
// -1 if none.
inline int rawConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval patience{20, 0};
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Sends all of bytes on a blocking socket; false when the connection fails.
inline bool sendAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Raises this process's limit of descriptors (children inherit it) to at least
// count; false when it cannot be.
inline bool haveDescriptors(rlim_t count)
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur >= count)
        return true;
    lim.rlim_cur = std::min(lim.rlim_max, count);
    return ::setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur >= count;
}

// Every line of every file of a folder, in file-name order, without line feeds;
// a last line without its line feed is kept as it is, so that it shows.
inline QList<QByteArray> folderLines(const QString& dir)
{
    QList<QByteArray> out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files, QDir::Name)) {
        QFile f(info.absoluteFilePath());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QList<QByteArray> lines = f.readAll().split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        out << lines;
    }
    return out;
}

// The log-file line a server writes for a wire line (without its line feed) that
// a client introduced as who sent.
inline QByteArray fileLineOf(const LoggerClientInfo& who, const QByteArray& wireLine)
{
    return LoggerEvent(who, LoggerEventMsg(wireLine)).toEncoded();
}

// Whether the file lines of the given component are, for each client, exactly
// the lines it sent, in order and byte for byte; sent holds each client's
// expected file lines under its name.
inline ::testing::AssertionResult sameLinesPerClient(const QHash<QString, QList<QByteArray>>& sent,
                                                     const QList<QByteArray>& fileLines, const QString& component)
{
    QHash<QString, QList<QByteArray>> found;
    for (const QByteArray& line : fileLines) {
        const LoggerEvent e(line);
        if (e.component == component)
            found[e.clientName] << line;
    }
    qsizetype missing = 0;
    QString first;
    for (auto it = sent.begin(); it != sent.end(); ++it) {
        const QList<QByteArray> got = found.take(it.key());
        if (got != it.value()) {
            missing += std::max<qsizetype>(0, it.value().size() - got.size());
            if (first.isEmpty())
                first = QStringLiteral("%1: %2 of %3 lines").arg(it.key()).arg(got.size()).arg(it.value().size());
        }
    }
    if (first.isEmpty() && found.isEmpty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << missing << " lines missing; first client that differs: "
                                         << first.toStdString() << "; lines of unknown clients: " << found.size();
}

// Accepts connections on 127.0.0.1 (port 0 unless told) and keeps the lines each one sends.
class LineServer : public QObject
{
public:
    explicit LineServer(quint16 port = 0)
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                const int index = static_cast<int>(sockets_.size());
                sockets_ << s;
                lines_ << QList<QByteArray>();
                partial_ << QByteArray();
                connect(s, &QTcpSocket::readyRead, this, [this, s, index] { read(s, index); });
                if (closeOnAccept_)
                    s->close();
            }
        });
        listen(port);
    }

    bool listen(quint16 port = 0) { return server_.listen(QHostAddress::LocalHost, port); }
    void close() { server_.close(); }
    quint16 port() const { return server_.serverPort(); }

    int connectionCount() const { return static_cast<int>(sockets_.size()); }
    const QList<QByteArray>& lines(int connection) const { return lines_[connection]; }
    QTcpSocket* socket(int connection) const { return sockets_[connection]; }
    int totalLines() const
    {
        int n = 0;
        for (const auto& l : lines_)
            n += static_cast<int>(l.size());
        return n;
    }
    void setCloseOnAccept(bool on) { closeOnAccept_ = on; }

private:
    void read(QTcpSocket* s, int index)
    {
        partial_[index] += s->readAll();
        qsizetype lf;
        while ((lf = partial_[index].indexOf('\n')) >= 0) {
            lines_[index] << partial_[index].left(lf);
            partial_[index].remove(0, lf + 1);
        }
    }

    QTcpServer server_;
    QList<QTcpSocket*> sockets_;
    QList<QList<QByteArray>> lines_;
    QList<QByteArray> partial_;
    bool closeOnAccept_ = false;
};

// Collects the texts of qWarning() and friends while it lives.
class QtMessageCapture
{
public:
    QtMessageCapture() : old_(qInstallMessageHandler(&QtMessageCapture::handler)) { current() = this; }
    ~QtMessageCapture()
    {
        qInstallMessageHandler(old_);
        current() = nullptr;
    }
    QtMessageCapture(const QtMessageCapture&) = delete;
    QtMessageCapture& operator=(const QtMessageCapture&) = delete;

    QStringList warnings;

private:
    static QtMessageCapture*& current()
    {
        static QtMessageCapture* c = nullptr;
        return c;
    }
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (current() != nullptr && type == QtWarningMsg)
            current()->warnings << text;
    }

    QtMessageHandler old_;
};

} // namespace LoggerTest
