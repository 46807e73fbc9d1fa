// Packets of the second instrument read from bytes by ground tools: every
// class's from-bytes constructor on any bytes, then every accessor with every
// u8 number, the record lists' recalculatePacketSize and the appends, without
// a crash, a read past the bytes or undefined behaviour. The variable-length
// getters may throw std::out_of_range, as documented.
#include "fuzzquiet.h"
#include "tolvalib/tolvapacketfamily.h"

#include <QByteArray>

#include <cstdint>
#include <stdexcept>

namespace {

template <typename Get>
void guarded(Get get)
{
    try {
        (void)get();
    } catch (const std::out_of_range&) {
    }
}

template <typename C>
void plain(const QByteArray& b)
{
    C p(b);
    (void)p.dataLength();
    (void)p.toString();
    (void)p.unixTime();
    p.updateDataLength();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    using namespace TolvaGse;
    const QByteArray b(reinterpret_cast<const char*>(data), qsizetype(size));
    const uint8_t seed = size ? data[0] : 0;

    plain<CriticalHKPacket>(b);
    plain<BootHKPacket>(b);
    plain<DigitalHKPacket>(b);
    plain<PtHkPacket>(b);
    plain<PtStatusPacket>(b);
    plain<LeuHkHsPacket>(b);
    plain<LeuHkPacket>(b);
    plain<LeuHkIndxPacket>(b);
    plain<LeuStatusPacket>(b);
    plain<LeuMaxHkHsPacket>(b);
    plain<MmcHKPacket>(b);
    plain<MmcPiraniHKPacket>(b);
    plain<CtlHkPacket>(b);
    plain<CtlStatusPacket>(b);
    plain<CtlSeqDumpPacket>(b);
    plain<CtlDdsDumpPacket>(b);
    plain<CtlSciencePacket>(b);
    plain<CtlAuxDumpPacket>(b);
    plain<CtlGenRegDumpPacket>(b);

    {
        FillPacket p(b);
        guarded([&] { return p.fillData(); });
        p.setFillData(b);
        guarded([&] { return p.fillData(); });
    }
    {
        MemoryDumpPacket p(b);
        guarded([&] { return p.memoryContents(); });
        (void)p.memoryAddress();
        p.setMemoryAddress(seed);
        p.setMemoryContents(b);
        guarded([&] { return p.memoryContents(); });
    }
    {
        MessageLogPacket p(b);
        guarded([&] { return p.text(); });
        p.setText(b);
        guarded([&] { return p.text(); });
    }
    {
        MarkerPacket p(b);
        guarded([&] { return p.text(); });
        (void)p.textWithinBytes();
        (void)p.markerId();
        (void)p.markerType();
        p.setMarkerId(seed);
        p.setMarkerType(seed);
        p.setText(b);
        guarded([&] { return p.text(); });
    }
    {
        VhHkPacket p(b);
        VhStatusPacket s(b);
        for (int i = 0; i < 256; ++i) {
            const uint8_t n = uint8_t(i);
            (void)p.amuxValue(n);
            (void)p.isHeaterOn(n);
            (void)p.isFanOn(n);
            (void)p.isGcValveOpen(n);
            (void)p.isMindrumValveOpen(n);
            p.setAmuxValue(n, uint16_t(n * seed));
            p.setHeater(n, (n ^ seed) & 1);
            p.setFan(n, (n ^ seed) & 2);
            p.setGcValve(n, (n ^ seed) & 4);
            p.setMindrumValve(n, (n ^ seed) & 8);
            (void)s.heaterLastCommandedValue(n);
            (void)s.heaterCurrentValue(n);
            (void)s.fanLastCommandedValue(n);
            (void)s.isGcValveOpen(n);
            (void)s.isMindrumValveOpen(n);
            s.setHeaterLastCommandedValue(n, uint16_t(n + seed));
            s.setHeaterCurrentValue(n, uint16_t(n * 3 + seed));
            s.setFanLastCommandedValue(n, (n ^ seed) & 1);
            s.setGcValve(n, (n ^ seed) & 2);
            s.setMindrumValve(n, (n ^ seed) & 4);
        }
        (void)s.psClockStatus();
        s.setPsClockStatus(seed & 1);
    }
    {
        CtlSumRfPacket p(b);
        (void)p.scanTotals().size();
        p.recalculatePacketSize();
        CtlSumBinPacket q(b);
        (void)q.bins().size();
        q.recalculatePacketSize();
    }
    {
        MmcPiraniPacket p(b);
        MmcStripChartPacket q(b);
        for (int i = 0; i < 3; ++i) {
            (void)p.appendPiraniDataSample({seed, uint16_t(i), uint32_t(size)});
            (void)q.appendSample({{seed, uint16_t(i), 0, 1}});
        }
        (void)p.piraniDataSamples().size();
        (void)q.samples().size();
    }
    return 0;
}
