#pragma once
// Small shared routines.
#include <QDateTime>
#include <QFile>
#include <QMetaEnum>
#include <QString>

#include <string>
#include <vector>

namespace Tools {

// The key of a value of an enumeration declared with Q_ENUM; empty when the
// value has no key.
template <typename E>
QString enumName(E value)
{
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(static_cast<int>(value)));
}

// Cuts the text at every occurrence of any of the separator characters, dropping the
// separators and keeping empty fields: n separators give n + 1 fields, an empty text
// one empty field.
std::vector<std::string> split(const std::string& text, const char* separators);

// Opens the file read-only when its name leads to a plain file; a device or a
// pipe could block or never end. False, and the file left closed, otherwise.
bool openPlainFile(QFile& file);

// The file valid at `time` in a folder of dated sub-folders (names written with the
// Qt date-time format folderNameFormat, read as UTC): starting with the latest
// sub-folder dated strictly before `time` (the earliest when none is), and going back
// towards the earliest, the first sub-folder holding a file that matches the wildcard
// nameFilter gives the absolute path of its first such file in case-insensitive name
// order. Sub-folders whose names are not dates in that format are skipped. Empty when
// the folder is missing, `time` is not a UTC date-time, or nothing matches.
QString findFileInLowerDir(const QString& folder, const QDateTime& time, const QString& nameFilter,
                           const QString& folderNameFormat);

} // namespace Tools
