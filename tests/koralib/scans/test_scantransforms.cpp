// Axis transforms of a scan: RF ramps from segments and the last status, the
// mass stage from the calibration entry of the scan's phase cycle, every
// source/target pair, the ramp cache and the calibration slices they use.
#include "conversion/compositetransform.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/scandata.h"

#include <QMetaMethod>
#include <gtest/gtest.h>

using KorGse::MassCal;
using KorGse::MassCalEntry;
using KorGse::ScanData;
using KorGse::ScanStatus;
using KorGse::SciDataPacket;

namespace {

SciDataPacket seg(int start, int bins, double rf, double dac)
{
    SciDataPacket s;
    s.startBin = uint16_t(start);
    s.numBins = uint16_t(bins);
    s.endBin = uint16_t(start + bins);
    s.rfAmp = rf;
    s.rfAmpDac = dac;
    return s;
}

// Bins 0-99 and 100-199; RF monitor 5 -> 7 -> 9 (status), DAC 100 -> 300 -> 500.
ScanData twoSegmentScan(int phaseCycle = 4)
{
    ScanData scan;
    scan.addSciDataPkt(seg(0, 100, 5.0, 100.0), 0);
    scan.addSciDataPkt(seg(100, 100, 7.0, 300.0), 1);
    ScanStatus st;
    st.rfAmpMon = 9.0;
    st.setDacValue[13] = 500.0;
    st.phaseCycleRdbk = uint16_t(phaseCycle);
    scan.scanStatuses.append(st);
    return scan;
}

void setFit(MassCal& cal, int phaseCycle, double a0, double a1, double a2)
{
    cal.addMassCalEntry(phaseCycle);
    cal[phaseCycle].fit.change(a0, a1, a2);
}

} // namespace

TEST(ScanTransforms, SameQuantityIsAnEmptyChain)
{
    const ScanData scan = twoSegmentScan();
    MassCal cal;
    for (ScanData::ValueType t : {ScanData::BIN, ScanData::RF_MON, ScanData::RF_DAC, ScanData::MASS}) {
        const auto chain = scan.getTransform(t, t, cal);
        EXPECT_TRUE(chain->stages().isEmpty()) << t;
        EXPECT_EQ(chain->apply(123.5), 123.5) << t;
    }
    EXPECT_TRUE(scan.getTransform(ScanData::ValueType(7), ScanData::MASS, cal)->stages().isEmpty());
    EXPECT_TRUE(scan.getTransform(ScanData::MASS, ScanData::ValueType(7), cal)->stages().isEmpty());
}

TEST(ScanTransforms, OneSegmentRampRunsToTheLastStatus)
{
    ScanData scan;
    scan.addSciDataPkt(seg(0, 100, 5.0, 0.0), 0);
    ScanStatus st;
    st.rfAmpMon = 15.0;
    scan.scanStatuses.append(st);
    MassCal cal;
    const auto t = scan.getTransform(ScanData::BIN, ScanData::RF_MON, cal);
    EXPECT_DOUBLE_EQ(t->apply(0), 5.0);
    EXPECT_DOUBLE_EQ(t->apply(50), 10.0);
    EXPECT_DOUBLE_EQ(t->apply(100), 15.0);
    EXPECT_DOUBLE_EQ(scan.getTransform(ScanData::RF_MON, ScanData::BIN, cal)->apply(10.0), 50.0);
}

TEST(ScanTransforms, SectionsRunFromSegmentToSegment)
{
    const ScanData scan = twoSegmentScan();
    MassCal cal;
    const auto mon = scan.getTransform(ScanData::BIN, ScanData::RF_MON, cal);
    EXPECT_DOUBLE_EQ(mon->apply(0), 5.0);
    EXPECT_DOUBLE_EQ(mon->apply(50), 6.0);
    EXPECT_DOUBLE_EQ(mon->apply(100), 7.0);
    EXPECT_DOUBLE_EQ(mon->apply(150), 8.0);
    const auto dac = scan.getTransform(ScanData::BIN, ScanData::RF_DAC, cal);
    EXPECT_DOUBLE_EQ(dac->apply(150), 400.0);
    EXPECT_DOUBLE_EQ(scan.getTransform(ScanData::RF_MON, ScanData::RF_DAC, cal)->apply(8.0), 400.0);
    EXPECT_DOUBLE_EQ(scan.getTransform(ScanData::RF_DAC, ScanData::RF_MON, cal)->apply(200.0), 6.0);
}

