// Generated first-instrument archives read end to end: every packet's Unix and
// relative time, synchronisation, correction count and ip_, the records of
// each packet, and the summed scans with their queries and mass transform,
// all against the generator's own expectations (expected.json).
#include "koralib/koradefinitions.h"

#include "conversion/compositetransform.h"
#include "gselib/database/dactable.h"
#include "koralib/archive/koratimeresolver.h"
#include "koralib/archive/korpacketrecords.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/scandata.h"
#include "support/streamcapture.h"

#include <cmath>

using KorGse::KorTelemetryCache;
using KorGse::ScanData;

namespace {

class KorArchive : public KoraTest::SuiteTest
{
protected:
    // Reads an archive into a fresh cache (the invalid-header line goes to a capture).
    std::unique_ptr<KorTelemetryCache> read(const char* which)
    {
        auto cache = std::make_unique<KorTelemetryCache>();
        TestSupport::StderrCapture err;
        cache->changeFile(defs->archive(which).toStdString(), true);
        stderrText = err.text();
        return cache;
    }

    QString stderrText;
};

void expectTimes(const KorTelemetryCache& cache, const QJsonObject& expected, const char* which)
{
    const QJsonArray packets = expected.value("packets").toArray();
    ASSERT_EQ(cache.count(), size_t(packets.size())) << which;
    for (qsizetype i = 0; i < packets.size(); ++i) {
        const QJsonObject e = packets[i].toObject();
        const auto p = cache.get(unsigned(i));
        EXPECT_EQ(p->type(), e.value("type").toInt()) << which << " packet " << i;
        EXPECT_NEAR(p->unixTime(), e.value("unixTime").toDouble(), 1e-5) << which << " packet " << i;
        EXPECT_NEAR(p->relativeTime(), e.value("relativeTime").toDouble(), 1e-5) << which << " packet " << i;
        EXPECT_NEAR(p->unixTimeFromTicks(0), e.value("tick0").toDouble(), 1e-5) << which << " packet " << i;
    }
    const GseLib::TimeResolver* r = cache.timeResolver();
    EXPECT_EQ(r->isSynced(), expected.value("isSynced").toBool()) << which;
    EXPECT_EQ(r->correctedCount(), expected.value("correctedCount").toInt()) << which;
}

KorGse::ScanStatus statusFrom(const QJsonObject& s)
{
    KorGse::ScanStatus st;
    st.pauseTimesMs[2] = s.value("ionizationMs").toDouble();
    st.setDacValue[2] = s.value("setDac2").toDouble();
    st.regDacValue[6] = s.value("regDac6").toDouble();
    st.rfAmpMon = s.value("rfAmpMon").toDouble();
    st.setDacValue[13] = s.value("setDac13").toDouble();
    st.setDacValue[15] = s.value("setDac15").toDouble();
    st.binTimeReadback = s.value("binTimeUs").toDouble();
    st.phaseCycleRdbk = uint16_t(s.value("phaseCycle").toInt());
    st.relativeTime = s.value("relativeTime").toDouble();
    return st;
}

} // namespace

TEST_F(KorArchive, TimesAcrossResetsMatchTheGeneratorsClock)
{
    ASSERT_TRUE(defs->generated);
    const auto cache = read("A");
    expectTimes(*cache, defs->archiveExpected("A"), "A");
    // The header with its top bit set was looked up as type 154 and refused.
    EXPECT_TRUE(stderrText.contains("Invalid header - type: 154")) << stderrText.toStdString();
}

TEST_F(KorArchive, WithoutTimePacketsTheFolderDateIsTickZero)
{
    ASSERT_TRUE(defs->generated);
    const auto cache = read("B");
    const QJsonObject b = defs->archiveExpected("B");
    expectTimes(*cache, b, "B");
    EXPECT_DOUBLE_EQ(cache->timeResolver()->unixTimeOfT0Estimate(), b.value("fallback").toDouble());
}

TEST_F(KorArchive, IpFollowsTheLastSebHousekeepingPacket)
{
    ASSERT_TRUE(defs->generated);
    const auto cache = read("A");
    EXPECT_DOUBLE_EQ(KorTelemetryCache::ip_, defs->archiveExpected("A").value("ip").toDouble());
    // An archive without type 22 keeps it; B has one, so read A again after B.
    read("B");
    const auto again = read("A");
    EXPECT_DOUBLE_EQ(KorTelemetryCache::ip_, defs->archiveExpected("A").value("ip").toDouble());
}

