#include "gselib/interpretation/datainterpretation.h"

#include "tools/logger/log.h"

#include <QStringList>

#include <stdexcept>

namespace GseLib {

namespace {

// The hub made when no instrument factory is given.
class DefaultDataInterpretation : public DataInterpretation
{
public:
    ~DefaultDataInterpretation() override = default;
};

} // namespace

std::unique_ptr<DataInterpretation> DataInterpretation::singleton;

std::string DataItem::toString() const
{
    switch (value.index()) {
    case 0:
        return std::to_string(std::get<0>(value));
    case 1:
        return std::to_string(std::get<1>(value));
    case 2:
        return std::to_string(std::get<2>(value));
    case 3:
        return std::get<3>(value);
    default:
        return std::string();
    }
}

double DataItem::toDouble() const
{
    switch (value.index()) {
    case 0:
        return std::get<0>(value);
    case 1:
        return double(std::get<1>(value));
    case 2:
        return double(std::get<2>(value));
    case 3:
        try {
            return std::stod(std::get<3>(value));
        } catch (const std::exception&) {
            return 0.0;
        }
    default:
        return 0.0;
    }
}

Decoder::~Decoder() = default;

QString Decoder::name() const
{
    return QString();
}

DataInterpretationFactory::~DataInterpretationFactory() = default;

DataInterpretation::DataInterpretation() : decoders(INITIAL_DECODER_SLOTS)
{
}

DataInterpretation::~DataInterpretation() = default;

TelemetryDatabase* DataInterpretation::db() const
{
    return database.get();
}

void DataInterpretation::loadDatabase(const QList<QString>&, bool, const QString&)
{
    throw std::runtime_error("Loading telemetry definitions is not supported by this build");
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

void DataInterpretation::init(DataInterpretationFactory* factory, bool load, PluginManager* pluginManager,
                              QList<QString> files)
{
    std::unique_ptr<DataInterpretation> hub;
    if (factory) {
        hub = factory->make();
    } else {
        LOG_DEBUG("tmdb", "Using default data interpretation class");
        hub = std::make_unique<DefaultDataInterpretation>();
    }
    // The previous hub goes before anything is loaded into the new one.
    singleton = std::move(hub);
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

void DataInterpretation::addDecoder(Decoder* decoder)
{
    std::shared_ptr<Decoder> owned(decoder);
    const int t = decoder->type();
    if (t < 0)
        throw std::runtime_error("A decoder needs a non-negative decode type");
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

double DataInterpretation::getValue(int id, const TMPacket*, Gse::ValueMode, bool* ok, bool,
                                    const CurrentValueTable*) const
{
    // Every value needs the row of its data id; without a loaded database no
    // id has one, which is reported like an id the database lacks.
    if (ok)
        *ok = false;
    LOG_WARN("decode", "Got exception in getValue: " << id);
    return 0.0;
}

uint64_t DataInterpretation::generation()
{
    return 0;
}

} // namespace GseLib
