#include "tools/util/jsonutil.h"

#include "tools/util/parsingexception.h"

namespace {

QVariant checkedValue(const QMap<QString, QVariant>& map, const QString& key, QMetaType::Type type)
{
    const QVariant value = map.value(key);
    JsonUtil::verifyValidVariant(key, value);
    JsonUtil::verifyVariantType(key, value, type);
    return value;
}

} // namespace

void JsonUtil::verifyValidVariant(const QString& key, const QVariant& value)
{
    if (!value.metaType().isValid())
        throw MissingKeyException(key.toStdString());
}

void JsonUtil::verifyVariantType(const QString& key, const QVariant& value, QMetaType::Type type)
{
    const QMetaType target(type);
    if (QMetaType::canConvert(value.metaType(), target))
        return;
    const char* expected = target.name();
    const char* got = value.typeName();
    throw UnexpectedValueTypeException(key.toStdString(), expected ? expected : "",
                                       got ? got : "");
}

QString JsonUtil::extractStringFromMap(const QMap<QString, QVariant>& map, const QString& key)
{
    return checkedValue(map, key, QMetaType::QString).toString();
}

int JsonUtil::extractIntFromMap(const QMap<QString, QVariant>& map, const QString& key)
{
    return checkedValue(map, key, QMetaType::Int).toInt();
}

unsigned int JsonUtil::extractUIntFromMap(const QMap<QString, QVariant>& map, const QString& key)
{
    return checkedValue(map, key, QMetaType::UInt).toUInt();
}

bool JsonUtil::extractBoolFromMap(const QMap<QString, QVariant>& map, const QString& key)
{
    return checkedValue(map, key, QMetaType::Bool).toBool();
}
