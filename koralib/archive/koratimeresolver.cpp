#include "koralib/archive/koratimeresolver.h"

#include "conversion/saturatingcast.h"
#include "gselib/interpretation/datainterpretation.h"
#include "koralib/archive/dataarea.h"

#include <QString>
#include <QtCore5Compat/QRegExp>

#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace KorGse {

namespace {

constexpr int TIME_PKT = 2;
constexpr int DIGITAL_HK_PKT = 7;
constexpr int TEXT_PKT = 8;
constexpr int MARKER_PKT = 9;

double rawValue(int id, const GseLib::TMPacket* packet, bool* ok)
{
    return GseLib::DataInterpretation::current()->getValue(id, packet, Gse::Raw, ok, true, nullptr);
}

// A time item's value as the low 32 bits of it truncated to 64 bits.
uint32_t timeFieldOf(double v)
{
    return uint32_t(uint64_t(nr::truncateSaturating<int64_t>(v)));
}

uint32_t timeField(int id, const GseLib::TMPacket* packet)
{
    bool ok = false;
    return timeFieldOf(rawValue(id, packet, &ok));
}

// A type-7 packet's time items decoded once: whether one is non-zero (NaN
// counts), and the tick zero they give when one is.
bool digitalHkTick0(const GseLib::TMPacket* packet, double& tick0)
{
    double v[3];
    bool nonZero = false;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        v[i] = rawValue(526 + i, packet, &ok);
        if (ok && !(v[i] == 0.0))
            nonZero = true;
    }
    if (nonZero)
        tick0 = getRetForTick0(timeFieldOf(v[0]), timeFieldOf(v[1]), timeFieldOf(v[2])) + KORA_EPOCH_UNIX;
    return nonZero;
}

} // namespace

bool isDigitalHkPktWithNonZeroTimeFields(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    if (!packet || packet->type() != DIGITAL_HK_PKT)
        return false;
    for (int id : {526, 527, 528}) {
        bool ok = false;
        const double v = rawValue(id, packet.get(), &ok);
        if (ok && !(v == 0.0)) // NaN is not 0
            return true;
    }
    return false;
}

bool isTimePkt(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    return isDigitalHkPktWithNonZeroTimeFields(packet) || (packet && packet->type() == TIME_PKT);
}

void getTimeFields(const std::shared_ptr<GseLib::TMPacket>& packet, uint32_t& seconds, uint32_t& subSeconds,
                   uint32_t& ticks)
{
    const int type = packet ? packet->type() : -1;
    if (type == DIGITAL_HK_PKT) {
        seconds = timeField(526, packet.get());
        subSeconds = timeField(527, packet.get());
        ticks = timeField(528, packet.get());
    } else if (type == TIME_PKT) {
        seconds = timeField(550, packet.get());
        subSeconds = timeField(551, packet.get());
        ticks = timeField(552, packet.get());
    } else if (type == MARKER_PKT) {
        // A short packet reads its missing bytes as 0.
        const DataArea d(packet.get());
        seconds = d.be32(0);
        subSeconds = d.be16(4);
        ticks = packet->rawTimestamp();
    } else {
        throw std::domain_error("getTimeFields() was passed a non-time packet");
    }
}

double getRetForTick0(uint32_t seconds, uint32_t subSeconds, uint32_t ticks)
{
    return ticks / -10000.0 + (subSeconds * SUBSECOND + seconds);
}

double getRetForTick0(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    uint32_t s = 0;
    uint32_t ss = 0;
    uint32_t t = 0;
    getTimeFields(packet, s, ss, t);
    return getRetForTick0(s, ss, t);
}

double getUnixTimeForTick0(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    return getRetForTick0(packet) + KORA_EPOCH_UNIX;
}

double retToUnixTime(double ret)
{
    return ret + KORA_EPOCH_UNIX;
}

double convertPktTimestampToUnixTime(const std::shared_ptr<GseLib::TMPacket>& packet, double unixTimeForTick0)
{
    return unixTimeForTick0 + packet->rawTimestamp() / 10000.0;
}

bool isBootLoaderPkt(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    if (!packet || packet->type() != TEXT_PKT)
        return false;
    // QRegExp's '.' also matches line ends, which the messages may hold.
    static const QRegExp bootLoader(QStringLiteral(".*KORA.*CDH.*Boot.*Loader.*"), Qt::CaseSensitive,
                                    QRegExp::RegExp);
    const DataArea d(packet.get());
    const char* text = reinterpret_cast<const char*>(d.data());
    size_t n = d.size();
    if (text) {
        if (const void* zero = std::memchr(text, 0, n))
            n = size_t(static_cast<const char*>(zero) - text);
    }
    return bootLoader.exactMatch(QString::fromLatin1(text, qsizetype(n)));
}

