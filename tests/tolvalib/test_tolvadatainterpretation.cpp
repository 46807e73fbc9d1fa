// The second instrument's hub: made by its factory, and its reading of the
// DAC table file with the two progress lines.
#include "tolvalib/tolvadatainterpretation.h"

#include "gselib/database/dactable.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

using TolvaGse::TolvaDataInterpretation;

namespace {

// Both lines at INFO, without a component.
QStringList progressLines(const TestSupport::LogCapture& log)
{
    QStringList out;
    for (const LoggerEventMsg& m : log.messages()) {
        if (m.level == INFO && m.component.isEmpty())
            out << m.text;
    }
    return out;
}

} // namespace

TEST(TolvaDataInterpretation, FactoryMakesTheInstrumentHub)
{
    TolvaGse::TolvaDataInterpretationFactory factory;
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    EXPECT_NE(dynamic_cast<TolvaDataInterpretation*>(GseLib::DataInterpretation::current()), nullptr);
    std::unique_ptr<GseLib::DataInterpretation> other = factory.make();
    EXPECT_NE(other.get(), GseLib::DataInterpretation::current());
}

TEST(TolvaDataInterpretation, DacTableFromItsFile)
{
    TestSupport::TempDir dir;
    const struct
    {
        const char* name;
        QByteArray text;
        QStringList names; // by id 0, 1, ...
    } cases[] = {
        {"comment and two rows", "# id\tn\tname\n0\t0\tHV\t16\t0xFFFF\t0\t0\t1\n1\t1\tRF\t12\t4095\t1\t2\t3\n",
         {"HV", "RF"}},
        // A blank or short line would give a row of zeros named "" that took over id 0.
        {"blank and short lines", "0\t0\tHV\t16\t0xFFFF\t0\t0\t1\n\n1\t1\tRF\n\r\n", {"HV"}},
        {"inner hash is a row", "0\t0\tA#B\t16\t0\t0\t0\t1\n", {"A#B"}},
    };
    for (const auto& c : cases) {
        const QString path = dir.write(QString::fromLatin1(c.name) + ".dac", c.text);
        TolvaDataInterpretation hub;
        GseLib::DacTable table;
        TestSupport::LogCapture log;
        hub.populateDacTable(table, path);
        EXPECT_EQ(table.getNames(), c.names) << c.name;
        EXPECT_EQ(table.filePath, path) << c.name;
        EXPECT_EQ(progressLines(log),
                  (QStringList{"Populating DAC table from " + path,
                               QStringLiteral("Finished loading DAC table with %1 entries").arg(c.names.size())}))
            << c.name;
    }

    GseLib::DacTable table;
    table.filePath = "before";
    TestSupport::LogCapture log;
    TolvaDataInterpretation().populateDacTable(table, dir.filePath("missing.dac"));
    EXPECT_EQ(table.rowCount(), 0);
    EXPECT_EQ(table.filePath, "before"); // recorded only for a file that opens
    EXPECT_EQ(progressLines(log).size(), 2);
    EXPECT_EQ(progressLines(log).last(), "Finished loading DAC table with 0 entries");
    TolvaDataInterpretation().populateDacTable(table, dir.path()); // a folder is not read either
    EXPECT_EQ(table.filePath, "before");
}
