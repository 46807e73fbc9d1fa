#include "gselib/interpretation/datainterpretation.h"

#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/transferfuncfactory.h"
#include "gselib/interpretation/decodermakerinterface.h"
#include "gselib/packets/tmpacket.h"
#include "gselib/services/configvek.h"
#include "tools/logger/log.h"
#include "tools/util/pluginmanager.h"
#include "tools/util/tools.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace GseLib {

namespace {

// The hub made when no instrument factory is given.
class DefaultDataInterpretation : public DataInterpretation
{
public:
    ~DefaultDataInterpretation() override = default;
};

std::atomic<uint64_t> generationCounter{0};

// The decodes running on this thread and, per nesting depth, the item list
// that getValue and stringValue reuse: a value read allocates nothing once
// its list has grown (bench_decode holds this line). A decoder that reads
// another item through the hub runs one depth further in, so its list is not
// the one its caller is filling.
struct DecodeState
{
    int depth = 0;
    DataItems lists[DataInterpretation::MAX_DECODE_DEPTH + 1];
};

thread_local DecodeState decodeState;

class DepthScope
{
public:
    explicit DepthScope(int& depth) : depth_(depth) { ++depth_; }
    ~DepthScope() { --depth_; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;

private:
    int& depth_;
};

// Whether the row's samples are read from a packet of this type and subtype.
bool rowTakesPacket(const TmDatabaseRow& row, const TMPacket& packet)
{
    if (static_cast<uint32_t>(packet.type()) != row.packetType)
        return false;
    return row.packetSubtype == 0 || static_cast<uint32_t>(packet.subType()) == row.packetSubtype;
}

QString defaultGroup()
{
    return ConfigVek::getDefaultGroup();
}

// The file in the path's folder whose name equals the path's file name
// ignoring case, in the entry's own letter case; empty when there is none.
QString findFileCaseInsensitive(const QString& path)
{
    const QFileInfo info(path);
    const QDir folder = info.dir();
    const QString name = info.fileName();
    const QStringList entries = folder.entryList(QDir::Files, QDir::Unsorted);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return folder.filePath(entry);
    }
    return QString();
}

} // namespace

std::unique_ptr<DataInterpretation> DataInterpretation::singleton;

Decoder::~Decoder() = default;

QString Decoder::name() const
{
    return QString();
}

DataInterpretationFactory::~DataInterpretationFactory() = default;

DataInterpretation::DataInterpretation()
    : database(std::make_shared<TelemetryDatabase>()), dacTable(std::make_shared<DacTable>()),
      decoders(INITIAL_DECODER_SLOTS)
{
}

// Members go in reverse order: the decoders first, the database last.
DataInterpretation::~DataInterpretation() = default;

TelemetryDatabase* DataInterpretation::db() const
{
    return database.get();
}

