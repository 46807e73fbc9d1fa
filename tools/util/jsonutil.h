#pragma once
// Typed reads from a parsed JSON object (the variant map Qt makes of it). A missing
// key throws MissingKeyException, a value that cannot be converted to the requested
// type throws UnexpectedValueTypeException.
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariant>

class JsonUtil
{
public:
    JsonUtil() = delete;

    // An absent key gives an invalid variant: that is the missing-key test.
    static void verifyValidVariant(const QString& key, const QVariant& value);
    // Passes when the value's type converts to `type` (not only an exact match).
    static void verifyVariantType(const QString& key, const QVariant& value, QMetaType::Type type);

    // Case-sensitive lookup, then both checks, then the variant's own conversion (a
    // conversion that does not succeed yields 0, false or the empty string).
    static QString extractStringFromMap(const QMap<QString, QVariant>& map, const QString& key);
    static int extractIntFromMap(const QMap<QString, QVariant>& map, const QString& key);
    static unsigned int extractUIntFromMap(const QMap<QString, QVariant>& map, const QString& key);
    static bool extractBoolFromMap(const QMap<QString, QVariant>& map, const QString& key);
};
