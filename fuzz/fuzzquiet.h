#pragma once
// Fuzz targets hand the library bad input on almost every run, and the library
// says so: log messages, Qt warnings, lines on the standard streams. Written
// out they cost most of a run (millions of lines a minute) and bury the real
// findings, so every target calls FuzzQuiet::silence() first. The messages
// are still built, since building them is code under test too, and then
// dropped. The C stream stderr stays as it is: the fuzzer and the sanitizers
// report there. A packet cache writes its parse notes to its own message
// stream: targets point it at FuzzQuiet::nullFile().
#include "tools/logger/log.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

namespace FuzzQuiet {

// Takes every character and keeps none.
class NullBuffer : public std::streambuf
{
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// /dev/null opened for writing, once per process.
inline FILE* nullFile()
{
    static FILE* const f = std::fopen("/dev/null", "w");
    if (!f)
        std::abort();
    return f;
}

inline void dropQtMessage(QtMsgType, const QMessageLogContext&, const QString&)
{
}

// Routes the library's log messages to a sink that drops them, Qt's messages
// to a handler that drops them, std::cout, std::cerr and std::clog to a
// buffer that keeps nothing, and the C stream stdout to /dev/null. Once per
// process; later calls do nothing.
inline void silence()
{
    static const bool done = [] {
        Log::setTestSink([](const LoggerEventMsg&) {});
        qInstallMessageHandler(dropQtMessage);
        // Never destroyed: code run by static destructors at exit may still write.
        auto* nothing = new NullBuffer;
        std::cout.rdbuf(nothing);
        std::cerr.rdbuf(nothing);
        std::clog.rdbuf(nothing);
        std::fflush(stdout);
        if (!std::freopen("/dev/null", "w", stdout))
            std::abort();
        return true;
    }();
    (void)done;
}

} // namespace FuzzQuiet
