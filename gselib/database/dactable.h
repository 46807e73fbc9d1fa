#pragma once
// The DAC conversion table: per digital-to-analogue converter its id, name,
// word width, mask, signedness and the linear relation counts = a + b x value.
#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <map>

namespace GseLib {

class DacTableRow
{
public:
    // Number of tab-separated fields of a complete line.
    static constexpr int FIELD_COUNT = 8;

    DacTableRow() = default;
    // Splits the line at tabs (empty fields kept) and reads the eight fields;
    // a field that does not parse gives 0, a missing one leaves its default.
    explicit DacTableRow(const QByteArray& line);

    // Whether the value lies in the range of values the DAC can produce.
    bool valid(double value) const;
    // False when the text is not a number.
    bool valid(const QString& text) const;

    // Counts to value: (count - a) / b, 0 when b is 0. A signed row first masks
    // the count and sign-extends it from its bit width.
    double toValue(long long count) const;

    // Whether the bit count is one the range and sign arithmetic can use.
    bool hasValidBits() const { return bits >= 1 && bits <= 64; }
    // How many tab-separated fields the line had (FIELD_COUNT or more when complete).
    int fieldCount() const { return fieldCount_; }

    int id = 0;
    int number = 0; // second field, kept but not used by any operation
    QByteArray name;
    int bits = 0;
    quint16 mask = 0;
    bool isSigned = false;
    double a = 0.0; // counts at the value 0
    double b = 0.0; // counts per unit of value

private:
    int fieldCount_ = 0;
};

class DacTable
{
public:
    // The name an id without a row maps to.
    static const QByteArray unknown;

    DacTable() = default;

    // Files the row under its name (replacing a row of that name) and maps its
    // id to the name (replacing an earlier name for that id).
    void addRow(const DacTableRow& row);
    // Throws std::out_of_range with the name as its message when no row has it.
    const DacTableRow& row(const char* name) const;
    // The row whose name the id maps to; an unknown id looks up the row named
    // "Unknown" and so throws unless there is one.
    const DacTableRow& row(int id) const;
    // The name the id maps to, or null when the id has no name.
    const QByteArray* nameOf(int id) const;

    void clear();
    // Reads the file into the table without clearing it first. A missing or
    // unreadable file leaves the table as it is.
    void initialize(const QString& path);
    // Reads table lines from an open device; `source` names it in warnings.
    void read(QIODevice& device, const QString& source);
    // One line per row in name order: id, name, bits, mask, signed, a, b.
    void dump(QTextStream& out) const;
    // Names of ids 0 .. rowCount-1, in id order, where those ids exist.
    QStringList getNames() const;
    QList<int> allDacIds() const;

    int rowCount() const { return static_cast<int>(rowsByName_.size()); }

    QString filePath;

private:
    const DacTableRow& rowByName(const QByteArray& name) const;

    std::map<QByteArray, DacTableRow> rowsByName_;
    std::map<int, QByteArray> namesById_;
};

} // namespace GseLib