uint64_t DataInterpretation::generation()
{
    return generationCounter.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------- start-up

void DataInterpretation::init(DataInterpretationFactory* factory, bool load, PluginManager* pluginManager,
                              QList<QString> files)
{
    std::unique_ptr<DataInterpretation> hub;
    if (factory) {
        hub = factory->make();
        // A factory that makes nothing leaves the current hub in place.
        if (!hub)
            throw std::runtime_error("The data interpretation factory made no hub");
    } else {
        LOG_DEBUG("tmdb", "Using default data interpretation class");
        hub = std::make_unique<DefaultDataInterpretation>();
    }
    // The previous hub goes before anything is loaded into the new one.
    singleton = std::move(hub);
    generationCounter.fetch_add(1, std::memory_order_relaxed);
    singleton->setPluginManager(pluginManager);
    if (load)
        singleton->loadDatabase(files, true, QString());
}

DataInterpretation* DataInterpretation::current()
{
    if (!singleton)
        throw std::runtime_error("DataInterpretation singleton was not initialized!");
    return singleton.get();
}

QList<QString> DataInterpretation::loadList(const QList<QString>& files, bool addDefault,
                                            const QString& definitions) const
{
    QList<QString> list;
    if (addDefault)
        list << ConfigVek::getTmDatabasePath(defaultGroup());
    for (const QString& file : files) {
        if (QFileInfo(file).isAbsolute()) {
            list << file;
            continue;
        }
        QString found = findFileCaseInsensitive(definitions + file);
        if (found.isEmpty())
            found = findFileCaseInsensitive(definitions + file + QStringLiteral(".txt"));
        if (found.isEmpty()) {
            LOG_WARN("tmdb", "Patch file doesn't exist:" << QFileInfo(file).absoluteFilePath());
            continue;
        }
        list << found;
    }
    return list;
}

void DataInterpretation::loadDatabase(const QList<QString>& files, bool addDefault, const QString& dacFile)
{
    generationCounter.fetch_add(1, std::memory_order_relaxed);
    // Only the given list decides, not the default database.
    const bool json = !files.isEmpty() && files.first().endsWith(QLatin1String(".json"));
    const QString definitions = ConfigVek::getTmDefinitionsDir(defaultGroup()) + QLatin1Char('/');
    const QList<QString> list = loadList(files, addDefault, definitions);

    // Decoders and rows run code of the plugins (decoder classes, transfer
    // functions of maker plugins): they go before the plugins are unloaded.
    decoders.clear();
    database->clear();

    if (!pluginManager) {
        LOG_WARN("tmdb", "No plugin manager: plugins not loaded");
        loadDecoderPlugins(nullptr); // the instrument's own decoders all the same
    } else {
        if (!pluginDir.isEmpty())
            pluginManager->unloadPlugins(QStringList{pluginDir});
        // Without a database file the definitions folder stands for the first one's.
        const QString base = list.isEmpty() ? QDir(definitions).absolutePath() : QFileInfo(list.first()).absolutePath();
        pluginDir = base + QStringLiteral("/plugins/macos");
        pluginManager->loadPlugins(pluginDir);
        TransferFuncFactory::instance()->loadTransferFuncPlugins(pluginManager);
        loadDecoderPlugins(pluginManager);
    }

    database->load(list, definitions);

    dacTable->clear();
    populateDacTable(*dacTable, dacFile.isEmpty() ? ConfigVek::getDacFilePath(defaultGroup()) : dacFile);

    QString typesPath;
    if (!list.isEmpty()) {
        const QString candidate = QFileInfo(list.first()).absolutePath() + QStringLiteral("/tm_packet_types.txt");
        if (QFileInfo::exists(candidate))
            typesPath = candidate;
    }
    if (typesPath.isEmpty())
        typesPath = ConfigVek::getTmDefinitionsDir(defaultGroup()) + QStringLiteral("/tm_packet_types.txt");
    LOG_DEBUG("tmdb", "Loading packet properties: " << typesPath);
    if (json) {
        packetTypes.load(database->packetTypeLines(), this);
        packetTypes.setSource(files.first());
    } else
        packetTypes.load(typesPath, this);

    for (unsigned int type : database->usedDecoderTypes()) {
        if (type >= decoders.size() || !decoders[type])
            LOG_WARN("tmdb", "Unsupported decoder type: " << type);
    }
    generationCounter.fetch_add(1, std::memory_order_relaxed);
}

void DataInterpretation::loadDatabaseByExtensions(const std::string& name)
{
    const QStringList parts = QString::fromUtf8(name.c_str()).split(QLatin1Char('.'), Qt::SkipEmptyParts);
    QList<QString> patches;
    for (qsizetype i = 2; i < parts.size(); ++i)
        patches << parts[i].toUpper();
    loadDatabase(patches, true, QString());
}

void DataInterpretation::populateCustomDecoders()
{
}

void DataInterpretation::populateDacTable(DacTable&, const QString&)
{
}

QString DataInterpretation::findDatabaseByTime(const QDateTime& time, const QString& folder,
                                               const QString& filter, const QString& dateFormat)
{
    const QString search = folder.isEmpty()
                               ? ConfigVek::getTmDefinitionsDir(defaultGroup()) + QStringLiteral("/versions/")
                               : folder;
    const QString path = Tools::findFileInLowerDir(search, time, filter, dateFormat);
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        if (info.isFile() && info.isReadable())
            return path;
    }
    LOG_WARN("tmdb", "Could not find db by time:" << time.toString(Qt::ISODateWithMs) << "in" << search);
    return QString();
}

