#include "tools/logger/mainfile.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>
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

void MainFile::writeFailed(const QByteArray& lines, const QDate& date, const QString& why)
{
    emit error(QStringLiteral("cannot write main file ") + path_ + QStringLiteral(": ") + why);
    // A daily file is opened again for the next line; a fixed main file gives way
    // to the daily files at once, and the daily file takes these lines too.
    const bool wasFixed = fixed_;
    fixed_ = false;
    date_ = QDate();
    if (wasFixed) {
        openDaily(date);
        if (device_->isOpen() && device_->write(lines) != lines.size())
            device_->close();
    }
}
