#include "tools/logger/mainfile.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

MainFile::MainFile(QFile* device, QString logDir, QObject* parent)
    : QObject(parent), device_(device), rules_(std::move(logDir))
{
    // The owner's only: every client's logs are in it. An existing folder is left as it is.
    QDir().mkpath(QDir::homePath());
    ::mkdir(QFile::encodeName(rules_.logDir()).constData(), 0700);
}

bool MainFile::attach(int fd, const QString& path)
{
    device_->close();
    path_ = path;
    return device_->open(fd, MainFileRules::OPEN_MODE, QFileDevice::AutoCloseHandle);
}

void MainFile::openDaily(const QDate& date)
{
    date_ = date;
    device_->close();
    const MainFileRules::Opened opened = rules_.openDaily(date);
    if (opened.fd < 0 || !attach(opened.fd, opened.path)) {
        path_ = opened.path;
        emit error(QStringLiteral("cannot open main file ") + opened.path + QStringLiteral(": ") + opened.why);
    }
    emit changed(opened.path);
}

QString MainFile::change(const QString& filePath)
{
    const MainFileRules::Opened opened = rules_.openNamed(filePath);
    if (opened.fd < 0)
        return opened.why;
    emit note(QStringLiteral("changing main file from ") + path_ + QStringLiteral(" to ") + opened.path);
    if (!attach(opened.fd, opened.path)) {
        date_ = QDate();
        emit error(QStringLiteral("cannot open main file ") + opened.path + QStringLiteral(": ") + device_->errorString());
        return QString();
    }
    fixed_ = true;
    emit note(QStringLiteral("writing to file ") + opened.path);
    emit changed(opened.path);
    return QString();
}

QString MainFile::lostText(qint64 lines, const QDateTime& since)
{
    return QStringLiteral("%1 lines could not be written to the main file since %2")
        .arg(lines)
        .arg(since.toString(Qt::ISODateWithMs));
}

qint64 MainFile::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MainFile::lose(qint64 lines)
{
    if (lines <= 0)
        return;
    if (lostLines_ == 0)
        lostSince_ = QDateTime::currentDateTime();
    lostLines_ += lines;
}

MainFile::Wrote MainFile::writeAll(const QByteArray& data)
{
    Wrote out;
    const int fd = device_->handle();
    while (out.bytes < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + out.bytes, static_cast<size_t>(data.size() - out.bytes));
        if (n > 0) {
            out.bytes += n;
        } else if (n == 0 || errno != EINTR) {
            out.error = n == 0 ? EIO : errno;
            break;
        }
    }
    return out;
}

bool MainFile::cutBack(qsizetype bytes)
{
    struct stat st = {};
    const int fd = device_->handle();
    return bytes <= 0 || (::fstat(fd, &st) == 0 && st.st_size >= bytes && ::ftruncate(fd, st.st_size - bytes) == 0);
}

bool MainFile::append(const QByteArray& lines, const QDate& date)
{
    if (!device_->isOpen() || device_->handle() < 0) {
        // A file was meant and could not be opened.
        if (!path_.isEmpty())
            lose(lines.count('\n'));
        return false;
    }
    const qint64 now = nowMs();
    if (failing_ && now < retryAt_) {
        lose(lines.count('\n'));
        return false;
    }
    // The common case writes the lines as they are.
    QByteArray owed;
    if (endCutLine_)
        owed += '\n';
    const bool sayLost = lostLines_ > 0 && lineMaker_;
    if (sayLost)
        owed += lineMaker_(lostText(lostLines_, lostSince_));
    const qsizetype linesStart = owed.size();
    const QByteArray& data = owed.isEmpty() ? lines : owed.append(lines);
    const Wrote wrote = writeAll(data);
    if (wrote.error == 0) {
        failing_ = false;
        endCutLine_ = false;
        lostLines_ = 0;
        return true;
    }
    // Only whole lines stay: a cut line is taken back, or ended before the next write.
    const qsizetype whole = wrote.bytes > 0 ? data.lastIndexOf('\n', wrote.bytes - 1) + 1 : 0;
    if (wrote.bytes > 0)
        endCutLine_ = false;
    if (!cutBack(wrote.bytes - whole))
        endCutLine_ = true;
    if (sayLost && whole >= linesStart)
        lostLines_ = 0; // said; what is lost from here is counted anew
    const QByteArray rest = lines.mid(std::max<qsizetype>(0, whole - linesStart));
    emit error(QStringLiteral("cannot write main file ") + path_ + QStringLiteral(": ")
               + QString::fromLocal8Bit(std::strerror(wrote.error)));
    // A fixed main file gives way to the daily files at once, and the daily file
    // takes the lines it could not.
    if (fixed_) {
        fixed_ = false;
        openDaily(date);
        return append(rest, date);
    }
    lose(rest.count('\n'));
    failing_ = true;
    retryAt_ = now + RETRY_MS;
    return false;
}