TEST_F(KorArchive, RecordsOfEveryPacket)
{
    ASSERT_TRUE(defs->generated);
    const auto cache = read("A");
    const QJsonArray packets = defs->archiveExpected("A").value("packets").toArray();
    int checked = 0;
    for (qsizetype i = 0; i < packets.size() && size_t(i) < cache->count(); ++i) {
        const QJsonObject e = packets[i].toObject();
        if (!e.contains("record"))
            continue;
        const QJsonObject r = e.value("record").toObject();
        const auto p = cache->get(unsigned(i));
        ++checked;
        switch (e.value("type").toInt()) {
        case 26: {
            const KorGse::SciDataPacket s(p);
            EXPECT_EQ(s.startBin, r.value("startBin").toInt()) << i;
            EXPECT_EQ(s.numBins, r.value("numBins").toInt()) << i;
            EXPECT_EQ(s.endBin, r.value("endBin").toInt()) << i;
            EXPECT_DOUBLE_EQ(s.rfAmp, r.value("rfAmp").toDouble()) << i;
            EXPECT_DOUBLE_EQ(s.rfAmpDac, r.value("rfAmpDac").toDouble()) << i;
            EXPECT_DOUBLE_EQ(s.auxAmpDac, r.value("auxAmpDac").toDouble()) << i;
            EXPECT_DOUBLE_EQ(s.totalCounts, r.value("totalCounts").toDouble()) << i;
            EXPECT_DOUBLE_EQ(s.maxCount, r.value("maxCount").toDouble()) << i;
            EXPECT_NEAR(s.relativeTime, e.value("relativeTime").toDouble(), 1e-5) << i;
            break;
        }
        case 22: {
            const KorGse::SebHK h(p);
            EXPECT_EQ(h.pktIndex, i);
            EXPECT_EQ(h.isFilAOn, r.value("isFilAOn").toBool()) << i;
            EXPECT_EQ(h.isFilBOn, r.value("isFilBOn").toBool()) << i;
            const QJsonArray a = r.value("emonA").toArray();
            ASSERT_EQ(h.emonASciItems.size(), size_t(a.size())) << i;
            for (qsizetype k = 0; k < a.size(); ++k)
                EXPECT_DOUBLE_EQ(h.emonASciItems[size_t(k)].toDouble(), a[k].toDouble()) << i;
            ASSERT_EQ(h.emonBSciItems.size(), 1u) << i;
            EXPECT_DOUBLE_EQ(h.emonBSciItems[0].toDouble(), r.value("emonB").toArray()[0].toDouble()) << i;
            EXPECT_EQ(h.emonAUnits, r.value("emonAUnits").toString().toStdString());
            EXPECT_EQ(h.emonBUnits, r.value("emonBUnits").toString().toStdString());
            break;
        }
        case 15: {
            const KorGse::LaserPulsesPacket l(p);
            const QJsonArray v = r.value("pulseValues").toArray();
            ASSERT_EQ(l.pulseValues.size(), v.size()) << i;
            for (qsizetype k = 0; k < v.size(); ++k)
                EXPECT_EQ(l.pulseValues[k], v[k].toDouble()) << i;
            EXPECT_EQ(l.pulseValuesSum, r.value("pulseValuesSum").toDouble()) << i;
            EXPECT_EQ(l.avgEnergy, r.value("avgEnergy").toDouble()) << i;
            EXPECT_EQ(l.item1090Value, r.value("item1090Value").toDouble()) << i;
            EXPECT_EQ(l.item1091Value, r.value("item1091Value").toDouble()) << i;
            EXPECT_EQ(l.sdEnergy, r.value("sdEnergy").toDouble()) << i;
            break;
        }
        case 16: {
            const KorGse::LaserStatusPacket l(p);
            EXPECT_EQ(l.pktIndex, i);
            EXPECT_DOUBLE_EQ(l.statusValue, r.value("statusValue").toDouble()) << i;
            break;
        }
        default:
            break;
        }
    }
    EXPECT_GE(checked, 15); // records of types 15, 16, 22 and 26
    const KorGse::GcHkPacket gc(cache->get(11));
    EXPECT_EQ(gc.pktIndex, 11);
}

