#include "gselib/interpretation/currentvaluetable.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolver.h"

#include <QDataStream>
#include <QIODevice>
#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace GseLib {

namespace {

// Shorter packets have no CCSDS primary header to take the APID from.
constexpr qint64 MIN_PACKET_LENGTH = 6;
// APID, seconds, milliseconds and length of one saved packet record.
constexpr qint64 RECORD_HEADER_SIZE = 4 + 4 + 2 + 4;
constexpr quint32 NULL_ARRAY_LENGTH = 0xFFFFFFFF;

const char* const KEY_NOT_FOUND = "unordered_map::at: key not found";

// Milliseconds truncated toward zero into the 16-bit field; out of range clamps.
qint16 millisecondsField(double ms)
{
    if (std::isnan(ms))
        return 0;
    if (ms >= 32767.0)
        return 32767;
    if (ms <= -32768.0)
        return -32768;
    return qint16(std::trunc(ms));
}

size_t byteCount(const TMPacket& p)
{
    return p.bytes ? p.bytes->size() : 0;
}

bool sameBytes(const TMPacket& a, const TMPacket& b)
{
    if (byteCount(a) != byteCount(b))
        return false;
    return byteCount(a) == 0 || *a.bytes == *b.bytes;
}

std::shared_ptr<TMPacket> makeCcsds(ByteVectorPtr bytes, const TimeResolver* resolver)
{
    return std::make_shared<CcsdsPacket>(std::move(bytes), 0, resolver);
}

qint64 remaining(const QDataStream& in)
{
    return in.device()->bytesAvailable();
}

} // namespace

bool CurrentValueTable::CvtItem::operator==(const CvtItem& o) const
{
    if (bool(packet) != bool(o.packet))
        return false;
    if (packet &&
        (!sameBytes(*packet, *o.packet) || packet->groundSeconds != o.packet->groundSeconds ||
         packet->groundMs != o.packet->groundMs))
        return false;
    return history == o.history && values == o.values;
}

CurrentValueTable::CurrentValueTable(const DataInterpretation& interp) : interp_(interp) {}

void CurrentValueTable::list(int apid, int id)
{
    std::vector<int>& ids = tracking_[apid];
    if (std::find(ids.begin(), ids.end(), id) == ids.end())
        ids.push_back(id);
}

bool CurrentValueTable::track(int id)
{
    const TelemetryDatabase* db = interp_.db();
    if (!db->hasRow(unsigned(id)))
        return false;
    list(int(db->row(unsigned(id)).packetType), id);
    return true;
}

bool CurrentValueTable::trackHistory(int id, int valueId, unsigned long maxCount, double maxSpan)
{
    const TelemetryDatabase* db = interp_.db();
    if (!db->hasRow(unsigned(id)) || !db->hasRow(unsigned(valueId)))
        return false;
    const uint32_t apid = db->row(unsigned(id)).packetType;
    if (db->row(unsigned(valueId)).packetType != apid)
        return false;
    list(int(apid), id);
    CvtItem& item = items_[id];
    item.history = true;
    item.values = Zevo::History(valueId, maxCount, maxSpan);
    return true;
}

void CurrentValueTable::update(const std::shared_ptr<TMPacket>& packet)
{
    if (!packet)
        return;
    int apid = 0;
    try {
        apid = packet->apid();
    } catch (const std::out_of_range&) {
        return; // too short to have a type: it carries none of our items
    }
    const auto tracked = tracking_.find(apid);
    if (tracked == tracking_.end())
        return;
    for (int id : tracked->second) {
        CvtItem& item = items_[id];
        item.packet = packet;
        if (!item.history)
            continue;
        bool ok = false;
        const double v = interp_.getValue(item.values.id(), packet.get(), Gse::Sci, &ok, true, this);
        // Without a resolver the packet has no time to file the value at.
        if (ok && packet->timeResolver)
            item.values.addValue(packet->unixTime(), v);
    }
}

std::shared_ptr<TMPacket> CurrentValueTable::packet(int id) const
{
    const auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.packet;
}

std::shared_ptr<TMPacket> CurrentValueTable::firstPacket() const
{
    for (const auto& [id, item] : items_)
        if (item.packet)
            return item.packet;
    return nullptr;
}

bool CurrentValueTable::hasValue(int id) const
{
    return items_.count(id) != 0;
}

double CurrentValueTable::value(int id, Gse::ValueMode mode, bool* ok) const
{
    const auto it = items_.find(id);
    if (it == items_.end()) {
        if (ok)
            *ok = false;
        return 0.0;
    }
    return interp_.getValue(id, it->second.packet.get(), mode, ok, true, this);
}

bool CurrentValueTable::decodePacket(int id, std::vector<DataItem>& items, bool checkApplyWhen) const
{
    const auto it = items_.find(id);
    if (it == items_.end())
        return false;
    return interp_.decodePacket(id, it->second.packet.get(), items, checkApplyWhen, this);
}

std::string CurrentValueTable::stringValue(int id, bool* ok) const
{
    DataItems items;
    const bool text = decodePacket(id, items, true) && !items.empty() && items.front().value.index() == 3;
    if (ok)
        *ok = text;
    return text ? items.front().toString() : std::string();
}

Zevo::History& CurrentValueTable::history(int id)
{
    const auto it = items_.find(id);
    if (it == items_.end())
        throw std::out_of_range(KEY_NOT_FOUND);
    return it->second.values;
}

const Zevo::History& CurrentValueTable::history(int id) const
{
    const auto it = items_.find(id);
    if (it == items_.end())
        throw std::out_of_range(KEY_NOT_FOUND);
    return it->second.values;
}

