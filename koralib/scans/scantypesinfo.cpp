#include "koralib/scans/scantypesinfo.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "tools/logger/log.h"
#include "tools/util/jsonutil.h"
#include "tools/util/parsingexception.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace KorGse {

namespace {
// The table is a few kilobytes; a larger file is not read whole.
constexpr qint64 MAX_FILE_BYTES = 16 * 1024 * 1024;
} // namespace

const QString ScanTypesInfo::CFG_FILENAME = QStringLiteral("scantypesinfo.json");

ScanTypeInfo::ScanTypeInfo(QMap<QString, QVariant> map)
    : name(JsonUtil::extractStringFromMap(map, QStringLiteral("name"))),
      key(JsonUtil::extractUIntFromMap(map, QStringLiteral("key"))),
      hkid(JsonUtil::extractUIntFromMap(map, QStringLiteral("hkid"))),
      rawlabel(JsonUtil::extractStringFromMap(map, QStringLiteral("rawlabel"))),
      defaulttosci(JsonUtil::extractBoolFromMap(map, QStringLiteral("defaulttosci")))
{
}

double ScanTypeInfo::defaultApply(double raw) const
{
    if (!convertsToScience())
        return raw;
    return GseLib::DataInterpretation::current()->convertValue(static_cast<int>(hkid), raw, Gse::Sci,
                                                                nullptr);
}

QString ScanTypeInfo::defaultApplyStr(double raw) const
{
    const QString rawText = QString::number(raw, 'g', 6);
    if (!convertsToScience())
        return rawText + rawlabel;
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const QString units = QString::fromStdString(hub->db()->row(hkid).sciUnits);
    const double sci = hub->convertValue(static_cast<int>(hkid), raw, Gse::Sci, nullptr);
    // One pass: a "%1" inside the units stays as written.
    return QStringLiteral("%1%2 (%3)").arg(QString::number(sci, 'f', 4), units, rawText);
}

ScanTypesInfo::ScanTypesInfo()
{
    reload();
}

void ScanTypesInfo::reload()
{
    list_.clear();
    byKey_.clear();
    const QString path = GseLib::ConfigVek::getTmDefinitionsDir(GseLib::ConfigVek::getDefaultGroup()) +
                         QLatin1Char('/') + CFG_FILENAME;
    // Only a plain file: a device or a pipe named here would never end or never open.
    const QFileInfo fileInfo(path);
    if (fileInfo.exists() && !fileInfo.isFile())
        throw FileOpenException("Not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileOpenException(file.errorString().toStdString());
    // A damaged file leaves the table empty, which silently changes every scan
    // value read through it: say so, naming the file.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(MAX_FILE_BYTES), &error);
    if (error.error != QJsonParseError::NoError) {
        LOG_WARN("tmdb", "Scan types file parsing error, no scan types read: " << path << ": "
                                                                               << error.errorString());
        return;
    }
    if (!document.isArray()) {
        LOG_WARN("tmdb", "Scan types file does not hold a JSON array, no scan types read: " << path);
        return;
    }
    const QJsonArray array = document.array();
    for (const QJsonValue& element : array) {
        if (!element.isObject())
            continue;
        const auto info = QSharedPointer<ScanTypeInfo>::create(element.toObject().toVariantMap());
        byKey_.insert(static_cast<int>(info->key), info);
        list_.append(info);
    }
}

QStringList ScanTypesInfo::names() const
{
    QStringList result;
    result.reserve(list_.size());
    for (const auto& info : list_)
        result.append(info->name);
    return result;
}

QList<int> ScanTypesInfo::ids() const
{
    QList<int> result;
    result.reserve(list_.size());
    for (const auto& info : list_)
        result.append(static_cast<int>(info->key));
    return result;
}

QSharedPointer<ScanTypeInfo> ScanTypesInfo::info(int key) const
{
    return byKey_.value(key);
}

bool ScanTypesInfo::hasId(int key) const
{
    return byKey_.contains(key);
}

} // namespace KorGse
