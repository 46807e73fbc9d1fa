#pragma once
// The packet-type table: per type id its name, ground-created flag, allowed
// lengths and optional time data item. The hub fills it from
// tm_packet_types.txt or from a JSON dictionary's packet-type lines, after the
// database (a line's time data item names a row); packets, time resolvers,
// time decoders and packet caches read it per packet through info(), which
// hands out the stored entry (or the default-built one) without a copy.
#include <QDebug>
#include <QHash>
#include <QList>
#include <QString>

namespace GseLib {

class DataInterpretation;

struct TMPacketTypeInfo
{
    bool valid = false;
    int type = 0;
    QString name = QStringLiteral("Unknown packet");
    bool isGse = false;
    int minLength = -1; // negative: any length is allowed
    int maxLength = -1;
    int timeDataId = -1; // -1: the type has no time data item
    QString timeMnemonic;

    TMPacketTypeInfo() = default;
    // One line "type, name, ground, min, max[, time item]"; invalid with fewer
    // than five fields. The time item is resolved against hub->db() (not with
    // a null hub); a row it does not name is logged and leaves no time item.
    TMPacketTypeInfo(const QString& line, const DataInterpretation* hub);
};

class PacketTypes : public QHash<int, TMPacketTypeInfo>
{
public:
    // Empties the table, then enters every valid line of the file (trimmed;
    // blank lines and "#" comments skipped; the last line of an id wins).
    // False, and the table empty, when the file is not a readable plain file.
    bool load(const QString& path, const DataInterpretation* hub);
    // The same over given lines (a JSON dictionary's), taken as they are: only
    // an empty line is skipped and only a first character "#" is a comment.
    // Always true.
    bool load(const QList<QString>& lines, const DataInterpretation* hub);

    // The entry of a type, or the default-built info when the table lacks it.
    const TMPacketTypeInfo& info(int type) const;
    // The id of an entry whose name equals `name` exactly; -1 when none.
    int type(const QString& name) const;
    // False for an unlisted type; true for a negative minimum; else min <= length <= max.
    bool isValidLength(int type, int length) const;

    // Where the entries came from: the file a load read, or what the hub names
    // for a dictionary's lines.
    const QString& source() const { return source_; }
    void setSource(const QString& source) { source_ = source; }
    // A table without entries refuses every packet: a packet cache that parses
    // by it calls this, which says so once per load, naming the source.
    void reportIfEmpty() const;

private:
    void enter(const QString& line, const DataInterpretation* hub);

    QString source_;
    mutable bool emptyReported_ = false;
};

QDebug operator<<(QDebug debug, const TMPacketTypeInfo& info);
QDebug operator<<(QDebug debug, const PacketTypes& types);

} // namespace GseLib