TEST(ScanTransforms, EveryPairRoundTripsInEachControlMode)
{
    const ScanData scan = twoSegmentScan();
    const ScanData::ValueType types[] = {ScanData::BIN, ScanData::RF_MON, ScanData::RF_DAC, ScanData::MASS};
    // A value of each quantity at bin 150: RF monitor 8, DAC 400; mass from the control value.
    for (MassCal::ControlMode cm : {MassCal::BIN, MassCal::RF_MON, MassCal::RF_DAC}) {
        MassCal cal;
        cal.setControlMode(cm);
        setFit(cal, 4, 1.0, 0.5, 0.0);
        const double control = cm == MassCal::BIN ? 150.0 : cm == MassCal::RF_MON ? 8.0 : 400.0;
        const double at150[] = {150.0, 8.0, 400.0, 1.0 + 0.5 * control};
        for (int f = 0; f < 4; ++f) {
            for (int t = 0; t < 4; ++t) {
                const auto forward = scan.getTransform(types[f], types[t], cal);
                const auto back = scan.getTransform(types[t], types[f], cal);
                EXPECT_NEAR(forward->apply(at150[f]), at150[t], 1e-9) << "mode " << cm << " " << f << "->" << t;
                EXPECT_NEAR(back->apply(forward->apply(at150[f])), at150[f], 1e-9)
                    << "mode " << cm << " " << f << "->" << t;
                EXPECT_NEAR(forward->inverse(at150[t]), at150[f], 1e-9) << "mode " << cm << " " << f << "->" << t;
            }
        }
    }
}

TEST(ScanTransforms, MassStageUsesTheScansPhaseCycleOrTheDefault)
{
    MassCal cal;
    cal.setControlMode(MassCal::RF_DAC);
    setFit(cal, MassCal::DEFAULT_PHASE_CYCLE, 0.0, 2.0, 0.0);
    setFit(cal, 4, 0.0, 3.0, 0.0);
    const ScanData four = twoSegmentScan(4);
    EXPECT_DOUBLE_EQ(four.getTransform(ScanData::BIN, ScanData::MASS, cal)->apply(150), 1200.0);
    const ScanData nine = twoSegmentScan(9);
    EXPECT_DOUBLE_EQ(nine.getTransform(ScanData::BIN, ScanData::MASS, cal)->apply(150), 800.0);
    ScanData noStatus = twoSegmentScan();
    noStatus.scanStatuses.clear();
    EXPECT_DOUBLE_EQ(noStatus.getTransform(ScanData::RF_DAC, ScanData::MASS, cal)->apply(10.0), 20.0);
    EXPECT_NEAR(four.getTransform(ScanData::MASS, ScanData::BIN, cal)->apply(1200.0), 150.0, 1e-9);

    // The chain keeps its copy of the entry when the calibration changes later.
    const auto chain = four.getTransform(ScanData::RF_DAC, ScanData::MASS, cal);
    cal[4].fit.change(0.0, 5.0, 0.0);
    EXPECT_DOUBLE_EQ(chain->apply(10.0), 30.0);
}

TEST(ScanTransforms, RampCacheIsReusedUntilTheScanChanges)
{
    ScanData scan = twoSegmentScan();
    const auto first = scan.createRfTransform(ScanData::RF_MON);
    EXPECT_EQ(scan.createRfTransform(ScanData::RF_MON), first);
    const auto dac = scan.createRfTransform(ScanData::RF_DAC);
    EXPECT_EQ(scan.createRfTransform(ScanData::RF_DAC), dac);
    scan.addSciDataPkt(seg(200, 100, 9.5, 550.0), 2);
    EXPECT_NE(scan.createRfTransform(ScanData::RF_MON), first);
    // The other ramp is rebuilt too, not returned from before the scan grew.
    const auto dacAfter = scan.createRfTransform(ScanData::RF_DAC);
    EXPECT_NE(dacAfter, dac);
    EXPECT_DOUBLE_EQ(dacAfter->apply(250), 525.0); // 550 -> 500 at the status
}

