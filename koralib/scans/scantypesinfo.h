#pragma once
// The first instrument's scan types, read from scantypesinfo.json in the
// telemetry-definitions folder of the default configuration group: per scan
// type its name, numeric key, the housekeeping item whose science conversion
// interprets its raw values, and their raw label. The module's scan-value
// interpretation builds a table per request (the file is read anew each time),
// looks the type up by key and converts with defaultApply.
#include <QHash>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace KorGse {

class ScanTypeInfo
{
public:
    // Reads "name", "key", "hkid", "rawlabel", "defaulttosci"; a missing member
    // throws MissingKeyException, one of another type UnexpectedValueTypeException.
    explicit ScanTypeInfo(QMap<QString, QVariant> map);

    // The science value through database row hkid when defaulttosci is set and
    // hkid (signed) is 1 or more; else the raw value. Needs the interpretation hub.
    double defaultApply(double raw) const;
    // "12.3457V (100)" (science value, its units, raw value) under the same
    // condition, else the raw value followed by rawlabel.
    QString defaultApplyStr(double raw) const;

    QString name;
    quint32 key = 0;
    quint32 hkid = 0;
    QString rawlabel;
    bool defaulttosci = false;

private:
    bool convertsToScience() const { return defaulttosci && static_cast<qint32>(hkid) >= 1; }
};

class ScanTypesInfo
{
public:
    static const QString CFG_FILENAME;

    // An empty table, then reload(): throws as reload() does.
    ScanTypesInfo();

    // Rereads the file. A file that cannot be opened throws FileOpenException;
    // a bad element throws from ScanTypeInfo, keeping the types read before it.
    // Bad JSON, a top level other than an array, and elements that are not
    // objects give nothing and no error.
    void reload();

    QStringList names() const;
    QList<int> ids() const;
    QSharedPointer<ScanTypeInfo> info(int key) const;
    bool hasId(int key) const;

private:
    QList<QSharedPointer<ScanTypeInfo>> list_;     // file order, duplicates included
    QHash<int, QSharedPointer<ScanTypeInfo>> byKey_; // the later of equal keys
};

} // namespace KorGse
