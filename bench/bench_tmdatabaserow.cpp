// Rows per second of the database row update (one typical line, fresh row each
// time, as a load does) and of the text line writer, with the generic
// transfer-function maker loaded.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/database/transferfuncfactory.h"
#include "tools/logger/log.h"
#include "tools/util/pluginmanager.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <benchmark/benchmark.h>

#include <sstream>

namespace {

const char* const LINE =
    "HK\tTANK_TEMP\tTank temperature sensor A\t3\t1042\t7\t0\tHK_PKT\t\t1\t24\t2\t0xFFFF\t0\t\t%d\t%.2f\t2\t2.5\t1"
    "\tdegC\t%.1f\t1\t1\t-40.25\t0.0125\t0\t0\t0\t0\t0\t0=OFF;1..3=LOW;4=ON\t0\t5\t100\t120\t0\t\t\t\t\t\t0";

void setUp()
{
    static PluginManager* manager = [] {
        Log::setTestSink([](const LoggerEventMsg&) {});
        auto* m = new PluginManager;
        m->setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
        m->loadPlugins(QStringList{});
        TransferFuncFactory::instance()->loadTransferFuncPlugins(m);
        return m;
    }();
    (void)manager;
    GseLib::TmDatabaseRow::findHeaderFieldPositions(GseLib::TMDB_HDR);
}

void BM_row_update(benchmark::State& state)
{
    setUp();
    const QString line = QString::fromLatin1(LINE);
    const GseLib::TMClockMap clocks;
    for (auto _ : state) {
        GseLib::TmDatabaseRow row;
        row.update(QStringView(line).split(u'\t'), "/defs/", clocks);
        benchmark::DoNotOptimize(row.offsets.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_row_write(benchmark::State& state)
{
    setUp();
    const QString line = QString::fromLatin1(LINE);
    GseLib::TmDatabaseRow row;
    row.update(QStringView(line).split(u'\t'), "/defs/", {});
    std::ostringstream os;
    for (auto _ : state) {
        os.str(std::string());
        os << row;
        benchmark::DoNotOptimize(os.str().size());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_row_update);
BENCHMARK(BM_row_write);
