#include "conversion/lookuptabletransferfunc.h"

#include "tools/util/tools.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale.h>

namespace {

// strtod, but in the C locale whatever the process locale is: the tables
// always write a decimal point.
double readNumber(const std::string& field)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (cLocale == locale_t(nullptr))
        return std::strtod(field.c_str(), nullptr);
    return strtod_l(field.c_str(), nullptr, cLocale);
}

bool isBlank(const std::string& line)
{
    return std::all_of(line.begin(), line.end(), [](unsigned char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    });
}

} // namespace

LookupTableTransferFunc::LookupTableTransferFunc(const std::string& folder, const std::string& name)
    : name_(name)
    , path_(folder + "/lookupTables/" + name)
{
    load();
}

void LookupTableTransferFunc::load()
{
    std::error_code error;
    std::ifstream file;
    // Only a plain file is a table: a folder opens as a stream on some systems, a
    // name that leads to a device or a pipe (the name comes from a definitions
    // file) would block or read without end.
    if (std::filesystem::is_regular_file(path_, error))
        file.open(path_);
    if (!file.is_open()) {
        std::cerr << "Failed to open " << path_ << std::endl;
        return;
    }

    std::string line;
    while (std::getline(file, line)) {
        // A line of a CRLF file that is empty still holds its "\r".
        if (isBlank(line) || line.front() == '#')
            continue;
        const std::vector<std::string> fields = Tools::split(line, ",");
        if (fields.size() < 2)
            continue;
        table_.emplace_back(readNumber(fields[0]), readNumber(fields[1]));
    }

    if (table_.size() >= 2 && table_[0].first > table_[1].first)
        std::reverse(table_.begin(), table_.end());
    valid_ = !table_.empty();
}

double LookupTableTransferFunc::apply(double x) const
{
    if (!valid_)
        return x;

    const std::size_t n = table_.size();
    std::size_t lo = 0;
    std::size_t hi = n - 1;
    std::size_t i = hi / 2;
    if (hi >= 2) {
        for (;;) {
            const double xi = table_[i].first;
            if (xi > x) {
                hi = i;
                i = (i + lo) / 2;
            } else if (x > xi) {
                lo = i;
                i = (i + hi) / 2;
            } else {
                break; // x equals xi, or x is NaN
            }
            if (i == lo || i == hi)
                break;
        }
    }

    if (i == n - 1)
        return table_[i].second;
    const auto& [x0, y0] = table_[i];
    const auto& [x1, y1] = table_[i + 1];
    return (y1 - y0) * (x - x0) / (x1 - x0) + y0;
}

QString LookupTableTransferFunc::asString() const
{
    return QString();
}

void LookupTableTransferFunc::change(const QString&)
{
    std::cerr << "Not implemented" << std::flush;
}

QString LookupTableTransferFunc::equationAsString() const
{
    if (!valid_)
        return QStringLiteral("Lookup table (INVALID)");
    return QStringLiteral("Lookup table (%1)").arg(QString::fromStdString(name_));
}

QString LookupTableTransferFunc::description() const
{
    return QStringLiteral("Lookup table");
}
