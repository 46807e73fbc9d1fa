// Every test program runs inside a QCoreApplication so that event loops,
// timers, sockets and processes work as they do in the library's hosts.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
