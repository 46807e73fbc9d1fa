#pragma once
// Captures of what the code under test writes to the standard streams.
#include <QString>
#include <QStringList>

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>

namespace TestSupport {

// Redirects a C++ stream (std::cerr, std::cout) into a string while it lives.
class StreamCapture
{
public:
    explicit StreamCapture(std::ostream& stream) : stream_(stream), old_(stream.rdbuf(buffer_.rdbuf())) {}
    ~StreamCapture() { stream_.rdbuf(old_); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string text() const { return buffer_.str(); }
    QStringList lines() const
    {
        return QString::fromLatin1(text()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    std::ostream& stream_;
    std::ostringstream buffer_;
    std::streambuf* old_;
};

// Collects what is written to the standard error file descriptor (printf-style
// output and std::cerr alike) while it lives.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Ends the capture and returns what was written.
    QString text();

private:
    void restore();

    int saved_ = -1;
    FILE* file_ = nullptr;
};

} // namespace TestSupport
