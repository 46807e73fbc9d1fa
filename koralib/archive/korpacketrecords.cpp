#include "koralib/archive/korpacketrecords.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/archive/dataarea.h"

#include <utility>

namespace KorGse {

using GseLib::DataInterpretation;
using GseLib::DataItems;

namespace {

// A hand-made packet may have no time resolver: its times read 0, as in a
// summed scan, rather than dereferencing nothing.
double relativeTimeOf(const GseLib::TMPacket& packet)
{
    return packet.timeResolver ? packet.relativeTime() : 0.0;
}

} // namespace

double firstDecodedValue(int id, const GseLib::TMPacket* packet)
{
    DataItems items;
    if (!DataInterpretation::current()->decodePacket(id, packet, items, true, nullptr) || items.empty())
        return 0.0;
    return items.front().toDouble();
}

SciDataPacket::SciDataPacket(std::shared_ptr<GseLib::TMPacket> packet)
{
    if (!packet)
        return;
    const DataInterpretation* hub = DataInterpretation::current();
    // A short packet reads its missing bytes as 0: numBins keeps its rule and
    // the missing bins count 0.
    const DataArea d(packet.get());
    rawTimestamp = packet->rawTimestamp();
    relativeTime = relativeTimeOf(*packet);
    unixTime = packet->timeResolver ? packet->unixTime() : 0.0;
    startBin = uint16_t(d.be16(6) - 1);
    numBins = uint16_t(d.be16(4) - 9);
    if (numBins >= MAX_BINS)
        numBins = MAX_BINS;
    endBin = uint16_t(startBin + numBins);
    rfAmpRaw = d.be16(8);
    rfAmp = hub->convertValue(351, rfAmpRaw, Gse::Sci, nullptr);
    rfAmpDacRaw = d.be16(10);
    rfAmpDac = hub->convertValue(352, rfAmpDacRaw, Gse::Sci, nullptr);
    auxAmpDacRaw = d.be16(12);
    auxAmpDac = hub->convertValue(353, auxAmpDacRaw, Gse::Sci, nullptr);
    dataByte14 = d.u8(14);
    const size_t present = d.size() > 15 ? d.size() - 15 : 0;
    const size_t inData = present < numBins ? present : numBins;
    const uint8_t* bins = d.data() ? d.data() + 15 : nullptr;
    for (size_t i = 0; i < inData; ++i) {
        const double c = bins[i];
        counts[i] = c;
        totalCounts += c;
        if (c > maxCount)
            maxCount = c;
    }
}

namespace {

// The items of one data item and their science values, when the database has the row.
void readEmon(const DataInterpretation* hub, unsigned int id, const GseLib::TMPacket* packet,
              std::vector<GseLib::DataItem>& items, std::vector<GseLib::DataItem>& sciItems, std::string& units)
{
    const GseLib::TelemetryDatabase* db = hub->db();
    if (!db || !db->hasRow(id))
        return;
    const GseLib::TmDatabaseRow& row = db->row(id);
    hub->decodePacket(row, packet, items, true, nullptr);
    sciItems.reserve(items.size());
    for (const GseLib::DataItem& item : items) {
        GseLib::DataItem sci = item;
        sci.value = row.convertValue(item.toDouble(), Gse::Sci);
        sciItems.push_back(std::move(sci));
    }
    units = row.sciUnits;
}

} // namespace

SebHK::SebHK() = default;

SebHK::SebHK(std::shared_ptr<GseLib::TMPacket> packet)
{
    if (!packet)
        return;
    const DataInterpretation* hub = DataInterpretation::current();
    pktIndex = packet->index;
    rawTimestamp = packet->rawTimestamp();
    relativeTime = relativeTimeOf(*packet);
    readEmon(hub, 17, packet.get(), emonAItems, emonASciItems, emonAUnits);
    readEmon(hub, 18, packet.get(), emonBItems, emonBSciItems, emonBUnits);
    isFilAOn = hub->getValue(105, packet.get(), Gse::Raw, nullptr, true, nullptr) > 0.0;
    isFilBOn = hub->getValue(102, packet.get(), Gse::Raw, nullptr, true, nullptr) > 0.0;
}

SebHK::SebHK(const SebHK& other) = default;
SebHK::SebHK(SebHK&& other) noexcept = default;
SebHK& SebHK::operator=(const SebHK& other) = default;
SebHK& SebHK::operator=(SebHK&& other) noexcept = default;
SebHK::~SebHK() = default;

LaserPulsesPacket::LaserPulsesPacket(std::shared_ptr<GseLib::TMPacket> packet)
{
    if (!packet)
        return;
    const DataInterpretation* hub = DataInterpretation::current();
    pktIndex = packet->index;
    rawTimestamp = packet->rawTimestamp();
    relativeTime = relativeTimeOf(*packet);
    DataItems items;
    if (hub->decodePacket(1087, packet.get(), items, true, nullptr)) {
        pulseValues.reserve(qsizetype(items.size()));
        for (const GseLib::DataItem& item : items) {
            const double v = item.toDouble();
            pulseValues.append(v);
            pulseValuesSum += v;
        }
    }
    avgEnergy = firstDecodedValue(1089, packet.get());
    item1090Value = firstDecodedValue(1090, packet.get());
    item1091Value = firstDecodedValue(1091, packet.get());
    sdEnergy = firstDecodedValue(1092, packet.get());
}

LaserStatusPacket::LaserStatusPacket(std::shared_ptr<GseLib::TMPacket> packet)
{
    if (!packet)
        return;
    pktIndex = packet->index;
    rawTimestamp = packet->rawTimestamp();
    relativeTime = relativeTimeOf(*packet);
    statusValue = DataInterpretation::current()->getValue(1093, packet.get(), Gse::Sci, nullptr, true, nullptr);
}

GcHkPacket::GcHkPacket(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    if (packet)
        pktIndex = packet->index;
}

} // namespace KorGse
