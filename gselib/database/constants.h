#pragma once
// Named constants of a definitions folder (constants.json): a JSON array of
// objects with the string members "name", "type" and "value".
#include <QByteArray>
#include <QString>
#include <map>
#include <string>
#include <variant>

namespace GseLib {

// A constant keeps the type its file declared.
using ConstantValue = std::variant<int, double, std::string>;
// Lower-cased UTF-8 name to value; a later entry of the same name replaces an earlier one.
using ConstantMap = std::map<std::string, ConstantValue>;

// Reads the file at `path` into `constants` (which is not emptied first).
// Missing, unreadable and malformed files are logged and leave the map as it was.
void loadConstantsFile(const QString& path, ConstantMap& constants);

// Applies the JSON text of a constants file to `constants`; false when the text
// is not a JSON document (logged), true otherwise.
bool parseConstants(const QByteArray& json, ConstantMap& constants);

} // namespace GseLib