void CurrentValueTable::clear()
{
    tracking_.clear();
    items_.clear();
}

std::vector<int> CurrentValueTable::apids() const
{
    std::vector<int> out;
    out.reserve(tracking_.size());
    for (const auto& entry : tracking_)
        out.push_back(entry.first);
    return out;
}

std::vector<int> CurrentValueTable::mnemonicIds() const
{
    std::vector<int> out;
    out.reserve(items_.size());
    for (const auto& entry : items_)
        out.push_back(entry.first);
    return out;
}

std::vector<int> CurrentValueTable::historyMnemonicIds() const
{
    std::vector<int> out;
    for (const auto& [id, item] : items_)
        if (item.history)
            out.push_back(id);
    return out;
}

int CurrentValueTable::numTrackedHistoryMnemonics() const
{
    return int(std::count_if(items_.begin(), items_.end(), [](const auto& e) { return e.second.history; }));
}

QByteArray CurrentValueTable::saveState() const
{
    // One packet per APID: the list's first id speaks for the others.
    std::vector<const TMPacket*> packets;
    for (const auto& [apid, ids] : tracking_) {
        if (ids.empty())
            continue;
        const auto it = items_.find(ids.front());
        // A packet without a primary header could not be restored; it is left out.
        if (it != items_.end() && it->second.packet && byteCount(*it->second.packet) >= MIN_PACKET_LENGTH)
            packets.push_back(it->second.packet.get());
    }

    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << STATE_MARKER << STATE_VERSION << qint32(packets.size());
    for (const TMPacket* p : packets) {
        const size_t length = byteCount(*p);
        out << qint32(p->apid()) << qint32(p->groundSeconds) << millisecondsField(p->groundMs) << qint32(length);
        out.writeRawData(reinterpret_cast<const char*>(p->bytes->data()), int(length));
    }
    out << qint32(numTrackedHistoryMnemonics());
    for (const auto& [id, item] : items_)
        if (item.history)
            out << qint32(id) << item.values.saveValues();
    return bytes;
}

bool CurrentValueTable::restoreState(const QByteArray& data, const TimeResolver* resolver)
{
    return restoreState(data, resolver, PacketMaker());
}

bool CurrentValueTable::restoreState(const QByteArray& data, const TimeResolver* resolver, const PacketMaker& maker)
{
    if (data.isEmpty() || !resolver)
        return false;
    QDataStream in(data);
    quint32 marker = 0;
    qint32 version = 0;
    in >> marker >> version;
    if (in.status() != QDataStream::Ok || marker != STATE_MARKER || version < 1)
        return false;

    // Everything is read and checked before anything is applied, so damaged
    // data leaves the table as it was. Every record holds at least its header
    // bytes in the data, so no count from the data sizes a container.
    std::vector<std::shared_ptr<TMPacket>> packets;
    qint64 packetLimit = -1; // version 1: records until the data ends
    if (version >= 2) {
        qint32 n = 0;
        in >> n;
        packetLimit = std::max<qint32>(n, 0);
    }
    for (qint64 i = 0; packetLimit < 0 || i < packetLimit; ++i) {
        if (remaining(in) == 0)
            break;
        if (remaining(in) < RECORD_HEADER_SIZE)
            return false;
        qint32 apid = 0;
        qint32 seconds = 0;
        qint16 ms = 0;
        qint32 length = 0;
        in >> apid >> seconds >> ms >> length;
        if (length < MIN_PACKET_LENGTH || length > remaining(in))
            return false;
        auto bytes = makePacketBytes(size_t(length));
        if (in.readRawData(reinterpret_cast<char*>(bytes->data()), length) != length)
            return false;
        std::shared_ptr<TMPacket> p = maker ? maker(std::move(bytes), resolver) : makeCcsds(std::move(bytes), resolver);
        if (!p)
            return false;
        p->index = 0;
        p->timeResolver = resolver;
        p->groundSeconds = uint32_t(seconds);
        p->groundMs = ms;
        packets.push_back(std::move(p));
    }

    std::vector<std::pair<int, QByteArray>> histories;
    if (version >= 2 && remaining(in) >= 4) {
        qint32 n = 0;
        in >> n;
        for (qint32 i = 0; i < n; ++i) {
            if (remaining(in) == 0)
                break;
            if (remaining(in) < 8)
                return false;
            qint32 id = 0;
            quint32 length = 0;
            in >> id >> length;
            QByteArray saved;
            if (length != NULL_ARRAY_LENGTH) {
                if (qint64(length) > remaining(in))
                    return false;
                saved.resize(qsizetype(length));
                if (in.readRawData(saved.data(), int(length)) != int(length))
                    return false;
            }
            histories.emplace_back(id, std::move(saved));
        }
    }

    // Restored packets are filed like arriving ones: only tracked APIDs take them.
    for (const auto& p : packets)
        update(p);
    for (const auto& [id, saved] : histories) {
        const auto it = items_.find(id);
        if (it != items_.end()) // an id no longer tracked is skipped
            it->second.values.restoreValues(saved);
    }
    return true;
}

bool CurrentValueTable::operator==(const CurrentValueTable& o) const
{
    return tracking_ == o.tracking_ && items_ == o.items_;
}

std::ostream& operator<<(std::ostream& out, const CurrentValueTable& table)
{
    std::vector<int> apids;
    for (const auto& [apid, ids] : table.trackingMap()) {
        if (ids.empty())
            continue;
        const auto it = table.items().find(ids.front());
        if (it != table.items().end() && it->second.packet)
            apids.push_back(apid);
    }
    std::sort(apids.begin(), apids.end());
    for (int apid : apids)
        out << apid << "\n";
    return out;
}

} // namespace GseLib
