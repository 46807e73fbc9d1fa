#pragma once
// The loaded telemetry database: one row per data item, found by data id or by
// its key (SUB_SYSTEM ":" NAME), built from a main database file and patch
// files (tab-separated text or JSON packet dictionaries) applied in order,
// together with the clocks and constants of the definitions folder.
#include "gselib/database/constants.h"
#include "gselib/database/jsondictionary.h"
#include "gselib/database/tmclock.h"
#include "gselib/database/tmdatabaserow.h"

#include <QJsonDocument>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace GseLib {

class TelemetryDatabase
{
public:
    using bitFieldData = JsonBitField;

    TelemetryDatabase();
    virtual ~TelemetryDatabase();
    TelemetryDatabase(const TelemetryDatabase&) = default;
    TelemetryDatabase& operator=(const TelemetryDatabase&) = default;

    // Empties rows, keys, clocks, constants and the revision, loads clocks.txt
    // and constants.json from the folder of the first file, then applies every
    // file in order. `dir` is the definitions folder (ending in "/") handed to
    // the rows' transfer-function makers. Always true; a header without a
    // required column or a bad mining type throws, leaving the rows applied so far.
    virtual bool load(const QList<QString>& files, const QString& dir);
    // Empties rows, keys, clocks, constants, revision, loaded files and packet
    // lines; the settings stay.
    void clear();
    // Applies one text or JSON (".json") database file on top of the rows.
    bool patch(const QString& file, const std::string& dir);
    // Applies text database lines read from a device; `file` names it in messages.
    bool patchText(const QString& file, QIODevice& device, const std::string& dir);
    // Applies a JSON packet dictionary; false when its root has no "Packets".
    bool jsonPatch(const QJsonDocument& document);

    void loadClocksFile(const QString& path);
    void loadConstants(const QString& path);
    void setRevision(const QString& revision) { revision_ = revision; }
    // Leave out text rows whose TARQ_MINE_TYPE is 0; consulted per row while loading.
    void setIgnoreTarqMineTypeNone(bool ignore) { ignoreTarqMineTypeNone_ = ignore; }

    // Stores a copy of the row under its DATA_ID (replacing a row of that id)
    // and records its key.
    void addRow(const TmDatabaseRow& row);
    // Creates the row of `dataId` when absent and updates it from the cells. When
    // the update throws, a row created here is removed again; an existing row
    // keeps what the update changed before the throw.
    void addOrUpdateRow(unsigned int dataId, const QList<QStringView>& cells, const std::string& dir);
    // Removes the row, its key record and every key still mapped to it; false
    // (and nothing changed) when the id has no row.
    bool removeRow(unsigned int dataId);
    // False when the key is unknown.
    bool removeRow(const char* key);
    // 0 when the key is unknown (0 is never a valid data id of a text row).
    unsigned int getId(const char* key) const;
    // The id of a key, or null when the key is unknown; no text is copied, so
    // the by-name value reads look a key up without allocating.
    const unsigned int* findId(std::string_view key) const;
    // The row of an id, or null when absent; the decode road's lookup, which
    // must not throw for every unknown id it is asked about.
    const TmDatabaseRow* findRow(unsigned int dataId) const;
    // Throw std::out_of_range with the id in decimal, or the key text, when absent.
    TmDatabaseRow& row(unsigned int dataId);
    const TmDatabaseRow& row(unsigned int dataId) const;
    TmDatabaseRow& row(const char* key);
    const TmDatabaseRow& row(const char* key) const;
    bool hasRow(unsigned int dataId) const { return rows_.count(dataId) != 0; }

    // Every data id, ascending.
    QList<unsigned int> allIds() const;
    // "KEY:0042" per id, ascending by id.
    QStringList allKeys() const;
    bool hasClocks() const { return !clocks_.empty(); }
    QList<unsigned int> usedDecoderTypes() const;
    QList<unsigned int> usedSciEqTypes() const;

    const QString& revision() const { return revision_; }
    const QStringList& loadedFiles() const { return loadedFiles_; }
    const std::unordered_map<unsigned int, TmDatabaseRow>& rows() const { return rows_; }
    using KeyMap = std::map<std::string, unsigned int, std::less<>>;
    const KeyMap& idsByKey() const { return idsByKey_; }
    const std::map<unsigned int, std::vector<std::string>>& keysById() const { return keysById_; }
    const TMClockMap& clocks() const { return clocks_; }
    const ConstantMap& constants() const { return constants_; }
    bool ignoreTarqMineTypeNone() const { return ignoreTarqMineTypeNone_; }
    const QStringList& packetTypeLines() const { return packetTypeLines_; }
    const QList<int>& apids() const { return apids_; }

    // The database as a text database: the header line, then one line per row by id.
    friend std::ostream& operator<<(std::ostream& out, const TelemetryDatabase& db);

protected:
    QString revision_;
    QStringList loadedFiles_;
    std::unordered_map<unsigned int, TmDatabaseRow> rows_;
    KeyMap idsByKey_;
    std::map<unsigned int, std::vector<std::string>> keysById_;
    TMClockMap clocks_;
    ConstantMap constants_;
    bool ignoreTarqMineTypeNone_ = false;
    QStringList packetTypeLines_;
    QList<int> apids_;

private:
    void recordKey(unsigned int dataId, const std::string& key);
};

} // namespace GseLib