uint64_t LastSeenTicks::get(int type) const
{
    if (type >= 0 && type < DIRECT)
        return generationOf_[size_t(type)] == generation_ ? ticks_[size_t(type)] : 0;
    const auto it = others_.find(type);
    return it == others_.end() ? 0 : it->second;
}

void LastSeenTicks::set(int type, uint64_t ticks)
{
    if (type >= 0 && type < DIRECT) {
        if (generationOf_[size_t(type)] != generation_) {
            generationOf_[size_t(type)] = generation_;
            ++count_;
        }
        ticks_[size_t(type)] = ticks;
        return;
    }
    others_[type] = ticks;
}

void LastSeenTicks::clear()
{
    count_ = 0;
    if (++generation_ == 0) { // wrapped: no stale entry may match
        generationOf_.fill(0);
        generation_ = 1;
    }
    if (!others_.empty())
        others_.clear();
}

KoraTimeResolver::KoraTimeResolver()
{
    resetState();
    if (pktTimeVector_.capacity() < RESERVED_ENTRIES)
        pktTimeVector_.reserve(RESERVED_ENTRIES);
}

KoraTimeResolver::~KoraTimeResolver() = default;

void KoraTimeResolver::resetState()
{
    t0Pkt_.reset();
    pktCnt_ = 0;
    t0InTicks_ = 0;
    t0Index_ = 0;
    numTimesTimestampsWereCorrected_ = 0;
    largestUnixTimestampSeenSoFar_ = 0.0;
    estimatedT0InUnixTime_ = 0.0;
    estimatedUnixTimeForFirstTick0_ = 0.0;
    needT0Pkt_ = true;
    resetNeedsToBeResolved_ = true;
    needFirstTimePkt_ = true;
    type10NeedsCorrection_ = true;
    type45NeedsCorrection_ = true;
    type46NeedsCorrection_ = true;
    lastType7PktHadNoTime_ = false;
    lastSeenTicks.clear();
    indexesAwaitingTimePkt_.clear();
    preSyncType10Indexes_.clear();
    preSyncType45Indexes_.clear();
    preSyncType46Indexes_.clear();
    gseIndexesAwaitingTimePkt_.clear();
    pktTimeVector_.clear(); // keeps the capacity
}

void KoraTimeResolver::reset()
{
    resetState();
}

void KoraTimeResolver::setT0Fallback(double t)
{
    estimatedT0InUnixTime_ = t;
    estimatedUnixTimeForFirstTick0_ = t;
    largestUnixTimestampSeenSoFar_ = t;
}

double KoraTimeResolver::ticksToSeconds(long long ticks) const
{
    return ticks / 10000.0;
}

long long KoraTimeResolver::secondsToTicks(double seconds) const
{
    return nr::truncateSaturating<long long>(seconds * 10000.0);
}

const PacketTimeValues* KoraTimeResolver::entryOf(const GseLib::TMPacket* packet) const
{
    if (!packet)
        return nullptr;
    const uint32_t i = uint32_t(packet->index);
    return i < pktTimeVector_.size() ? &pktTimeVector_[i] : nullptr;
}

double KoraTimeResolver::reference() const
{
    if (needT0Pkt_ || t0Index_ >= pktTimeVector_.size())
        return estimatedT0InUnixTime_;
    return pktTimeVector_[t0Index_].unixTime;
}

double KoraTimeResolver::unixTime(const GseLib::TMPacket* packet) const
{
    const PacketTimeValues* e = entryOf(packet);
    return e ? e->unixTime : 0.0;
}

double KoraTimeResolver::unixTime(const GseLib::TMPacket* packet, long long ticks) const
{
    const PacketTimeValues* e = entryOf(packet);
    return ticksToSeconds(ticks) + (e ? e->unixTimeForTick0 : 0.0);
}

double KoraTimeResolver::unixTimeOfT0Estimate() const
{
    return estimatedT0InUnixTime_;
}

double KoraTimeResolver::relativeTime(const GseLib::TMPacket* packet) const
{
    const PacketTimeValues* e = entryOf(packet);
    return e ? e->unixTime - reference() : 0.0;
}

double KoraTimeResolver::relativeTime(const GseLib::TMPacket* packet, long long ticks) const
{
    return unixTime(packet, ticks) - reference();
}

