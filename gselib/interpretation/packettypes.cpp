#include "gselib/interpretation/packettypes.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaseparser.h"
#include "gselib/interpretation/datainterpretation.h"
#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFile>
#include <QStringList>

#include <stdexcept>

namespace GseLib {

namespace {

constexpr qsizetype MIN_FIELDS = 5;
constexpr qsizetype TIME_FIELD = 5;

// A decimal integer of signed 32 bits, else 0.
int decimalOrZero(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

// The row a time field names: a decimal id, a full key, or a NAME with an
// empty SUB_SYSTEM. Throws std::out_of_range when the database lacks it.
const TmDatabaseRow& timeRow(const TelemetryDatabase& db, const QString& field)
{
    bool isId = false;
    const int id = field.toInt(&isId, 10);
    if (isId)
        return db.row(static_cast<unsigned int>(id));
    const QByteArray key = field.contains(QLatin1Char(':')) ? field.toLatin1() : ':' + field.toLatin1();
    return db.row(key.constData());
}

} // namespace

TMPacketTypeInfo::TMPacketTypeInfo(const QString& line, const DataInterpretation* hub)
{
    QStringList fields = line.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (fields.size() < MIN_FIELDS)
        return;
    for (QString& field : fields)
        field = field.trimmed();

    valid = true;
    if (!parseInt(fields[0], type))
        type = 0;
    name = fields[1];
    isGse = fields[2].startsWith(QLatin1Char('t'));
    minLength = decimalOrZero(fields[3]);
    maxLength = decimalOrZero(fields[4]);

    if (fields.size() <= TIME_FIELD || !hub)
        return;
    const QString& timeField = fields[TIME_FIELD];
    const TelemetryDatabase* db = hub->db();
    if (timeField.isEmpty() || !db)
        return;
    try {
        const TmDatabaseRow& row = timeRow(*db, timeField);
        timeDataId = static_cast<int>(row.dataId);
        // Database text is Latin-1, as the key above was converted.
        timeMnemonic = QString::fromLatin1(row.name.data(), static_cast<qsizetype>(row.name.size()));
    } catch (const std::out_of_range&) {
        LOG_WARN("packet_type", "Packet " << name << " time mnemonic does not exist: " << timeField);
    }
}

bool PacketTypes::load(const QString& path, const DataInterpretation* hub)
{
    clear();
    source_ = path;
    emptyReported_ = false;
    QFile file(path);
    if (!Tools::openPlainFile(file)) {
        LOG_ERROR("apids", "Failed to open: " << path);
        return false;
    }
    file.setTextModeEnabled(true);
    while (!file.atEnd()) {
        const QByteArray bytes = file.readLine().trimmed();
        if (bytes.isEmpty() || bytes.startsWith('#'))
            continue;
        enter(QString::fromUtf8(bytes), hub);
    }
    return true;
}

bool PacketTypes::load(const QList<QString>& lines, const DataInterpretation* hub)
{
    clear();
    source_.clear();
    emptyReported_ = false;
    for (const QString& line : lines) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        enter(line, hub);
    }
    return true;
}

void PacketTypes::enter(const QString& line, const DataInterpretation* hub)
{
    TMPacketTypeInfo info(line, hub);
    if (!info.valid) {
        LOG_WARN("apids", "Bad packet type info: " << line);
        return;
    }
    const int id = info.type;
    insert(id, std::move(info));
}

const TMPacketTypeInfo& PacketTypes::info(int type) const
{
    static const TMPacketTypeInfo unknown;
    const auto it = constFind(type);
    return it == cend() ? unknown : *it;
}

int PacketTypes::type(const QString& name) const
{
    for (auto it = cbegin(); it != cend(); ++it)
        if (it.value().name == name)
            return it.key();
    return -1;
}

bool PacketTypes::isValidLength(int type, int length) const
{
    const auto it = constFind(type);
    if (it == cend()) {
        reportIfEmpty();
        return false;
    }
    if (it->minLength < 0)
        return true;
    return length >= it->minLength && length <= it->maxLength;
}

void PacketTypes::reportIfEmpty() const
{
    if (!isEmpty() || emptyReported_)
        return;
    emptyReported_ = true;
    LOG_WARN("apids", "No packet type was loaded from " << (source_.isEmpty() ? QStringLiteral("the packet-type lines") : source_)
                                                        << ": every packet is refused");
}

QDebug operator<<(QDebug debug, const TMPacketTypeInfo& info)
{
    debug.nospace() << "TMPacketTypeInfo(Type:" << info.type << " name:" << info.name
                    << " isGse:" << (info.isGse ? "true" : "false") << " minLength:" << info.minLength
                    << " maxLength:" << info.maxLength << ")";
    return debug;
}

QDebug operator<<(QDebug debug, const PacketTypes& types)
{
    for (auto it = types.cbegin(); it != types.cend(); ++it)
        debug << it.value() << "\n";
    return debug;
}

} // namespace GseLib