TEST(ScanTransforms, LateStatusMovesTheRampEnd)
{
    ScanData scan;
    scan.addSciDataPkt(seg(0, 100, 5.0, 0.0), 0);
    EXPECT_DOUBLE_EQ(scan.createRfTransform(ScanData::RF_MON)->apply(100), 5.0); // one segment, no status
    ScanStatus st;
    st.rfAmpMon = 15.0;
    scan.scanStatuses.append(st);
    EXPECT_DOUBLE_EQ(scan.createRfTransform(ScanData::RF_MON)->apply(100), 15.0);
}

TEST(ScanTransforms, ZeroBinSegmentAddsNoSection)
{
    ScanData scan;
    scan.addSciDataPkt(seg(0, 100, 5.0, 0.0), 0);
    scan.addSciDataPkt(seg(100, 0, 6.0, 0.0), 1);
    scan.addSciDataPkt(seg(100, 100, 7.0, 0.0), 2);
    ScanStatus st;
    st.rfAmpMon = 9.0;
    scan.scanStatuses.append(st);
    const auto ramp = scan.createRfTransform(ScanData::RF_MON);
    EXPECT_EQ(ramp->sections().size(), 2);
    EXPECT_DOUBLE_EQ(ramp->apply(150), 8.0);
    EXPECT_DOUBLE_EQ(ramp->apply(50), 5.5); // towards the 0-bin segment's value at bin 100
}

TEST(ScanTransforms, NoSegmentsGiveIdentityRamps)
{
    const ScanData scan;
    const auto ramp = scan.createRfTransform(ScanData::RF_MON);
    EXPECT_TRUE(ramp->sections().isEmpty());
    EXPECT_EQ(ramp->apply(42.0), 42.0);
    EXPECT_TRUE(scan.rfTransformCache.isEmpty());
}

TEST(MassCalEntry, AppliesAndInvertsItsFit)
{
    MassCalEntry e;
    EXPECT_FALSE(e.valid);
    EXPECT_EQ(e.phaseCycle, -1);
    EXPECT_EQ(e.order, 1);
    EXPECT_EQ(e.apply(17.25), 17.25);
    e.fit.change(2.0, 3.0, 0.0);
    EXPECT_DOUBLE_EQ(e.apply(4.0), 14.0);
    EXPECT_DOUBLE_EQ(e.inverse(14.0), 4.0);
    e.fit.change(1.0, 0.0, 2.0); // 1 + 2x^2
    EXPECT_DOUBLE_EQ(e.apply(3.0), 19.0);
    EXPECT_DOUBLE_EQ(std::abs(e.inverse(19.0)), 3.0);
    const MassCalEntry withCycle(7);
    EXPECT_TRUE(withCycle.valid);
    EXPECT_EQ(withCycle.phaseCycle, 7);
}

TEST(MassCal, LookupsAndSignals)
{
    MassCal cal;
    int changes = 0;
    QObject::connect(&cal, &MassCal::changed, [&changes] { ++changes; });
    EXPECT_EQ(cal.metaObject()->method(cal.metaObject()->methodOffset()).name(), "changed");
    EXPECT_EQ(cal.metaObject()->method(cal.metaObject()->methodOffset() + 1).name(), "aboutToLoad");
    const MassCal& ro = cal;
    EXPECT_EQ(ro[5].phaseCycle, -1); // nothing stored: a default entry
    EXPECT_FALSE(ro[5].valid);
    EXPECT_TRUE(cal.addMassCalEntry(5));
    EXPECT_FALSE(cal.addMassCalEntry(5));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(ro[5].phaseCycle, 5);
    EXPECT_TRUE(cal.addMassCalEntry(MassCal::DEFAULT_PHASE_CYCLE));
    EXPECT_EQ(ro[9].phaseCycle, -1);
    EXPECT_TRUE(ro[9].valid);
    cal.setControlMode(MassCal::RF_MON);
    cal.setControlMode(MassCal::RF_MON);
    EXPECT_EQ(cal.controlMode(), MassCal::RF_MON);
    EXPECT_EQ(changes, 3);
}