long long KoraTimeResolver::correctedCount() const
{
    return numTimesTimestampsWereCorrected_;
}

bool KoraTimeResolver::isSynced() const
{
    return !needFirstTimePkt_;
}

GseLib::TMPacketPtr KoraTimeResolver::t0Packet() const
{
    return t0Pkt_;
}

double KoraTimeResolver::unixTimeForTick0(uint32_t index) const
{
    return index < pktTimeVector_.size() ? pktTimeVector_[index].unixTimeForTick0 : 0.0;
}

double KoraTimeResolver::relativeTimeForTick0(uint32_t index) const
{
    return index < pktTimeVector_.size() ? pktTimeVector_[index].unixTimeForTick0 - reference() : 0.0;
}

void KoraTimeResolver::append(uint32_t rawTimestamp, double tick0)
{
    pktTimeVector_.push_back(PacketTimeValues{rawTimestamp / 10000.0 + tick0, tick0});
}

void KoraTimeResolver::moveOntoTick0(uint64_t index, double tick0)
{
    PacketTimeValues& e = pktTimeVector_[index];
    const double d = tick0 - e.unixTimeForTick0;
    e.unixTime += d;
    e.unixTimeForTick0 += d;
}

void KoraTimeResolver::recordLargest(uint64_t index)
{
    if (pktTimeVector_[index].unixTime > largestUnixTimestampSeenSoFar_)
        largestUnixTimestampSeenSoFar_ = pktTimeVector_[index].unixTime;
}

void KoraTimeResolver::addToPktTimeVector(const GseLib::TMPacketPtr& packet, const GseLib::TMPacketPtr& timePacket)
{
    append(packet->rawTimestamp(), getUnixTimeForTick0(timePacket));
}

void KoraTimeResolver::alterPktTimeVectorEntry(const GseLib::TMPacketPtr& timePacket, uint64_t index)
{
    if (index >= pktTimeVector_.size())
        throw std::domain_error("alterPktTimeVectorEntry() was passed an invalid index.");
    moveOntoTick0(index, getUnixTimeForTick0(timePacket));
}

void KoraTimeResolver::fudgeTimestampAndAddToPktTimeVector(const GseLib::TMPacketPtr& packet)
{
    append(packet->rawTimestamp(), largestUnixTimestampSeenSoFar_ + 10.0);
}

void KoraTimeResolver::correctGseTimestamps(std::vector<unsigned long> indexes, double step)
{
    if (indexes.empty() || pktTimeVector_.empty())
        return;
    const double newest = pktTimeVector_.back().unixTime;
    double offset = 0.0;
    for (auto it = indexes.crbegin(); it != indexes.crend(); ++it) {
        offset += step;
        if (*it >= pktTimeVector_.size())
            continue;
        PacketTimeValues& e = pktTimeVector_[*it];
        const double d = e.unixTime - e.unixTimeForTick0;
        e.unixTime = newest - offset;
        e.unixTimeForTick0 = e.unixTime - d;
    }
}