bool DataInterpretation::loadDatabaseByTime(const QDateTime& time, const QString& folder, const QString& filter,
                                            const QString& dateFormat)
{
    const QString path = findDatabaseByTime(time, folder, filter, dateFormat);
    if (path.isEmpty())
        return false;
    loadDatabase(QList<QString>{path}, false, QString());
    return true;
}

void DataInterpretation::updatePktOffsets(int n)
{
    for (unsigned int id : database->allIds()) {
        TmDatabaseRow& row = database->row(id);
        if (row.decodeType == 2 && !row.decodeIds.empty())
            row.decodeIds[0] += static_cast<unsigned long long>(static_cast<long long>(n));
        for (uint32_t& offset : row.offsets)
            offset += static_cast<uint32_t>(n);
    }
    // Copies of the rows (the message log's) must be taken again.
    generationCounter.fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- decoders

void DataInterpretation::loadDecoderPlugins(PluginManager* manager)
{
    decoders.clear();
    populateCustomDecoders();
    if (!manager)
        return;
    int count = 0;
    for (QObject* object : manager->loadedPluginsAsQObject<DecoderMakerInterface>()) {
        auto* maker = qobject_cast<DecoderMakerInterface*>(object);
        if (!maker)
            continue;
        LOG_DEBUG("decode", "Loading decoders from plugin: "
                                << object->property(PluginManager::PROPERTY_PLUGIN_PATH).toString()
                                << " VERSION=" << object->property(PluginManager::PROPERTY_PLUGIN_VERSION).toString()
                                << " QT_VERSION="
                                << object->property(PluginManager::PROPERTY_PLUGIN_QT_VERSION).toString());
        for (Decoder* decoder : maker->makeDecoders()) {
            if (!decoder)
                continue;
            addDecoder(decoder);
            ++count;
        }
        LOG_DEBUG("decode", "Decoders loaded: " << count);
    }
}

void DataInterpretation::addDecoder(Decoder* decoder)
{
    if (!decoder)
        return;
    std::shared_ptr<Decoder> owned(decoder);
    const int t = decoder->type();
    if (t < 0 || t > MAX_DECODER_TYPE) {
        LOG_WARN("decode", "Refused decoder type " << t);
        return;
    }
    if (size_t(t) >= decoders.size())
        decoders.resize(size_t(t) + 1);
    else if (decoders[size_t(t)])
        LOG_WARN("decode", "Replaced decoder type " << t);
    decoder->dataInterp = this;
    decoders[size_t(t)] = std::move(owned);
}

QString DataInterpretation::decoderName(int type) const
{
    if (type < 0 || size_t(type) >= decoders.size() || !decoders[size_t(type)])
        return QString();
    return decoders[size_t(type)]->name();
}

// ---------------------------------------------------------------- decode road

bool DataInterpretation::decodePacket(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                                      bool checkApplyWhen, const CurrentValueTable* values) const
{
    if (!packet)
        return false;
    const size_t before = items.size();
    try {
        // Mismatches are the common case of every caller that tries its rows
        // on every packet: they are answered before anything else.
        if (!rowTakesPacket(row, *packet))
            return false;
        const Decoder* decoder = row.decodeType < decoders.size() ? decoders[row.decodeType].get() : nullptr;
        if (!decoder) {
            LOG_WARN("decode", "Invalid decode type " << row.decodeType << " ID: " << row.dataId);
            return false;
        }
        DecodeState& state = decodeState;
        if (state.depth >= MAX_DECODE_DEPTH) {
            LOG_WARN("decode", "Decode nesting deeper than " << MAX_DECODE_DEPTH << " at ID: " << row.dataId);
            return false;
        }
        // The conditions' own reads run one depth in: they must not touch the
        // list of the value read that called us.
        DepthScope scope(state.depth);
        if (checkApplyWhen && !row.applyWhen.passes(this, packet))
            return false;
        decoder->decode(row, packet, items, values);
    } catch (const std::out_of_range& e) {
        LOG_WARN("decode", e.what() << " not found");
        return false;
    }
    return items.size() > before;
}

bool DataInterpretation::decodePacket(int id, const TMPacket* packet, DataItems& items, bool checkApplyWhen,
                                      const CurrentValueTable* values) const
{
    const TmDatabaseRow* row = database->findRow(static_cast<uint32_t>(id));
    if (!row) {
        LOG_WARN("decode", static_cast<uint32_t>(id) << " not found");
        return false;
    }
    return decodePacket(*row, packet, items, checkApplyWhen, values);
}

bool DataInterpretation::decodePacket(const char* name, const TMPacket* packet, DataItems& items,
                                      bool checkApplyWhen, const CurrentValueTable* values) const
{
    const TmDatabaseRow* row = rowByName(name);
    if (!row) {
        LOG_WARN("decode", (name ? name : "") << " not found");
        return false;
    }
    return decodePacket(*row, packet, items, checkApplyWhen, values);
}

ItemSeries::Outcome DataInterpretation::itemSeries(uint32_t id, const std::vector<std::shared_ptr<TMPacket>>& packets,
                                                   size_t first, size_t end, Gse::ValueMode mode,
                                                   ItemSeries& out) const
{
    const TmDatabaseRow* row = database->findRow(id);
    if (!row)
        return ItemSeries::Outcome::UnknownItem;
    end = std::min(end, packets.size());
    first = std::min(first, end);
    const size_t before = out.size();
    DataItems items;
    bool reserved = false;
    try {
        for (size_t i = first; i < end; ++i) {
            const TMPacket* packet = packets[i].get();
            items.clear();
            // What the decoder appended counts even when it then failed, as
            // in a packet's own list.
            decodePacket(*row, packet, items, true, nullptr);
            if (items.empty())
                continue;
            if (!reserved) {
                // Most items give each packet of their type the same number
                // of samples; room never touched costs no memory.
                size_t alike = 1;
                for (size_t j = i + 1; j < end; ++j)
                    alike += packets[j] && rowTakesPacket(*row, *packets[j]);
                out.reserve(out.size() + std::min(alike * items.size(), ItemSeries::MAX_RESERVE));
                reserved = true;
            }
            for (const DataItem& item : items) {
                if (std::holds_alternative<std::string>(item.value)) {
                    out.truncate(before);
                    return ItemSeries::Outcome::TextSample;
                }
                const double value = row->convertValue(item.toDouble(), mode);
                if (std::isnan(value))
                    continue;
                out.unixTimes.push_back(item.unixTime);
                out.relativeTimes.push_back(item.relativeTime);
                out.values.push_back(value);
                out.packetIndexes.push_back(int64_t(i));
            }
        }
    } catch (...) {
        out.truncate(before);
        throw;
    }
    return ItemSeries::Outcome::Filled;
}

const TmDatabaseRow* DataInterpretation::rowByName(const char* name) const
{
    const unsigned int* id = database->findId(name ? std::string_view(name) : std::string_view());
    return id ? database->findRow(*id) : nullptr;
}

bool DataInterpretation::getData(int id, const TMPacket* packet, DataItems& items, Gse::ValueMode mode,
                                 bool checkApplyWhen, const CurrentValueTable* values) const
{
    try {
        const TmDatabaseRow* row = database->findRow(static_cast<uint32_t>(id));
        if (!row) {
            LOG_WARN("decode", "Got exception in getData: " << static_cast<uint32_t>(id));
            return false;
        }
        const size_t before = items.size();
        if (!decodePacket(*row, packet, items, checkApplyWhen, values))
            return false;
        for (size_t i = before; i < items.size(); ++i)
            items[i].value = row->convertValue(items[i].toDouble(), mode);
        return true;
    } catch (const std::out_of_range& e) {
        LOG_WARN("decode", "Got exception in getData: " << e.what());
        return false;
    }
}

double DataInterpretation::rowValue(const TmDatabaseRow& row, const TMPacket* packet, Gse::ValueMode mode,
                                    bool* ok, bool checkApplyWhen, const CurrentValueTable* values) const
{
    DecodeState& state = decodeState;
    DataItems& items = state.lists[state.depth];
    items.clear();
    const bool decoded = decodePacket(row, packet, items, checkApplyWhen, values);
    // The number is taken before converting: a transfer function that reads
    // through the hub reuses this depth's list.
    const double raw = decoded ? items.front().toDouble() : 0.0;
    const double value = decoded ? row.convertValue(raw, mode) : 0.0;
    if (ok)
        *ok = decoded;
    return value;
}

std::string DataInterpretation::rowString(const TmDatabaseRow& row, const TMPacket* packet, bool* ok,
                                          bool checkApplyWhen, const CurrentValueTable* values) const
{
    DecodeState& state = decodeState;
    DataItems& items = state.lists[state.depth];
    items.clear();
    const bool decoded = decodePacket(row, packet, items, checkApplyWhen, values);
    if (ok)
        *ok = decoded;
    return decoded ? items.front().toString() : std::string();
}

namespace {

// The look-ups by id and by name share one shape: a row not found, or an
// out-of-range while using it, logs its line, clears `ok` and gives `fallback`.
template <typename Result, typename Find, typename NotFound, typename Use>
Result useRow(const char* routine, bool* ok, Result fallback, Find find, NotFound logNotFound, Use use)
{
    try {
        const auto* row = find();
        if (!row) {
            logNotFound();
            if (ok)
                *ok = false;
            return fallback;
        }
        return use(*row);
    } catch (const std::out_of_range& e) {
        LOG_WARN("decode", "Got exception in " << routine << ": " << e.what());
        if (ok)
            *ok = false;
        return fallback;
    }
}

void logUnknownMnemonic(const char* name)
{
    LOG_WARN("decode", "Unknown mnemonic: " << (name ? name : ""));
}

} // namespace

double DataInterpretation::getValue(int id, const TMPacket* packet, Gse::ValueMode mode, bool* ok,
                                    bool checkApplyWhen, const CurrentValueTable* values) const
{
    return useRow(
        "getValue", ok, 0.0, [&] { return database->findRow(static_cast<uint32_t>(id)); },
        [&] { LOG_WARN("decode", "Got exception in getValue: " << static_cast<uint32_t>(id)); },
        [&](const TmDatabaseRow& row) { return rowValue(row, packet, mode, ok, checkApplyWhen, values); });
}

double DataInterpretation::getValue(const char* name, const TMPacket* packet, Gse::ValueMode mode, bool* ok,
                                    bool checkApplyWhen, const CurrentValueTable* values) const
{
    return useRow(
        "getValue", ok, 0.0, [&] { return rowByName(name); }, [&] { logUnknownMnemonic(name); },
        [&](const TmDatabaseRow& row) { return rowValue(row, packet, mode, ok, checkApplyWhen, values); });
}

std::string DataInterpretation::stringValue(int id, const TMPacket* packet, bool* ok, bool checkApplyWhen,
                                            const CurrentValueTable* values) const
{
    return useRow(
        "stringValue", ok, std::string(), [&] { return database->findRow(static_cast<uint32_t>(id)); },
        [&] { LOG_WARN("decode", "Got exception in stringValue: " << static_cast<uint32_t>(id)); },
        [&](const TmDatabaseRow& row) { return rowString(row, packet, ok, checkApplyWhen, values); });
}

std::string DataInterpretation::stringValue(const char* name, const TMPacket* packet, bool* ok,
                                            bool checkApplyWhen, const CurrentValueTable* values) const
{
    return useRow(
        "stringValue", ok, std::string(), [&] { return rowByName(name); }, [&] { logUnknownMnemonic(name); },
        [&](const TmDatabaseRow& row) { return rowString(row, packet, ok, checkApplyWhen, values); });
}

double DataInterpretation::convertValue(int id, double value, Gse::ValueMode mode, bool* ok) const
{
    return useRow(
        "convertValue", ok, 0.0, [&] { return database->findRow(static_cast<uint32_t>(id)); },
        [&] { LOG_WARN("decode", "Got exception in convertValue: " << static_cast<uint32_t>(id)); },
        [&](const TmDatabaseRow& row) {
            const double converted = row.convertValue(value, mode);
            if (ok)
                *ok = true;
            return converted;
        });
}

double DataInterpretation::convertValue(const char* name, double value, Gse::ValueMode mode, bool* ok) const
{
    return useRow(
        "convertValue", ok, 0.0,
        [&] { return database->findId(name ? std::string_view(name) : std::string_view()); },
        [&] { logUnknownMnemonic(name); },
        [&](const unsigned int& id) { return convertValue(static_cast<int>(id), value, mode, ok); });
}

} // namespace GseLib
