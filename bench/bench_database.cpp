// Loading a generated database of 50,000 rows with a text and a JSON patch.
// The database is written by scripts/gen_tmdb.py into a temporary folder.
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/transferfuncfactory.h"
#include "tools/logger/log.h"
#include "tools/util/pluginmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int MAIN_ROWS = 50000;

struct Fixture
{
    QTemporaryDir dir;
    QStringList files;
    long long lines = 0; // data lines and dictionary rows read per load
    bool ok = false;
};

long long countDataLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    long long n = -1; // the header
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (!line.trimmed().isEmpty() && !line.startsWith('#'))
            ++n;
    }
    return n;
}

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_tmdb.py"), fx->dir.path(), QStringLiteral("--rows"),
                   QString::number(MAIN_ROWS)});
        if (!gen.waitForFinished(120000) || gen.exitCode() != 0) {
            std::fprintf(stderr, "gen_tmdb.py failed: %s\n", gen.readAllStandardError().constData());
            return fx;
        }
        const QDir d(fx->dir.path());
        fx->files = {d.filePath("tmdb.txt"), d.filePath("patch_1.txt"), d.filePath("patch_2.json")};
        QFile expected(d.filePath("expected.json"));
        expected.open(QIODevice::ReadOnly);
        const QJsonObject e = QJsonDocument::fromJson(expected.readAll()).object();
        fx->lines = countDataLines(fx->files[0]) + countDataLines(fx->files[1]) + e.value("json_rows").toInt();
        fx->ok = true;
        return fx;
    }();
    return *f;
}

void BM_LoadDatabase(benchmark::State& state)
{
    Fixture& fx = fixture();
    if (!fx.ok) {
        state.SkipWithError("no generated database");
        return;
    }
    long long warnings = 0;
    Log::setTestSink([&warnings](const LoggerEventMsg& m) {
        if (m.level >= WARN)
            ++warnings;
    });
    size_t rows = 0;
    for (auto _ : state) {
        auto db = std::make_unique<GseLib::TelemetryDatabase>();
        db->load(fx.files, fx.dir.path() + QLatin1Char('/'));
        rows = db->rows().size();
        benchmark::DoNotOptimize(rows);
        // Freeing the rows is not part of loading them.
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    Log::setTestSink(nullptr);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * fx.lines);
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["lines"] = static_cast<double>(fx.lines);
    state.counters["warnings_per_load"] = static_cast<double>(warnings) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LoadDatabase)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The rows' transfer functions come from the generic maker, as in a real load.
    PluginManager plugins;
    plugins.setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
    Log::setTestSink([](const LoggerEventMsg&) {});
    plugins.loadPlugins(QStringList{});
    TransferFuncFactory::instance()->loadTransferFuncPlugins(&plugins);
    Log::setTestSink(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
