// Database lines: the first line is a header (the writer's header is used when
// it lacks a required column), every further line updates one row, which is
// then written out and read back. The whole input is also read as labels,
// conditions and a clock definition.
#include "fuzzquiet.h"
#include "gselib/database/applywhen.h"
#include "gselib/database/discretelabels.h"
#include "gselib/database/tmclock.h"
#include "gselib/database/tmdatabaserow.h"

#include <cstdint>
#include <sstream>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();

    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QList<QStringView> lines = QStringView(text).split(u'\n');

    QList<QString> header;
    for (const QStringView& cell : lines.first().split(u'\t'))
        header << cell.toString();
    try {
        GseLib::TmDatabaseRow::findHeaderFieldPositions(header);
    } catch (const std::runtime_error&) {
        GseLib::TmDatabaseRow::findHeaderFieldPositions(GseLib::TMDB_HDR);
    }

    auto clock = std::make_shared<GseLib::TMClock>(text);
    const GseLib::TMClockMap clocks{{"C", clock}};
    (void)clock->toUnixTime(static_cast<long long>(size) << 40, -1, 0);

    GseLib::TmDatabaseRow row;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        try {
            row.update(lines[i].split(u'\t'), "", clocks);
        } catch (const std::runtime_error&) {
        }
    }
    std::ostringstream os;
    os << row;
    (void)row.diffText(GseLib::TmDatabaseRow());
    (void)row.convertValue(1.5, Gse::Sci);
    (void)row.limitChecker1.checkLimit(2.5);

    GseLib::TmDatabaseRow::findHeaderFieldPositions(GseLib::TMDB_HDR);
    const QString written = QString::fromLatin1(os.str().data(), static_cast<qsizetype>(os.str().size()));
    GseLib::TmDatabaseRow back;
    try {
        back.update(QStringView(written).split(u'\t'), "", clocks);
    } catch (const std::runtime_error&) {
    }

    GseLib::DiscreteLabels labels;
    labels.fromString(text);
    (void)labels.toMap();
    (void)labels.label(3LL);
    (void)labels.label(-0.5);
    const GseLib::ApplyWhen aw = GseLib::ApplyWhen::fromString(text);
    (void)aw.passes([](int id, bool* ok) {
        *ok = id % 2 == 0;
        return id * 1e17;
    });
    return 0;
}
