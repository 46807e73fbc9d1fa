#pragma once
// The decoder of one SEB command id, built from one entry of seb_cmds.json
// (in the gse folder's "viewerConfigs"), and the process-wide table of them
// keyed by command id. Start-up loads the table once per process; SebCmd,
// SebSequence and the scan classification look commands up in it.
#include "koralib/seb/sebfielddecoder.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <vector>

namespace KorGse {

class SebCmdInterpreter
{
public:
    static const QString KEY_CMDID;    // "id"
    static const QString KEY_NAME;     // "name"
    static const QString KEY_DESC;     // "description"
    static const QString KEY_DATA;     // "data"
    static const QString CFG_DIR;      // "viewerConfigs"
    static const QString CFG_FILENAME; // "seb_cmds.json"

    using Table = QHash<int, QSharedPointer<SebCmdInterpreter>>;

    // Reads "id" (hex text), "name", "description", then the fields of "data".
    explicit SebCmdInterpreter(const QMap<QString, QVariant>& cmd);

    // Loads the table from seb_cmds.json of the default group's gse path,
    // unless it already holds an interpreter. FileOpenException when the file
    // cannot be opened (only plain files are read); the exception of a bad
    // entry otherwise. The table is installed only when every entry built, so
    // a failed load leaves it empty and a later call tries again.
    static void createInterpreters();
    // The same from an explicit file path.
    static void createInterpreters(const QString& path);
    // The same from the file's bytes: a text that is not JSON or whose top
    // level is no array loads nothing and raises nothing.
    static void loadInterpreters(const QByteArray& json);
    // Empties the table; for tests and fuzzing only.
    static void clearInterpreters();
    // The interpreter of a command id; null when the table has none.
    static QSharedPointer<SebCmdInterpreter> interpreter(int cmdId);
    static const Table& interpreters();

    // Builds the field decoders from the "data" value and appends them.
    void extractDataFields(const QVariant& data);

    // Field names in order; "" for an empty (type 0) slot.
    QStringList fieldStringList() const;
    // The header with name, id and description, then every decoder's text.
    QString toString() const;

    // Per-field operations. An index past the field list or an empty slot
    // throws std::out_of_range: ids and field indexes come from archive bytes.
    int fieldSize(int i) const;
    uint32_t fieldOffset(int i) const;
    QString fieldName(int i) const;
    QString fieldDescription(int i) const;
    QByteArray decodeField(int i, const std::vector<unsigned char>& bytes) const;
    uint32_t decodeFieldToUInt(int i, const std::vector<unsigned char>& bytes) const;
    QString decodeFieldToHexStr(int i, const std::vector<unsigned char>& bytes) const;
    QString decodeFieldToDecStr(int i, const std::vector<unsigned char>& bytes) const;
    double decodeFieldToSci(int i, const std::vector<unsigned char>& bytes) const;
    QString decodeFieldToSciStr(int i, const std::vector<unsigned char>& bytes) const;

    // The decoder of field i; std::out_of_range as the per-field operations.
    const BaseFieldDecoder& field(int i) const;
    int fieldCount() const { return static_cast<int>(decoders.size()); }

    int32_t cmdId = 0;
    QString name;
    QString description;
    QList<QSharedPointer<BaseFieldDecoder>> decoders; // an entry is null for type 0

private:
    static Table interpreters_;
};

} // namespace KorGse