TEST_F(KorArchive, SummedScansWithTheirQueriesAndMassAxis)
{
    ASSERT_TRUE(defs->generated);
    const auto cache = read("A");
    const QJsonObject cal = defs->expected.value("massCal").toObject();
    KorGse::MassCal massCal;
    massCal.setControlMode(KorGse::MassCal::ControlMode(cal.value("control_mode").toInt()));
    massCal.addMassCalEntry(cal.value("phase_cycle").toInt());
    massCal[cal.value("phase_cycle").toInt()].fit.change(cal.value("a0").toDouble(), cal.value("a1").toDouble(), 0.0);

    const QJsonArray packets = defs->archiveExpected("A").value("packets").toArray();
    int scans = 0;
    for (qsizetype i = 0; i < packets.size() && size_t(i) < cache->count(); ++i) {
        const QJsonObject e = packets[i].toObject();
        if (!e.contains("scan"))
            continue;
        ++scans;
        const QJsonObject x = e.value("scan").toObject();
        QList<KorGse::ScanStatus> statuses;
        for (const QJsonValue& s : x.value("statuses").toArray())
            statuses.append(statusFrom(s.toObject()));
        const ScanData scan(cache->get(unsigned(i)), statuses, false, KORA::PacketTime);
        const QJsonArray segs = x.value("segments").toArray();
        ASSERT_EQ(scan.segments.size(), size_t(segs.size())) << "packet " << i;
        EXPECT_EQ(scan.numScans, x.value("numScans").toInt()) << i;
        EXPECT_EQ(scan.sciDataPktVersion, uint32_t(x.value("version").toInt())) << i;
        EXPECT_EQ(scan.scanStatuses.size(), qsizetype(x.value("numScans").toInt())) << i;
        EXPECT_EQ(scan.packetIndexes(), QList<int>{int(i)});
        double total = 0.0;
        for (qsizetype k = 0; k < segs.size(); ++k) {
            const QJsonObject s = segs[k].toObject();
            const KorGse::SciDataPacket& got = scan.segments[size_t(k)];
            EXPECT_EQ(got.startBin, s.value("startBin").toInt()) << i << " segment " << k;
            EXPECT_EQ(got.numBins, s.value("numBins").toInt()) << i << " segment " << k;
            EXPECT_EQ(got.endBin, s.value("endBin").toInt()) << i << " segment " << k;
            EXPECT_DOUBLE_EQ(got.rfAmp, s.value("rfAmp").toDouble()) << i;
            EXPECT_DOUBLE_EQ(got.rfAmpDac, s.value("rfAmpDac").toDouble()) << i;
            const QJsonArray counts = s.value("counts").toArray();
            double sum = 0.0;
            for (qsizetype j = 0; j < counts.size(); ++j) {
                EXPECT_EQ(got.counts[size_t(j)], counts[j].toDouble()) << i << " segment " << k << " bin " << j;
                sum += counts[j].toDouble();
            }
            EXPECT_DOUBLE_EQ(got.totalCounts, sum) << i;
            total += sum;
        }
        EXPECT_DOUBLE_EQ(scan.ionCount(0, 0), total) << i;
        QList<uint32_t> tics;
        for (const QJsonValue& t : x.value("ticList").toArray())
            tics.append(uint32_t(t.toDouble()));
        EXPECT_EQ(scan.ticList(), tics) << i;
        EXPECT_EQ(scan.scanTics.size(), x.value("scanTics").toArray().size()) << i;
        EXPECT_EQ(scan.mbcSics.size(), x.value("mbcSics").toArray().size()) << i;
        const QJsonArray cfs = x.value("cFactors").toArray();
        ASSERT_EQ(scan.cFactors.size(), cfs.size()) << i;
        for (qsizetype k = 0; k < cfs.size(); ++k)
            EXPECT_EQ(scan.cFactors[k], cfs[k].toDouble()) << i;
        const double ctic = x.value("correctedTic").toDouble();
        EXPECT_NEAR(scan.correctedTotalIonCount(100.0, 100.0, -68.0, -0.0992), ctic, 1e-9 * std::max(1.0, ctic)) << i;
        EXPECT_DOUBLE_EQ(scan.rfAmpEnd(), x.value("rfAmpEnd").toDouble()) << i;
        EXPECT_DOUBLE_EQ(scan.rfAmpDACEnd(), x.value("rfAmpDacEnd").toDouble()) << i;
        const auto toMass = scan.getTransform(ScanData::BIN, ScanData::MASS, massCal);
        for (const QJsonValue& v : x.value("massSamples").toArray()) {
            const QJsonArray pt = v.toArray();
            EXPECT_NEAR(toMass->apply(pt[0].toDouble()), pt[1].toDouble(), 1e-9) << i << " bin " << pt[0].toDouble();
        }
    }
    EXPECT_GE(scans, 8);
}

TEST_F(KorArchive, DacTableOfTheDefinitions)
{
    ASSERT_TRUE(defs->generated);
    const GseLib::DacTable& table = *GseLib::DataInterpretation::current()->dacTable;
    const QJsonArray rows = defs->expected.value("dac").toArray();
    EXPECT_EQ(table.rowCount(), rows.size());
    EXPECT_TRUE(table.filePath.endsWith("KOR_DAC_Conversions.txt")) << table.filePath.toStdString();
    for (const QJsonValue& v : rows) {
        const QJsonObject r = v.toObject();
        const GseLib::DacTableRow& row = table.row(r.value("id").toInt());
        EXPECT_EQ(row.name, r.value("name").toString().toLatin1());
        EXPECT_EQ(row.bits, r.value("bits").toInt());
        EXPECT_EQ(row.isSigned, r.value("signed").toBool());
    }
    // Signed 12 bits: 0x0FFF is -1, then (count - offset) / scale.
    EXPECT_DOUBLE_EQ(table.row(8).toValue(0x0FFF), -1.0 / 8.0);
    EXPECT_DOUBLE_EQ(table.row(15).toValue(0x0FFF), (-1.0 + 16.0) / 0.5);
}
