#include "support/streamcapture.h"

#include <QByteArray>

#include <stdexcept>

#include <unistd.h>

namespace TestSupport {

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    file_ = std::tmpfile();
    if (file_ == nullptr)
        throw std::runtime_error("cannot create a file for the standard error stream");
    saved_ = dup(STDERR_FILENO);
    if (saved_ < 0 || dup2(fileno(file_), STDERR_FILENO) < 0) {
        restore();
        std::fclose(file_);
        throw std::runtime_error("cannot redirect the standard error stream");
    }
}

StderrCapture::~StderrCapture()
{
    restore();
    std::fclose(file_);
}

QString StderrCapture::text()
{
    restore();
    std::rewind(file_);
    QByteArray all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
        all.append(buf, static_cast<qsizetype>(n));
    return QString::fromUtf8(all);
}

void StderrCapture::restore()
{
    if (saved_ < 0)
        return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
}

} // namespace TestSupport
