#pragma once
// The process-wide interpretation hub through which data items are decoded.
// It owns the telemetry database, the DAC table, the packet-type table and
// the decoder table (indexed by decode type); current() reaches it. Every
// value read of the library (time resolvers, caches, current values, message
// log, instrument code, the Python face) goes through its decode road.
#include "gselib/interpretation/dataitem.h"
#include "gselib/interpretation/itemseries.h"
#include "gselib/interpretation/packettypes.h"
#include "gselib/interpretation/valuemode.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PluginManager;

namespace GseLib {

class TelemetryDatabase;
class TmDatabaseRow;
class DacTable;
class CurrentValueTable;
class TMPacket;
class DataInterpretation;

// The decoder of one decode type; filed in the hub's decoder table under type().
class Decoder
{
public:
    virtual ~Decoder();
    virtual int type() const = 0;
    virtual QString name() const;
    // Appends the row's samples found in the packet; success is judged by the list.
    virtual bool decode(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                        const CurrentValueTable* values) const = 0;

    DataInterpretation* dataInterp = nullptr; // the hub that filed it; not owned
};

// Makes an instrument's hub.
class DataInterpretationFactory
{
public:
    virtual ~DataInterpretationFactory();
    virtual std::unique_ptr<DataInterpretation> make() = 0;
};

class DataInterpretation
{
public:
    static constexpr int INITIAL_DECODER_SLOTS = 500;
    // Decode types are 16-bit in the definitions; a decoder claiming a larger
    // type would make the table as long as its claim, so it is refused.
    static constexpr int MAX_DECODER_TYPE = 65535;
    // Nested decodes (a decoder that decodes another row) deeper than this end
    // with a warning, so rows that name each other cannot overflow the stack.
    static constexpr int MAX_DECODE_DEPTH = 16;

    DataInterpretation();
    virtual ~DataInterpretation();
    DataInterpretation(const DataInterpretation&) = delete;
    DataInterpretation& operator=(const DataInterpretation&) = delete;

    // The owned database; never null.
    virtual TelemetryDatabase* db() const;
    // Loads plugins, decoders, database, DAC table and packet types, in that order.
    virtual void loadDatabase(const QList<QString>& files, bool addDefault, const QString& dacFile);
    // The default database patched with the upper-cased dotted parts of `name`
    // from the third on ("a.b.c.d" patches with C and D).
    virtual void loadDatabaseByExtensions(const std::string& name);
    virtual void populateCustomDecoders();
    virtual void populateDacTable(DacTable& table, const QString& path);

    // Replaces the current hub (made by the factory, else a default hub) and,
    // with `load` set, loads it.
    static void init(DataInterpretationFactory* factory, bool load, PluginManager* pluginManager,
                     QList<QString> files);
    // The current hub; throws std::runtime_error when none was built.
    static DataInterpretation* current();
    // Advances on every init, load and offset move, so caches built over the
    // hub's rows (the message log) know when to take them again.
    static uint64_t generation();

    void setPluginManager(PluginManager* manager) { pluginManager = manager; }
    PluginManager* plugins() const { return pluginManager; }
    // Rebuilds the decoder table: custom decoders first, then every decoder plugin's.
    void loadDecoderPlugins(PluginManager* manager);
    // Files a decoder under its type, growing the table as needed; takes
    // ownership. A type below 0 or above MAX_DECODER_TYPE is refused with a
    // warning and the decoder deleted.
    void addDecoder(Decoder* decoder);
    QString decoderName(int type) const;
    void populateDecoders() { populateCustomDecoders(); }
    const std::vector<std::shared_ptr<Decoder>>& decoderTable() const { return decoders; }
    // Moves every row's sample offsets by n bytes (and DECODE_ID1 of decode type 2).
    void updatePktOffsets(int n);

    // The database file for `time` below the dated sub-folders of `folder`
    // (default: tm_definitions + "/versions/"); empty when none is readable.
    QString findDatabaseByTime(const QDateTime& time, const QString& folder, const QString& filter,
                               const QString& dateFormat);
    bool loadDatabaseByTime(const QDateTime& time, const QString& folder, const QString& filter,
                            const QString& dateFormat);

