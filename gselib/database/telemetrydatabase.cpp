#include "gselib/database/telemetrydatabase.h"

#include "gselib/database/tmdatabaseparser.h"
#include "tools/logger/log.h"
#include "tools/util/svn.h"
#include "tools/util/tools.h"

#include <QFile>
#include <QFileInfo>
#include <QStringConverter>
#include <QTextStream>
#include <set>
#include <stdexcept>

namespace GseLib {

namespace {

// Longest line the reader's buffer holds without growing.
constexpr qsizetype LINE_CAPACITY = 16384;

// Splits at tabs into views of the line, keeping empty cells; reuses `cells`.
void splitCells(QStringView line, QChar delimiter, QList<QStringView>& cells)
{
    cells.clear();
    qsizetype start = 0;
    for (;;) {
        const qsizetype tab = line.indexOf(delimiter, start);
        if (tab < 0) {
            cells.append(line.mid(start));
            return;
        }
        cells.append(line.mid(start, tab - start));
        start = tab + 1;
    }
}

// The position of a column in the last header parsed, -1 when absent.
int fieldPosition(TmDatabaseRow::Field field)
{
    return TmDatabaseRow::FIELD_INDEX.value(field, -1);
}

template <typename Get>
QList<unsigned int> distinctValues(const std::unordered_map<unsigned int, TmDatabaseRow>& rows, Get get)
{
    std::set<unsigned int> values;
    for (const auto& entry : rows)
        values.insert(get(entry.second));
    return QList<unsigned int>(values.begin(), values.end());
}

} // namespace

TelemetryDatabase::TelemetryDatabase() = default;
TelemetryDatabase::~TelemetryDatabase() = default;

bool TelemetryDatabase::load(const QList<QString>& files, const QString& dir)
{
    revision_.clear();
    loadedFiles_.clear();
    rows_.clear();
    idsByKey_.clear();
    keysById_.clear();
    clocks_.clear();
    constants_.clear();

    if (!files.isEmpty()) {
        const QString folder = QFileInfo(files.first()).absolutePath();
        loadClocksFile(folder + QStringLiteral("/clocks.txt"));
        loadConstants(folder + QStringLiteral("/constants.json"));
    }
    LOG_INFO("tmdb", "Loading tmdb: " << files.join(QLatin1Char(',')));

    const std::string definitions = dir.toStdString();
    for (const QString& file : files) {
        if (patch(file, definitions))
            loadedFiles_ << file;
    }
    LOG_DEBUG("tmdb", "Loaded " << rows_.size() << " mnemonics");
    return true;
}

void TelemetryDatabase::clear()
{
    revision_.clear();
    loadedFiles_.clear();
    rows_.clear();
    idsByKey_.clear();
    keysById_.clear();
    clocks_.clear();
    constants_.clear();
    packetTypeLines_.clear();
    apids_.clear();
}

void TelemetryDatabase::loadClocksFile(const QString& path)
{
    TMClock::loadClocksFile(path, clocks_);
}

void TelemetryDatabase::loadConstants(const QString& path)
{
    loadConstantsFile(path, constants_);
}

bool TelemetryDatabase::patch(const QString& file, const std::string& dir)
{
    QFile device(file);
    if (!Tools::openPlainFile(device)) {
        LOG_ERROR("tmdb", "Failed to open database file: " << file);
        return false;
    }
    if (file.endsWith(QLatin1String(".json"))) {
        TmDatabaseRow::findHeaderFieldPositions(JsonDictionary::header());
        const QByteArray bytes = device.readAll();
        device.close();
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        if (document.isNull())
            return false;
        return jsonPatch(document);
    }
    return patchText(file, device, dir);
}

bool TelemetryDatabase::patchText(const QString& file, QIODevice& device, const std::string& dir)
{
    static const QString DELIM = QStringLiteral("\t");
    const QChar delimiter = DELIM.front();

    QTextStream in(&device);
    in.setEncoding(QStringConverter::Utf8);

    const QString header = in.readLine();
    const QString revision = SVN::parseSvnRevisionAsString(header);
    if (!revision.isEmpty()) {
        revision_ = revision;
        LOG_DEBUG("tmdb", "tmdb rev: " << revision);
    } else {
        LOG_WARN("tmdb", file << " database missing rev string");
    }
    try {
        TmDatabaseRow::findHeaderFieldPositions(header.split(DELIM, Qt::KeepEmptyParts, Qt::CaseSensitive));
    } catch (const std::runtime_error&) {
        // The exception names the column only; a comment put above the header
        // is the usual cause, so a first line of that kind is pointed out.
        LOG_ERROR("tmdb", "The header of the database file " << file << ", its first line, lacks a required column"
                                                             << (header.startsWith(QLatin1Char('#'))
                                                                     ? "; a line beginning with \"#\" is a comment "
                                                                       "only after the header"
                                                                     : ""));
        throw;
    }

    const int idPosition = fieldPosition(TmDatabaseRow::DATA_ID);
    const int minePosition = fieldPosition(TmDatabaseRow::TARQ_MINE_TYPE);

    int comments = 0;
    int ignored = 0;
    int lineNumber = 1;
    QString line;
    line.reserve(LINE_CAPACITY);
    QList<QStringView> cells;
    while (in.readLineInto(&line)) {
        ++lineNumber;
        if (line.isEmpty())
            continue;
        if (line.front() == QLatin1Char('#')) {
            ++comments;
            continue;
        }
        splitCells(line, delimiter, cells);

        int id = 0;
        if (idPosition < 0 || idPosition >= cells.size() || !parseInt(cells[idPosition], id) || id == 0) {
            LOG_WARN("tmdb", "Skipping db row - invalid data id: " << line);
            continue;
        }
        if (id < 0) {
            // The magnitude of INT_MIN still fits an unsigned id.
            const unsigned int removed = 0u - static_cast<unsigned int>(id);
            if (removeRow(removed))
                LOG_DEBUG("tmdb", "Removed data ID: " << removed);
            continue;
        }

        // The exceptions name the row's key or cell; among patches, the file and line find it.
        try {
            // An empty cell counts as no cell, as in every other column.
            Gse::TarqMineType mineType = Gse::TarqMineAll;
            if (minePosition >= 0 && minePosition < cells.size() && !cells[minePosition].isEmpty())
                extractValueFromText(mineType, cells[minePosition]);
            if (mineType == Gse::TarqMineNone && ignoreTarqMineTypeNone_) {
                ++ignored;
                continue;
            }
            addOrUpdateRow(static_cast<unsigned int>(id), cells, dir);
        } catch (const std::runtime_error&) {
            LOG_ERROR("tmdb", "Line " << lineNumber << " of the database file " << file << " cannot be applied");
            throw;
        }
    }

    LOG_DEBUG("tmdb", "Skipped " << comments << " commented rows");
    if (ignoreTarqMineTypeNone_)
        LOG_DEBUG("tmdb", "Ignored " << ignored << " rows");
    return true;
}

bool TelemetryDatabase::jsonPatch(const QJsonDocument& document)
{
    // The dictionary's cells always stand in its own column layout.
    TmDatabaseRow::findHeaderFieldPositions(JsonDictionary::header());
    QList<QStringView> views;
    return JsonDictionary::convert(document, packetTypeLines_, apids_, [this, &views](const QStringList& cells) {
        views.clear();
        for (const QString& cell : cells)
            views.append(cell);
        TmDatabaseRow row;
        row.update(views, std::string(), clocks_);
        addRow(row);
    });
}

void TelemetryDatabase::recordKey(unsigned int dataId, const std::string& key)
{
    idsByKey_[key] = dataId;
    keysById_[dataId].push_back(key);
}

void TelemetryDatabase::addRow(const TmDatabaseRow& row)
{
    const unsigned int id = row.dataId;
    rows_[id] = row;
    recordKey(id, row.key);
}

void TelemetryDatabase::addOrUpdateRow(unsigned int dataId, const QList<QStringView>& cells, const std::string& dir)
{
    const auto [it, created] = rows_.try_emplace(dataId);
    try {
        it->second.update(cells, dir, clocks_);
    } catch (...) {
        // A row that did not exist before must not stay half-read, and without a key.
        if (created)
            rows_.erase(it);
        throw;
    }
    // The row answers with the id it is stored under, also when its own cell
    // reads differently (a "+16" is a valid data id but no unsigned number).
    it->second.dataId = dataId;
    recordKey(dataId, it->second.key);
}

bool TelemetryDatabase::removeRow(unsigned int dataId)
{
    const auto keys = keysById_.find(dataId);
    if (keys != keysById_.end()) {
        for (const std::string& key : keys->second) {
            // A key taken over by a later row stays with that row.
            const auto mapped = idsByKey_.find(key);
            if (mapped != idsByKey_.end() && mapped->second == dataId)
                idsByKey_.erase(mapped);
        }
        keysById_.erase(keys);
    }
    return rows_.erase(dataId) != 0;
}

bool TelemetryDatabase::removeRow(const char* key)
{
    const auto it = idsByKey_.find(key ? std::string(key) : std::string());
    return it != idsByKey_.end() && removeRow(it->second);
}

unsigned int TelemetryDatabase::getId(const char* key) const
{
    const unsigned int* id = findId(key ? std::string_view(key) : std::string_view());
    return id ? *id : 0u;
}

const unsigned int* TelemetryDatabase::findId(std::string_view key) const
{
    const auto it = idsByKey_.find(key);
    return it == idsByKey_.end() ? nullptr : &it->second;
}

const TmDatabaseRow* TelemetryDatabase::findRow(unsigned int dataId) const
{
    const auto it = rows_.find(dataId);
    return it == rows_.end() ? nullptr : &it->second;
}

TmDatabaseRow& TelemetryDatabase::row(unsigned int dataId)
{
    const auto it = rows_.find(dataId);
    if (it == rows_.end())
        throw std::out_of_range(std::to_string(dataId));
    return it->second;
}

const TmDatabaseRow& TelemetryDatabase::row(unsigned int dataId) const
{
    return const_cast<TelemetryDatabase*>(this)->row(dataId);
}

TmDatabaseRow& TelemetryDatabase::row(const char* key)
{
    const std::string text = key ? std::string(key) : std::string();
    const auto id = idsByKey_.find(text);
    if (id != idsByKey_.end()) {
        const auto it = rows_.find(id->second);
        if (it != rows_.end())
            return it->second;
    }
    throw std::out_of_range(text);
}

const TmDatabaseRow& TelemetryDatabase::row(const char* key) const
{
    return const_cast<TelemetryDatabase*>(this)->row(key);
}

QList<unsigned int> TelemetryDatabase::allIds() const
{
    QList<unsigned int> ids;
    ids.reserve(static_cast<qsizetype>(keysById_.size()));
    for (const auto& entry : keysById_)
        ids << entry.first;
    return ids;
}

QStringList TelemetryDatabase::allKeys() const
{
    QStringList keys;
    keys.reserve(static_cast<qsizetype>(keysById_.size()));
    for (const auto& entry : keysById_) {
        keys << QString::fromStdString(row(entry.first).key) + QLatin1Char(':') +
                    QStringLiteral("%1").arg(entry.first, 4, 10, QLatin1Char('0'));
    }
    return keys;
}

QList<unsigned int> TelemetryDatabase::usedDecoderTypes() const
{
    return distinctValues(rows_, [](const TmDatabaseRow& r) { return r.decodeType; });
}

QList<unsigned int> TelemetryDatabase::usedSciEqTypes() const
{
    return distinctValues(rows_, [](const TmDatabaseRow& r) { return r.sciEqType; });
}

std::ostream& operator<<(std::ostream& out, const TelemetryDatabase& db)
{
    out << TMDB_HDR.join(QLatin1Char('\t')).toStdString();
    if (!db.revision_.isEmpty())
        out << '\t' << SVN::makeRevisionString(db.revision_).toStdString();
    out << '\n';
    for (const auto& entry : db.keysById_)
        out << db.row(entry.first) << '\n';
    return out;
}

} // namespace GseLib
