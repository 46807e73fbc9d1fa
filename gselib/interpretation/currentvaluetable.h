#pragma once
// The current value table: for tracked data items the latest packet that
// carried each, so their values can be decoded again at any time, and for
// items with the history flag a rolling history of science values. Decoders
// that need values from other packets get it through the decode road (the
// history decoders read history(id)). Its state saves to and restores from a
// byte array (0xDEADBEEF, version 2). Uses, never owns, one hub.
#include "gselib/interpretation/history.h"
#include "gselib/interpretation/valuemode.h"
#include "gselib/packets/tmpacket.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace GseLib {

class DataInterpretation;
class TimeResolver;
struct DataItem;

class CurrentValueTable
{
public:
    struct CvtItem
    {
        std::shared_ptr<TMPacket> packet; // latest packet of the item's APID; empty until one arrives
        bool history = false;             // whether the item keeps a rolling history
        Zevo::History values;             // its id is the data id decoded for the history

        bool operator==(const CvtItem& other) const;
        bool operator!=(const CvtItem& other) const { return !(*this == other); }
    };

    // Builds the packet of one saved record (whole packet bytes, packet index 0).
    using PacketMaker = std::function<std::shared_ptr<TMPacket>(ByteVectorPtr bytes, const TimeResolver* resolver)>;

    static constexpr quint32 STATE_MARKER = 0xDEADBEEF;
    static constexpr qint32 STATE_VERSION = 2;

    explicit CurrentValueTable(const DataInterpretation& interp);

    const DataInterpretation& dataInterp() const { return interp_; }

    // Lists `id` under its row's PACKET_TYPE. False, nothing changed, when the
    // hub's database has no such row; true (and no second entry) when listed.
    bool track(int id);
    // Lists statistic row `id` and gives it a history of valueId's science
    // values with the given limits (replacing an earlier one). False, nothing
    // changed, when either row is missing or their PACKET_TYPEs differ.
    bool trackHistory(int id, int valueId, unsigned long maxCount, double maxSpan);

    // Files a packet under every id listed for its APID; adds history pairs.
    void update(const std::shared_ptr<TMPacket>& packet);

    std::shared_ptr<TMPacket> packet(int id) const;
    std::shared_ptr<TMPacket> firstPacket() const;
    bool hasValue(int id) const;
    // getValue of the item's latest packet (conditions checked); unknown id:
    // 0 and *ok false. `ok` may be null.
    double value(int id, Gse::ValueMode mode, bool* ok) const;
    bool decodePacket(int id, std::vector<DataItem>& items, bool checkApplyWhen) const;
    // The first item's text when it decodes to text; else empty, *ok false. `ok` may be null.
    std::string stringValue(int id, bool* ok) const;

    // Throws std::out_of_range("unordered_map::at: key not found") for an untracked id.
    Zevo::History& history(int id);
    const Zevo::History& history(int id) const;

    void clear();

    std::vector<int> apids() const;
    int numTrackedApids() const { return int(tracking_.size()); }
    std::vector<int> mnemonicIds() const;
    int numTrackedMnemonics() const { return int(items_.size()); }
    std::vector<int> historyMnemonicIds() const;
    int numTrackedHistoryMnemonics() const;

    QByteArray saveState() const;
    // Packets come back as CCSDS packets. False, table unchanged, for empty or
    // damaged data or a null resolver.
    bool restoreState(const QByteArray& data, const TimeResolver* resolver);
    // The same with packets of the family `maker` builds (TOM archives).
    bool restoreState(const QByteArray& data, const TimeResolver* resolver, const PacketMaker& maker);

    bool operator==(const CurrentValueTable& other) const;
    bool operator!=(const CurrentValueTable& other) const { return !(*this == other); }

    const std::unordered_map<int, std::vector<int>>& trackingMap() const { return tracking_; }
    const std::unordered_map<int, CvtItem>& items() const { return items_; }

private:
    // Adds id to the APID's list unless it is there already.
    void list(int apid, int id);

    const DataInterpretation& interp_;
    std::unordered_map<int, std::vector<int>> tracking_; // APID -> data ids its packets carry
    std::unordered_map<int, CvtItem> items_;             // data id -> item
};

// Each APID (ascending) whose first listed id holds a packet, one per line.
std::ostream& operator<<(std::ostream& out, const CurrentValueTable& table);

} // namespace GseLib
