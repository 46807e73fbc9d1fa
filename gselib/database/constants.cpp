#include "gselib/database/constants.h"

#include "tools/logger/log.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace GseLib {

namespace {

const QString KEY_NAME = QStringLiteral("name");
const QString KEY_TYPE = QStringLiteral("type");
const QString KEY_VALUE = QStringLiteral("value");

// A member that is missing or not a JSON string counts as the empty text.
QString stringMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue v = object.value(key);
    return v.isString() ? v.toString() : QString();
}

} // namespace

void loadConstantsFile(const QString& path, ConstantMap& constants)
{
    if (!QFileInfo::exists(path)) {
        LOG_DEBUG("tmdb", "Constants not loaded...file does not exist: " << path);
        return;
    }
    LOG_DEBUG("tmdb", "Loading constants: " << path);
    // A device or pipe could block or never end; only plain files are read.
    if (!QFileInfo(path).isFile()) {
        LOG_DEBUG("tmdb", "Failed to open constants file: " << "Not a regular file");
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOG_DEBUG("tmdb", "Failed to open constants file: " << file.errorString());
        return;
    }
    parseConstants(file.readAll(), constants);
}

bool parseConstants(const QByteArray& json, ConstantMap& constants)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull()) {
        LOG_DEBUG("tmdb", "Failed to parse constants file: " << error.errorString());
        return false;
    }

    // An object root reads as an empty array.
    const QJsonArray elements = document.array();
    for (const QJsonValue& element : elements) {
        const QJsonObject object = element.toObject();
        const QString type = stringMember(object, KEY_TYPE);
        const std::string name = stringMember(object, KEY_NAME).toLower().toStdString();
        const QString value = stringMember(object, KEY_VALUE);

        if (type == QLatin1String("int")) {
            bool ok = false;
            const int v = value.toInt(&ok, 10);
            if (ok)
                constants[name] = v;
            else
                LOG_WARN("tmdb", "Could not convert constant value to int: " << value);
        } else if (type == QLatin1String("double")) {
            bool ok = false;
            const double v = value.toDouble(&ok);
            if (ok)
                constants[name] = v;
            else
                LOG_WARN("tmdb", "Could not convert constant value to double: " << value);
        } else if (type.contains(QLatin1String("string"))) {
            constants[name] = value.toStdString();
        } else {
            LOG_WARN("tmdb", "Unknown constant type: " << type);
        }
    }
    LOG_DEBUG("tmdb", "Loaded " << constants.size() << " constants");
    return true;
}

} // namespace GseLib
