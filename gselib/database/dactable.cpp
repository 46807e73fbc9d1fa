#include "gselib/database/dactable.h"

#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFile>
#include <cmath>
#include <stdexcept>

namespace GseLib {

const QByteArray DacTable::unknown("Unknown");

namespace {

int toDecimalInt(const QByteArray& field)
{
    bool ok = false;
    const int v = field.trimmed().toInt(&ok, 10);
    return ok ? v : 0;
}

double toDouble(const QByteArray& field)
{
    bool ok = false;
    const double v = field.trimmed().toDouble(&ok);
    return ok ? v : 0.0;
}

} // namespace

DacTableRow::DacTableRow(const QByteArray& line)
{
    const QList<QByteArray> fields = line.split('\t');
    fieldCount_ = static_cast<int>(fields.size());
    auto field = [&fields](int i) { return i < fields.size() ? fields[i] : QByteArray(); };

    id = toDecimalInt(field(0));
    number = toDecimalInt(field(1));
    name = field(2);
    bits = toDecimalInt(field(3));
    bool ok = false;
    const ushort m = field(4).trimmed().toUShort(&ok, 0);
    mask = ok ? m : 0;
    isSigned = toDecimalInt(field(5)) != 0;
    a = toDouble(field(6));
    b = toDouble(field(7));
}

bool DacTableRow::valid(double value) const
{
    if (std::isnan(value) || !hasValidBits())
        return false;

    double low = 0.0;
    double high = 0.0;
    if (isSigned) {
        const int signBit = bits - 1; // 0..63
        const quint64 magnitudeMask = (quint64(1) << signBit) - 1;
        low = ((quint64(mask) >> signBit) & 1u) ? -std::ldexp(1.0, signBit) : 0.0;
        high = static_cast<double>(quint64(mask) & magnitudeMask);
    } else {
        high = std::ldexp(1.0, bits) - 1.0;
    }

    double from = 0.0;
    double to = 0.0;
    if (b > 0) {
        from = (low - a) / b;
        to = (high - a) / b;
    } else if (b < 0) {
        from = (high - a) / b;
        to = (low - a) / b;
    }
    return value >= from && value <= to;
}

bool DacTableRow::valid(const QString& text) const
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && valid(v);
}

double DacTableRow::toValue(long long count) const
{
    if (b == 0.0)
        return 0.0;
    long long c = count;
    if (isSigned) {
        const quint64 masked = static_cast<quint64>(count) & mask;
        c = static_cast<long long>(masked);
        // A width outside 1..64 has no sign bit to extend from.
        if (hasValidBits() && bits < 64 && ((masked >> (bits - 1)) & 1u))
            c = static_cast<long long>(masked | (~quint64(0) << bits));
    }
    return (static_cast<double>(c) - a) / b;
}

void DacTable::addRow(const DacTableRow& row)
{
    rowsByName_[row.name] = row;
    namesById_[row.id] = row.name;
}

const DacTableRow& DacTable::row(const char* name) const
{
    return rowByName(QByteArray(name));
}

const DacTableRow& DacTable::row(int id) const
{
    const auto it = namesById_.find(id);
    // By the whole name: a name read from a file may hold a NUL byte.
    return rowByName(it == namesById_.end() ? unknown : it->second);
}

const QByteArray* DacTable::nameOf(int id) const
{
    const auto it = namesById_.find(id);
    return it == namesById_.end() ? nullptr : &it->second;
}

const DacTableRow& DacTable::rowByName(const QByteArray& name) const
{
    const auto it = rowsByName_.find(name);
    if (it == rowsByName_.end())
        throw std::out_of_range(name.toStdString());
    return it->second;
}

void DacTable::clear()
{
    rowsByName_.clear();
    namesById_.clear();
    filePath.clear();
}

void DacTable::initialize(const QString& path)
{
    QFile file(path);
    if (!Tools::openPlainFile(file))
        return;
    read(file, path);
}

void DacTable::read(QIODevice& device, const QString& source)
{
    int lineNumber = 0;
    while (!device.atEnd()) {
        QByteArray line = device.readLine();
        ++lineNumber;
        if (line.startsWith('#'))
            continue;
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        const DacTableRow row(line);
        if (row.fieldCount() < DacTableRow::FIELD_COUNT) {
            // A short line would give a row of zeros that could replace a good one.
            LOG_WARN("tmdb", "Skipping DAC table line " << lineNumber << " of " << source
                                                        << ": expected 8 fields, found "
                                                        << (line.isEmpty() ? 0 : row.fieldCount()));
            continue;
        }
        addRow(row);
    }
}

void DacTable::dump(QTextStream& out) const
{
    for (const auto& [name, r] : rowsByName_) {
        out << r.id << '\t' << QString::fromUtf8(r.name) << '\t' << r.bits << '\t' << r.mask << '\t'
            << (r.isSigned ? 1 : 0) << '\t' << r.a << '\t' << r.b << '\n';
    }
}

QStringList DacTable::getNames() const
{
    QStringList names;
    const int n = rowCount();
    for (int k = 0; k < n; ++k) {
        const auto it = namesById_.find(k);
        if (it == namesById_.end())
            continue;
        const QByteArray& name = it->second;
        const qsizetype nul = name.indexOf('\0');
        names << QString::fromUtf8(nul < 0 ? name : name.left(nul));
    }
    return names;
}

QList<int> DacTable::allDacIds() const
{
    QList<int> ids;
    ids.reserve(static_cast<qsizetype>(namesById_.size()));
    for (const auto& entry : namesById_)
        ids << entry.first;
    return ids;
}

} // namespace GseLib
