#pragma once
// The packet-type table: per type id its name, ground-created flag, allowed
// lengths and optional time data item. A lookup of an absent id by value
// yields a default-built TMPacketTypeInfo ("Unknown packet", not ground-created).
#include <QDebug>
#include <QHash>
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
};

class PacketTypes : public QHash<int, TMPacketTypeInfo>
{
public:
    // Empties the table and reads the packet-type file; false when it cannot be opened.
    bool load(const QString& path, const DataInterpretation* hub);
    // The same on lines (those a JSON packet dictionary produced); always true.
    bool load(QList<QString> lines, const DataInterpretation* hub);
    // The id of an entry whose name equals `name` exactly; -1 when none.
    int type(const QString& name) const;
    // False for an unlisted type; true for a negative minimum; else min <= length <= max.
    bool isValidLength(int type, int length) const;
};

QDebug operator<<(QDebug debug, const TMPacketTypeInfo& info);
QDebug operator<<(QDebug debug, const PacketTypes& types);

} // namespace GseLib
