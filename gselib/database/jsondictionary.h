#pragma once
// JSON packet dictionaries: packets described by name and numeric id, each with
// its fields in byte order. Every field (and every bit field of it) becomes the
// cells of one text-database line in the fixed column layout of header(), so a
// dictionary and a text database give identical rows for identical cells.
#include <QJsonDocument>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace GseLib {

// One bit field of a dictionary field, in the order of its "bitFields".
struct JsonBitField
{
    QString name; // NAME of the bit field's row
    int bits = 0; // bit count; 0 when the count text does not read
};

class JsonDictionary
{
public:
    // A DATA_ID is the packet id shifted left by 15 bits OR the packet's row
    // counter, so a packet holds at most this many rows and its id at most 2^17 - 1.
    static constexpr quint32 MAX_ROWS_PER_PACKET = 0x8000;
    static constexpr qint64 MAX_PACKET_ID = 0x1FFFF;
    static constexpr int SCI_COEFFICIENTS = 8;
    // A field is at most 64 bits wide. Every bit field row repeats the field's
    // texts, so the limit also keeps a short file from making huge rows.
    static constexpr qsizetype MAX_BIT_FIELDS = 64;

    // The 37 column names, in the order of every row's cells.
    static const QStringList& header();

    // Receives one row's cells (37, or 36 when the row has no discrete labels).
    using RowSink = std::function<void(const QStringList& cells)>;

    // Reads the dictionary: empties both lists, then for every accepted packet
    // appends its packet-type line and (once) its apid, and hands every row to
    // `sink` in order. Returns false when the root object has no "Packets".
    // Exceptions thrown by the sink pass through.
    static bool convert(const QJsonDocument& document, QStringList& packetTypeLines, QList<int>& apids,
                        const RowSink& sink);
};

} // namespace GseLib
