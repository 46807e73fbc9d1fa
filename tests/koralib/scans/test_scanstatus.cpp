// Scan-status records decoded from generated type-25 packets against the
// generator's own values (items, both DAC blocks through signed, unsigned and
// slope-0 rows), the guarded reads of a short packet, clear(), and a DAC id
// without a row leaving the cache's refresh as std::out_of_range.
#include "scandefinitions.h"

#include "gselib/database/dactable.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/tompacket.h"
#include "koralib/scans/scanstatus.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

using KoraScanTest::intList;
using KorGse::ScanStatus;

namespace {

class ScanStatusTest : public KoraScanTest::ScanSuite
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(defs->generated);
        KoraScanTest::ScanDefinitions::openFile(defs->archive("main"));
    }
    static GseLib::TMPacketPtr packet(int i) { return GseLib::TelemetryFile::sharedCache()->get(unsigned(i)); }
    // A copy of packet i with its data bytes changed by `edit` (data offset 0 is packet byte 8).
    template <typename Edit>
    static GseLib::TMPacketPtr edited(int i, Edit edit, size_t keepData = size_t(-1))
    {
        const auto p = packet(i);
        std::vector<uint8_t> b(p->bytes->begin(), p->bytes->end());
        edit(b.data() + 8);
        if (keepData != size_t(-1)) {
            b.resize(8 + keepData);
            b[2] = uint8_t(keepData >> 8);
            b[3] = uint8_t(keepData);
        }
        return std::make_shared<GseLib::TomPacket>(b.data(), int(b.size()), p->index, p->timeResolver);
    }
    static int firstStatus()
    {
        const QJsonObject statuses = defs->archiveExpected("main").value("statuses").toObject();
        int first = INT32_MAX;
        for (const QString& k : statuses.keys())
            first = std::min(first, k.toInt());
        return first;
    }
};

template <typename T, size_t N>
void expectArray(const std::array<T, N>& got, const QJsonValue& want, const std::string& at)
{
    const QJsonArray a = want.toArray();
    ASSERT_EQ(size_t(a.size()), N) << at;
    for (size_t i = 0; i < N; ++i)
        EXPECT_DOUBLE_EQ(double(got[i]), a[qsizetype(i)].toDouble()) << at << " [" << i << "]";
}

} // namespace

TEST_F(ScanStatusTest, EveryStatusMatchesTheGenerator)
{
    const QJsonObject statuses = defs->archiveExpected("main").value("statuses").toObject();
    ASSERT_GT(statuses.size(), 20);
    for (auto it = statuses.begin(); it != statuses.end(); ++it) {
        const int index = it.key().toInt();
        const QJsonObject e = it.value().toObject();
        const auto p = packet(index);
        const ScanStatus s(p);
        const std::string at = "status " + it.key().toStdString();
        EXPECT_EQ(s.packetIndex, index) << at;
        EXPECT_EQ(s.rawTimestamp, p->rawTimestamp()) << at;
        EXPECT_DOUBLE_EQ(s.relativeTime, p->relativeTime()) << at;
        EXPECT_EQ(double(s.value200), e.value("value200").toDouble()) << at;
        EXPECT_EQ(s.value201, e.value("value201").toInt()) << at;
        EXPECT_DOUBLE_EQ(s.rfFreqHz, e.value("rfFreqHz").toDouble()) << at;
        EXPECT_EQ(double(s.rawRfAmpMon), e.value("rawRfAmpMon").toDouble()) << at;
        EXPECT_DOUBLE_EQ(s.rfAmpMon, e.value("rfAmpMon").toDouble()) << at;
        EXPECT_EQ(s.counterSel, e.value("counterSel").toInt()) << at;
        EXPECT_EQ(s.binCountReg, e.value("binCountReg").toInt()) << at;
        EXPECT_DOUBLE_EQ(s.rfStepReg, e.value("rfStepReg").toDouble()) << at;
        EXPECT_DOUBLE_EQ(s.auxStepReg, e.value("auxStepReg").toDouble()) << at;
        expectArray(s.regDacRaw, e.value("regDacRaw"), at + " regDacRaw");
        expectArray(s.setDacRaw, e.value("setDacRaw"), at + " setDacRaw");
        expectArray(s.regDacValue, e.value("regDacValue"), at + " regDacValue");
        expectArray(s.setDacValue, e.value("setDacValue"), at + " setDacValue");
        expectArray(s.pauseTimesMs, e.value("pauseTimesMs"), at + " pauseTimesMs");
        EXPECT_DOUBLE_EQ(s.binTimeReadback, e.value("binTimeReadback").toDouble()) << at;
        EXPECT_EQ(s.value246, e.value("value246").toInt()) << at;
        EXPECT_EQ(s.value247, e.value("value247").toInt()) << at;
        EXPECT_EQ(s.value248, e.value("value248").toInt()) << at;
        EXPECT_DOUBLE_EQ(s.value249, e.value("value249").toDouble()) << at;
        EXPECT_DOUBLE_EQ(s.value250, e.value("value250").toDouble()) << at;
        EXPECT_EQ(s.phaseCycleRdbk, e.value("phaseCycleRdbk").toInt()) << at;
        EXPECT_DOUBLE_EQ(s.twoOverPhaseCycle, e.value("twoOverPhaseCycle").toDouble()) << at;
        EXPECT_EQ(s.binCountSet, e.value("binCountSet").toInt()) << at;
        EXPECT_DOUBLE_EQ(s.rfStepSet, e.value("rfStepSet").toDouble()) << at;
        EXPECT_DOUBLE_EQ(s.auxStepSet, e.value("auxStepSet").toDouble()) << at;
        EXPECT_EQ(s.specialScanId, e.value("specialScanId").toInt()) << at;
        EXPECT_EQ(double(s.rawScanValue), e.value("rawScanValue").toDouble()) << at;
    }
}

