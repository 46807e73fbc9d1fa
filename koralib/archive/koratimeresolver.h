#pragma once
// Times the first instrument's packets. The instrument stamps each packet with
// a 100-microsecond tick counter that restarts at every reset; time packets
// (type 2, and type 7 when its time fields are not zero) give the Unix time
// of tick zero. Packets before the first time packet, or after a reset and
// before the next one, get provisional times corrected when it arrives.
// KorTelemetryCache hands every packet to handlePacket in archive order; the
// answers are looked up by the packet's cache index. The free functions are
// the instrument's time rules, usable on their own.
#include "gselib/packets/timeresolver.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace KorGse {

// Seconds from the Unix epoch to the instrument epoch, 2000-01-01 12:00:00 UTC.
constexpr double KORA_EPOCH_UNIX = 946728000.0;
// One sub-second unit of a time packet, 1/65536 s.
constexpr double SUBSECOND = 1.52587890625e-5;

struct PacketTimeValues
{
    double unixTime = 0.0;
    double unixTimeForTick0 = 0.0; // the Unix time at which this packet's tick counter read zero
};

// Type 7 with one of items 526..528 decoding to a non-zero value (NaN counts as non-zero).
bool isDigitalHkPktWithNonZeroTimeFields(const std::shared_ptr<GseLib::TMPacket>& packet);
bool isTimePkt(const std::shared_ptr<GseLib::TMPacket>& packet);
// Seconds, sub-seconds and ticks of a type 2, 7 or 9 packet; std::domain_error
// for any other type. Item values saturate to 64 bits, of which the low 32 are kept.
void getTimeFields(const std::shared_ptr<GseLib::TMPacket>& packet, uint32_t& seconds, uint32_t& subSeconds,
                   uint32_t& ticks);
// Instrument-epoch seconds at which the tick counter read zero.
double getRetForTick0(uint32_t seconds, uint32_t subSeconds, uint32_t ticks);
double getRetForTick0(const std::shared_ptr<GseLib::TMPacket>& packet);
double getUnixTimeForTick0(const std::shared_ptr<GseLib::TMPacket>& packet);
double retToUnixTime(double ret);
double convertPktTimestampToUnixTime(const std::shared_ptr<GseLib::TMPacket>& packet, double unixTimeForTick0);
// A type 8 text packet whose text (up to its first zero byte) is a boot-loader message.
bool isBootLoaderPkt(const std::shared_ptr<GseLib::TMPacket>& packet);

// The last tick count seen per packet type (0 for a type not seen since the
// last clear). Types 0-255 sit in a table that clear() empties by moving on a
// generation, so the parse, which clears at every reset sign, neither
// allocates nor walks a map per packet; other types go to a map.
class LastSeenTicks
{
public:
    uint64_t get(int type) const;
    void set(int type, uint64_t ticks);
    void clear();
    bool empty() const { return count_ == 0 && others_.empty(); }

private:
    static constexpr int DIRECT = 256;
    std::array<uint64_t, DIRECT> ticks_{};
    std::array<uint32_t, DIRECT> generationOf_{};
    uint32_t generation_ = 1;
    uint32_t count_ = 0;
    std::map<int, uint64_t> others_;
};

class KoraTimeResolver : public GseLib::TimeResolver
{
public:
    static constexpr size_t RESERVED_ENTRIES = 1250000;

    KoraTimeResolver();
    ~KoraTimeResolver() override;

    void reset() override;
    void setT0Fallback(double t) override;
    double ticksToSeconds(long long ticks) const override;
    long long secondsToTicks(double seconds) const override;
    double unixTime(const GseLib::TMPacket* packet) const override;
    double unixTime(const GseLib::TMPacket* packet, long long ticks) const override;
    double unixTimeOfT0Estimate() const override;
    double relativeTime(const GseLib::TMPacket* packet) const override;
    double relativeTime(const GseLib::TMPacket* packet, long long ticks) const override;
    long long correctedCount() const override;
    bool isSynced() const override;
    bool handlePacket(const GseLib::TMPacketPtr& packet) override;
    GseLib::TMPacketPtr t0Packet() const override;

    void resetState();
    void addToPktTimeVector(const GseLib::TMPacketPtr& packet, const GseLib::TMPacketPtr& timePacket);
    void alterPktTimeVectorEntry(const GseLib::TMPacketPtr& timePacket, uint64_t index);
    void fudgeTimestampAndAddToPktTimeVector(const GseLib::TMPacketPtr& packet);
    void correctGseTimestamps(std::vector<unsigned long> indexes, double step);
    void testPrint() const;
    double unixTimeForTick0(uint32_t index) const;
    double relativeTimeForTick0(uint32_t index) const;

    const std::vector<PacketTimeValues>& pktTimeVector() const { return pktTimeVector_; }
    size_t capacity() const { return pktTimeVector_.capacity(); }
    GseLib::TMPacketPtr lastTimePacket() const { return lastTimePkt_; }

private:
    // The entry of the packet's cache index, or null.
    const PacketTimeValues* entryOf(const GseLib::TMPacket* packet) const;
    // What relative times are measured from.
    double reference() const;
    void recordLargest(uint64_t index);
    void append(uint32_t rawTimestamp, double tick0);
    void moveOntoTick0(uint64_t index, double tick0);
    // Tick zero of the latest time packet, decoded once when it arrives, so
    // packets timed against it decode nothing (bench_kora's parse holds this).
    double lastTick0() const { return lastTimePktTick0_; }

    uint64_t pktCnt_ = 0;
    GseLib::TMPacketPtr t0Pkt_;
    bool needT0Pkt_ = true;
    double estimatedT0InUnixTime_ = 0.0;
    uint64_t t0InTicks_ = 0;
    uint64_t t0Index_ = 0;
    double estimatedUnixTimeForFirstTick0_ = 0.0;
    LastSeenTicks lastSeenTicks;
    std::vector<uint64_t> indexesAwaitingTimePkt_;
    bool resetNeedsToBeResolved_ = true;
    bool needFirstTimePkt_ = true;
    double largestUnixTimestampSeenSoFar_ = 0.0;
    GseLib::TMPacketPtr lastTimePkt_;
    int32_t numTimesTimestampsWereCorrected_ = 0;
    bool type10NeedsCorrection_ = true;
    bool type45NeedsCorrection_ = true;
    bool type46NeedsCorrection_ = true;
    bool lastType7PktHadNoTime_ = false;
    std::vector<uint64_t> preSyncType10Indexes_;
    std::vector<uint64_t> preSyncType45Indexes_;
    std::vector<uint64_t> preSyncType46Indexes_;
    std::vector<uint64_t> gseIndexesAwaitingTimePkt_;
    std::vector<PacketTimeValues> pktTimeVector_;
    double lastTimePktTick0_ = 0.0;
};

} // namespace KorGse
