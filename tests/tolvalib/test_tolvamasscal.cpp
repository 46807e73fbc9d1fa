// The second instrument's mass calibration is its own set of types with the
// first instrument's behaviour: the same file gives the same table and text.
// (The behaviour itself is tested for both in tests/koralib/masscal/test_masscal.cpp.)
#include "koralib/masscal/masscal.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tolvalib/tolvamasscal.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

static_assert(!std::is_convertible_v<TolvaGse::MassCal&, KorGse::MassCal&>);
static_assert(!std::is_convertible_v<KorGse::MassCalEntry, TolvaGse::MassCalEntry>);
static_assert(!std::is_convertible_v<TolvaGse::MassCalEntry, KorGse::MassCalEntry>);
static_assert(std::is_base_of_v<BaseTransform, TolvaGse::MassCalEntry>);

TEST(TolvaMassCal, OwnMetaObjectAndMetaType)
{
    EXPECT_STREQ(TolvaGse::MassCal::staticMetaObject.className(), "TolvaGse::MassCal");
    EXPECT_STREQ(KorGse::MassCal::staticMetaObject.className(), "KorGse::MassCal");
    const QMetaType tolva = QMetaType::fromName("TolvaGse::MassCal");
    ASSERT_TRUE(tolva.isValid());
    EXPECT_NE(tolva, QMetaType::fromName("KorGse::MassCal"));
    EXPECT_EQ(tolva, QMetaType::fromType<TolvaGse::MassCal>());
    // Statics reachable under the second instrument's names.
    EXPECT_EQ(TolvaGse::MassCal::MCAL_NAME_FILTER, QStringLiteral("*.mcal"));
    EXPECT_EQ(TolvaGse::MassCal::MASSES_NAME_FILTER, QStringLiteral("*.amu"));
    EXPECT_EQ(TolvaGse::MassCalEntry::ALLKEYS,
              (QStringList{"phase_cycle", "order", "rms", "constants", "data_points"}));
    EXPECT_EQ(TolvaGse::MassCal::DEFAULT_PHASE_CYCLE, -1);
    EXPECT_EQ(TolvaGse::MassCal::COMMENT_SYMBOL, '#');
}

TEST(TolvaMassCal, SameFileSameCalibrationAsFirstInstrument)
{
    TestSupport::TempDir dir;
    const QString files[] = {
        dir.write("text.mcal", "h1\th2\th3\th4\n100\t2\n200\t4.5\n300\t6.2\n"),
        dir.write("json.mcal", R"({"version": 2, "control_mode": 1, "entries": [
            {"phase_cycle": 4, "order": 2, "rms": 0, "constants": [0, 1, 0],
             "data_points": [{"control": 1, "amu": 2}, {"control": 2, "amu": 4.5},
                             {"control": 3, "amu": 6.2}, {"control": 4, "amu": 9}]},
            {"phase_cycle": 0, "order": 1, "rms": 0, "constants": [0, 1, 0],
             "data_points": [{"control": 1, "amu": 2}, {"control": 3, "amu": 5}]}]})"),
    };
    for (const QString& path : files) {
        KorGse::MassCal kor;
        TolvaGse::MassCal tolva;
        ASSERT_TRUE(kor.loadFromFile(path));
        ASSERT_TRUE(tolva.loadFromFile(path));
        EXPECT_EQ(tolva.filePath(), kor.filePath());
        EXPECT_EQ(tolva.version(), kor.version());
        EXPECT_EQ(int(tolva.controlMode()), int(kor.controlMode()));
        EXPECT_EQ(tolva.phaseCycles(), kor.phaseCycles());
        EXPECT_EQ(tolva.toString(), kor.toString());
        for (int pc : kor.phaseCycles()) {
            const KorGse::MassCalEntry k = std::as_const(kor)[pc];
            const TolvaGse::MassCalEntry t = std::as_const(tolva)[pc];
            EXPECT_EQ(t.fit, k.fit) << pc;
            EXPECT_EQ(t.points, k.points) << pc;
            EXPECT_EQ(t.rms, k.rms) << pc;
            EXPECT_EQ(t.inverse(5.0), k.inverse(5.0)) << pc;
        }
    }
}

} // namespace