TEST_F(ScanStatusTest, DacRowsPhaseCycleAndClear)
{
    const int i = firstStatus();
    // Readback block: DAC 3 (slope 0) full scale, DAC 8 (signed 12-bit) 0xFFF with noise above.
    const auto p = edited(i, [](uint8_t* d) {
        d[20 + 3] = 0xFF;
        d[28] = 0xFF;
        d[29] = 0xFF;
        d[89] = 0; // phase cycle 0
        d[90] = 0;
    });
    ScanStatus s(p);
    EXPECT_EQ(s.regDacRaw[3], 0xFFu);
    EXPECT_EQ(s.regDacValue[3], 0.0);
    EXPECT_EQ(s.regDacRaw[8], 0x0FFFu);
    EXPECT_EQ(s.regDacValue[8], -1.0 / 8.0); // -1, offset 0, slope 8
    EXPECT_EQ(s.phaseCycleRdbk, 0);
    EXPECT_EQ(s.twoOverPhaseCycle, 0.0);
    EXPECT_EQ(s.specialScanId, -1); // 0xFFFFFFFF read as signed 32-bit
    const ScanStatus four(edited(i, [](uint8_t* d) { d[90] = 4; }));
    EXPECT_EQ(four.twoOverPhaseCycle, 0.5);

    s.clear();
    EXPECT_EQ(s.packetIndex, i);
    EXPECT_EQ(s.rawTimestamp, p->rawTimestamp());
    EXPECT_EQ(s.specialScanId, -1);
    EXPECT_EQ(s.rawScanValue, 0);
    EXPECT_EQ(s.binCountReg, 0);
    EXPECT_EQ(s.regDacValue[8], 0.0);
    EXPECT_EQ(s.pauseTimesMs[2], 0.0);
}

TEST_F(ScanStatusTest, ShortPacketReadsMissingDacBytesAsZero)
{
    const int i = firstStatus();
    const ScanStatus whole(packet(i));
    // Cut inside DAC 9's pair of the readback block: the rest of both blocks reads 0.
    const ScanStatus s(edited(i, [](uint8_t*) {}, 31));
    for (int id = 0; id < 8; ++id)
        EXPECT_EQ(s.regDacRaw[id], whole.regDacRaw[id]) << id;
    EXPECT_EQ(s.regDacRaw[8], whole.regDacRaw[8]);
    EXPECT_EQ(s.regDacRaw[9], whole.regDacRaw[9] & 0x0F00u); // the first byte's nibble, the second byte 0
    for (int id = 10; id < 16; ++id)
        EXPECT_EQ(s.regDacRaw[id], 0u) << id;
    for (int id = 0; id < 16; ++id)
        EXPECT_EQ(s.setDacRaw[id], 0u) << id;
    // Items past the end do not decode and read 0.
    EXPECT_EQ(s.binTimeReadback, 0.0);
    EXPECT_EQ(s.specialScanId, 0);
    EXPECT_EQ(s.value201, whole.value201);
    // Too short for anything.
    const ScanStatus empty(edited(i, [](uint8_t*) {}, 0));
    EXPECT_EQ(empty.regDacRaw[0], 0u);
    EXPECT_EQ(empty.setDacRaw[15], 0u);
}

TEST_F(ScanStatusTest, DacIdWithoutRowLeavesRefreshAndTheNextRefreshGoesOn)
{
    GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const std::shared_ptr<GseLib::DacTable> full = hub->dacTable;
    auto partial = std::make_shared<GseLib::DacTable>();
    for (int id = 0; id < 16; ++id)
        if (id != 14 && id != 5)
            partial->addRow(full->row(id));
    hub->dacTable = partial;
    auto cache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile);
    try {
        cache->refresh();
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Unknown");
    }
    hub->dacTable = full;
    // The status that raised is consumed; the rest of the archive is read.
    cache->refresh();
    const QJsonArray scans = defs->archiveExpected("main").value("scans").toArray();
    EXPECT_EQ(cache->size(), scans.size());
    // The first status, which belongs to the first scan, is the one that raised.
    ASSERT_EQ(intList(scans[0].toObject().value("statuses")), QList<int>{firstStatus()});
    EXPECT_TRUE(cache->scan(0)->scanStatuses.isEmpty());
    EXPECT_EQ(cache->scan(1)->packetIndexes(), intList(scans[1].toObject().value("packets")));
}