    // Decoding. All are const, never throw for bad data, and report by result
    // or ok; only std::out_of_range is caught (logged in "decode"). An int data
    // id is read as unsigned 32 bits; a name is SUB_SYSTEM ":" NAME, unknown
    // when the database has no such key. decodePacket and getData succeed when
    // they appended to the list.
    bool decodePacket(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items, bool checkApplyWhen,
                      const CurrentValueTable* values) const;
    bool decodePacket(int id, const TMPacket* packet, DataItems& items, bool checkApplyWhen,
                      const CurrentValueTable* values) const;
    bool decodePacket(const char* name, const TMPacket* packet, DataItems& items, bool checkApplyWhen,
                      const CurrentValueTable* values) const;
    bool getData(int id, const TMPacket* packet, DataItems& items, Gse::ValueMode mode, bool checkApplyWhen,
                 const CurrentValueTable* values) const;
    // The first decoded sample of data item `id` of the packet, converted to
    // `mode`; 0 with *ok false when nothing decodes.
    double getValue(int id, const TMPacket* packet, Gse::ValueMode mode, bool* ok, bool checkApplyWhen,
                    const CurrentValueTable* values) const;
    double getValue(const char* name, const TMPacket* packet, Gse::ValueMode mode, bool* ok, bool checkApplyWhen,
                    const CurrentValueTable* values) const;
    std::string stringValue(int id, const TMPacket* packet, bool* ok, bool checkApplyWhen,
                            const CurrentValueTable* values) const;
    std::string stringValue(const char* name, const TMPacket* packet, bool* ok, bool checkApplyWhen,
                            const CurrentValueTable* values) const;
    double convertValue(int id, double value, Gse::ValueMode mode, bool* ok) const;
    double convertValue(const char* name, double value, Gse::ValueMode mode, bool* ok) const;

    // One data item read from the packets at positions [first, end) of
    // `packets` (both clamped to its size) and appended to `out`, as a
    // packet's list of values reads it one packet at a time: decodePacket with
    // the applicability conditions tested and no current-value table, each
    // sample's number (DataItem::toDouble) converted by the row to `mode`, a
    // NaN dropped. The packet's position in `packets` goes with each sample.
    // A text sample ends the fill (TextSample), as does an id no row has
    // (UnknownItem); either way, and on an exception, `out` keeps only what
    // it held before. Allocates only to grow `out` (reserved from the first
    // packet that gives samples and the count of packets of the row's type)
    // and one item list; bench_decode's BM_ItemSeries holds this line. The
    // reservation is bounded (ItemSeries::MAX_RESERVE).
    ItemSeries::Outcome itemSeries(uint32_t id, const std::vector<std::shared_ptr<TMPacket>>& packets,
                                   size_t first, size_t end, Gse::ValueMode mode, ItemSeries& out) const;

protected:
    std::shared_ptr<TelemetryDatabase> database;

public:
    // Public: instrument code reads DAC rows through the current hub.
    std::shared_ptr<DacTable> dacTable;
    PacketTypes packetTypes;

protected:
    std::vector<std::shared_ptr<Decoder>> decoders;
    PluginManager* pluginManager = nullptr;
    QString pluginDir;

    static std::unique_ptr<DataInterpretation> singleton;

private:
    double rowValue(const TmDatabaseRow& row, const TMPacket* packet, Gse::ValueMode mode, bool* ok,
                    bool checkApplyWhen, const CurrentValueTable* values) const;
    std::string rowString(const TmDatabaseRow& row, const TMPacket* packet, bool* ok, bool checkApplyWhen,
                          const CurrentValueTable* values) const;
    // The row of a key, or null when the database lacks the key or its row.
    const TmDatabaseRow* rowByName(const char* name) const;
    // The database file list of a load, the definitions folder ending in "/".
    QList<QString> loadList(const QList<QString>& files, bool addDefault, const QString& definitions) const;
};

} // namespace GseLib