bool KoraTimeResolver::handlePacket(const GseLib::TMPacketPtr& packet)
{
    const uint64_t n = pktCnt_;
    const int type = packet->type();
    const uint32_t raw = packet->rawTimestamp();
    const bool gse = packet->isGseCreated();
    // Asked once: steps 2 to 4 all need it. A type-7 packet's three time items
    // are decoded once for both the test and its tick zero.
    double hkTick0 = 0.0;
    const bool hkTime = type == DIGITAL_HK_PKT && digitalHkTick0(packet.get(), hkTick0);
    const bool timePkt = hkTime || type == TIME_PKT;

    if (needT0Pkt_ && !gse) {
        needT0Pkt_ = false;
        t0Pkt_ = packet;
        t0Index_ = n;
        t0InTicks_ = raw;
    }
    if (timePkt) {
        lastTimePkt_ = packet;
        lastTimePktTick0_ = hkTime ? hkTick0 : getUnixTimeForTick0(packet);
    }
    if (type == DIGITAL_HK_PKT)
        lastType7PktHadNoTime_ = !hkTime;

    if (needFirstTimePkt_ && timePkt) {
        needFirstTimePkt_ = false;
        const double tick0 = lastTick0();
        append(raw, tick0);
        largestUnixTimestampSeenSoFar_ = 0.0;
        for (uint64_t i = 0; i < pktTimeVector_.size(); ++i) {
            moveOntoTick0(i, tick0);
            recordLargest(i);
        }
        if (pktTimeVector_.size() >= 2 && !needT0Pkt_ && t0Index_ < pktTimeVector_.size()) {
            const PacketTimeValues t0 = pktTimeVector_[t0Index_];
            pktTimeVector_[0] = t0;
            pktTimeVector_[1] = t0;
        }
        resetNeedsToBeResolved_ = false;
        ++numTimesTimestampsWereCorrected_;
    } else if (needFirstTimePkt_) {
        append(raw, estimatedUnixTimeForFirstTick0_);
        if (type == 45)
            preSyncType45Indexes_.push_back(n);
        else if (type == 46)
            preSyncType46Indexes_.push_back(n);
        else if (type == 10 || type == 74 || type == 138)
            preSyncType10Indexes_.push_back(n);
    } else if (gse) {
        append(raw, lastTick0());
        recordLargest(n);
        if ((lastType7PktHadNoTime_ && !needT0Pkt_) || (resetNeedsToBeResolved_ && type == 46))
            gseIndexesAwaitingTimePkt_.push_back(n);
    } else if (!timePkt) {
        const bool resetSign = lastSeenTicks.get(type) > raw || type == DIGITAL_HK_PKT || isBootLoaderPkt(packet);
        if (resetSign && !resetNeedsToBeResolved_) {
            resetNeedsToBeResolved_ = true;
            lastSeenTicks.clear();
        }
        if (!resetNeedsToBeResolved_) {
            append(raw, lastTick0());
            recordLargest(n);
        } else {
            fudgeTimestampAndAddToPktTimeVector(packet);
            indexesAwaitingTimePkt_.push_back(n);
        }
    } else {
        const double tick0 = lastTick0();
        append(raw, tick0);
        recordLargest(n);
        if (resetNeedsToBeResolved_) {
            for (uint64_t i : indexesAwaitingTimePkt_) {
                moveOntoTick0(i, tick0);
                recordLargest(i);
            }
            indexesAwaitingTimePkt_.clear();
            resetNeedsToBeResolved_ = false;
            ++numTimesTimestampsWereCorrected_;
        }
        if (!gseIndexesAwaitingTimePkt_.empty()) {
            for (uint64_t i : gseIndexesAwaitingTimePkt_) {
                moveOntoTick0(i, tick0);
                recordLargest(i);
            }
            gseIndexesAwaitingTimePkt_.clear();
            ++numTimesTimestampsWereCorrected_;
        }
    }

    if (!resetNeedsToBeResolved_) {
        if (type == 10 && type10NeedsCorrection_) {
            correctGseTimestamps(preSyncType10Indexes_, 1.0);
            type10NeedsCorrection_ = false;
            ++numTimesTimestampsWereCorrected_;
        } else if (type == 45 && type45NeedsCorrection_) {
            correctGseTimestamps(preSyncType45Indexes_, 1.0);
            type45NeedsCorrection_ = false;
            ++numTimesTimestampsWereCorrected_;
        } else if (type == 46 && type46NeedsCorrection_) {
            correctGseTimestamps(preSyncType46Indexes_, 1.0);
            type46NeedsCorrection_ = false;
            ++numTimesTimestampsWereCorrected_;
        }
    }

    lastSeenTicks.set(type, raw);
    ++pktCnt_;
    return true;
}

void KoraTimeResolver::testPrint() const
{
    const auto precision = std::cout.precision(16);
    std::cout << "\n"
              << "estimatedT0InUnixTime_:           " << estimatedT0InUnixTime_ << "\n"
              << "t0InTicks_:                       " << t0InTicks_ << "\n"
              << "t0Index_:                         " << t0Index_ << "\n"
              << "needT0Pkt_:                       " << needT0Pkt_ << "\n"
              << "lastSeenTicks.isEmpty():          " << lastSeenTicks.empty() << "\n"
              << "resetNeedsToBeResolved_:          " << resetNeedsToBeResolved_ << "\n"
              << "needFirstTimePkt_:                " << needFirstTimePkt_ << "\n"
              << "numTimesTimestampsWereCorrected_: " << numTimesTimestampsWereCorrected_ << "\n"
              << "largestUnixTimestampSeenSoFar_:   " << largestUnixTimestampSeenSoFar_ << "\n"
              << "estimatedUnixTimeForFirstTick0_:  " << estimatedUnixTimeForFirstTick0_ << "\n"
              << "pktTimeVector_.size():            " << pktTimeVector_.size() << "\n"
              << "pktCnt_:                          " << pktCnt_ << "\n"
              << "\n";
    std::cout.precision(precision);
}

} // namespace KorGse
