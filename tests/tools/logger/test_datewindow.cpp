#include "tools/logger/datewindow.h"

#include <gtest/gtest.h>

namespace {

const QDate TODAY(2024, 3, 5);

} // namespace

// A client picks the dates of its lines: only those around the server's own date
// open a daily file, and every other line goes to a file that is open already.
TEST(DateWindow, PlacesEachLineByTheServersDate)
{
    struct Case
    {
        const char* name;
        int days;
        QDate today;
        QDate date;
        QDate openFile;
        QDate file;
        bool outside;
    };
    const Case cases[] = {
        {"today, none open", 1, TODAY, TODAY, QDate(), TODAY, false},
        {"yesterday", 1, TODAY, QDate(2024, 3, 4), TODAY, QDate(2024, 3, 4), false},
        {"tomorrow", 1, TODAY, QDate(2024, 3, 6), TODAY, QDate(2024, 3, 6), false},
        {"two days ago: the file in use", 1, TODAY, QDate(2024, 3, 3), QDate(2024, 3, 6), QDate(2024, 3, 6), true},
        {"in two days, none open: today's", 1, TODAY, QDate(2024, 3, 7), QDate(), TODAY, true},
        {"no date: the file in use", 1, TODAY, QDate(), QDate(2024, 3, 4), QDate(2024, 3, 4), true},
        {"no date, none open: today's", 1, TODAY, QDate(), QDate(), TODAY, true},
        {"long ago", 1, TODAY, QDate(2000, 1, 1), TODAY, TODAY, true},
        {"no window: tomorrow is outside", 0, TODAY, QDate(2024, 3, 6), TODAY, TODAY, true},
        {"three days each side", 3, TODAY, QDate(2024, 3, 8), TODAY, QDate(2024, 3, 8), false},
        {"across the year's end", 1, QDate(2024, 12, 31), QDate(2025, 1, 1), QDate(2024, 12, 31), QDate(2025, 1, 1),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DateWindow window;
        window.setDays(c.days);
        const DateWindow::Placement placement = window.place(c.today, c.date, c.openFile);
        EXPECT_EQ(placement.file, c.file);
        EXPECT_EQ(placement.outside, c.outside);
        EXPECT_EQ(window.contains(c.today, c.date), !c.outside);
    }
    DateWindow window;
    EXPECT_EQ(window.days(), DateWindow::DEFAULT_DAYS);
    window.setDays(-2);
    EXPECT_EQ(window.days(), 0);
}

TEST(DateWindow, WarningAndCountTexts)
{
    DateWindow window;
    EXPECT_EQ(window.outsideText(TODAY, QDate(2000, 1, 1)),
              "lines dated 2000-01-01, outside 2024-03-04 to 2024-03-06, go to the current main file");
    EXPECT_EQ(window.outsideText(TODAY, QDate()),
              "lines dated invalid, outside 2024-03-04 to 2024-03-06, go to the current main file");
    window.setDays(0);
    EXPECT_EQ(window.outsideText(TODAY, QDate(2024, 3, 6)),
              "lines dated 2024-03-06, outside 2024-03-05 to 2024-03-05, go to the current main file");
    EXPECT_EQ(DateWindow::outsideNotSaidText(3, "127.0.0.1"),
              "3 more connections from 127.0.0.1 sent lines dated outside the window; they went to the current main file");
}
