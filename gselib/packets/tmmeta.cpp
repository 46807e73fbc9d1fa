// Reading tm.meta, an archive's JSON side file: found beside the archive (or
// the newest in its folder), its "gse" keys read as far as its version has
// them, its annotations, the configuration group its mission and model name,
// and the test's date and time read from its folder name.
#include "gselib/packets/tmmeta.h"

#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>
#include <cmath>

namespace Gse {

const QString MISSION_TOLVA = QStringLiteral("tolva");
const QString MISSION_HOBA = QStringLiteral("hoba");
const QString MISSION_KORA = QStringLiteral("kora");
const QString MISSION_JYR = QStringLiteral("jyr");

} // namespace Gse

namespace GseLib {

const QString Annotation::KEY_KEY = QStringLiteral("key");
const QString Annotation::KEY_X = QStringLiteral("x");
const QString Annotation::KEY_TEXT = QStringLiteral("text");
const QString Annotation::KEY_RELEVANT_HKIDS = QStringLiteral("relevant_hkids");

Annotation::Annotation(int key, double x, const QString& text, const QList<int>& relevantHkids)
    : key(key), x(x), text(text), relevantHkids(relevantHkids)
{
}

Annotation Annotation::fromMap(const QMap<QString, QVariant>& map)
{
    Annotation a;
    a.key = map.value(KEY_KEY).toInt();
    a.x = map.value(KEY_X).toDouble();
    a.text = map.value(KEY_TEXT).toString();
    for (const QVariant& id : map.value(KEY_RELEVANT_HKIDS).toList())
        a.relevantHkids.append(id.toInt());
    return a;
}

QList<Annotation> Annotation::fromVariantList(const QList<QVariant>& list)
{
    QList<Annotation> out;
    out.reserve(list.size());
    for (const QVariant& v : list)
        out.append(fromMap(v.toMap()));
    return out;
}

QJsonArray Annotation::toJsonArray(const QList<Annotation>& annotations)
{
    QJsonArray out;
    for (const Annotation& a : annotations)
        out.append(a.toJson());
    return out;
}

QJsonObject Annotation::toJson() const
{
    QJsonArray ids;
    for (int id : relevantHkids)
        ids.append(id);
    QJsonObject o;
    o.insert(KEY_KEY, key);
    o.insert(KEY_X, x);
    o.insert(KEY_TEXT, text);
    o.insert(KEY_RELEVANT_HKIDS, ids);
    return o;
}

QByteArray Annotation::toAscii() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
}

QString Annotation::toString() const
{
    return QString::fromUtf8(toAscii());
}

QStringList Annotation::relevantHkidsStringList() const
{
    QStringList out;
    for (int id : relevantHkids)
        out << QString::number(id);
    return out;
}

QList<QVariant> Annotation::relevantHkidsVariantList() const
{
    QList<QVariant> out;
    for (int id : relevantHkids)
        out << QVariant(id);
    return out;
}

bool Annotation::operator==(const Annotation& other)
{
    return key == other.key && std::fabs(x - other.x) <= 1e-5 && text == other.text &&
           relevantHkids == other.relevantHkids;
}

bool operator==(const Annotation& a, const Annotation& b)
{
    return a.key == b.key && a.x == b.x && a.text == b.text && a.relevantHkids == b.relevantHkids;
}

bool operator!=(const Annotation& a, const Annotation& b)
{
    return !(a == b);
}

QDebug operator<<(QDebug debug, const Annotation& a)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "Annotation(Key: " << a.key << " x: " << a.x << " text: " << a.text
                    << " hkids: " << a.relevantHkids << ")";
    return debug;
}

const QString TmMeta::TM_META_NAME = QStringLiteral("tm.meta");
const QStringList TmMeta::FILE_FILTER = {TmMeta::TM_META_NAME};
const int TmMeta::CURRENT_VERSION = 3;
const QString TmMeta::KEY_GSE = QStringLiteral("gse");
const QString TmMeta::KEY_VERSION = QStringLiteral("version");
const QString TmMeta::KEY_MISSION = QStringLiteral("mission");
const QString TmMeta::KEY_MODEL = QStringLiteral("model");
const QString TmMeta::KEY_PATCH_FILES = QStringLiteral("patch_files");
const QString TmMeta::KEY_TID = QStringLiteral("tid");
const QString TmMeta::KEY_TID_DIR = QStringLiteral("tid_dir");
const QString TmMeta::KEY_TMFILE_NAME = QStringLiteral("tmfile_name");
const QString TmMeta::KEY_DEFAULT_MCAL = QStringLiteral("default_mcal");
const QString TmMeta::KEY_DAC_TABLE = QStringLiteral("dac_table");
const QString TmMeta::KEY_ANNOTATIONS = QStringLiteral("annotations");

TmMeta::TmMeta(const QString& path)
{
    const QFileInfo info(path);
    const bool isFile = info.exists() && info.isFile();
    folder = isFile ? info.absolutePath() : path;
    bool read = false;
    if (isFile) {
        const QString name = info.fileName();
        if (name.endsWith(QLatin1String("meta")) || name.endsWith(QLatin1String("json")))
            read = parseFile(info.absoluteFilePath());
        else
            read = parseFile(info.absoluteFilePath() + QStringLiteral(".meta"));
    }
    valid = read ? true : findAndHandleFile(folder);
}

bool TmMeta::findAndHandleFile(const QString& dir)
{
    const QDir d(dir);
    if (dir.isEmpty() || !d.exists())
        return false;
    QFileInfoList files = d.entryInfoList(FILE_FILTER, QDir::Files, QDir::Time);
    if (files.isEmpty())
        files = d.entryInfoList({QStringLiteral("*.meta")}, QDir::Files, QDir::Time);
    if (files.isEmpty())
        return false;
    return parseFile(files.first().absoluteFilePath());
}

bool TmMeta::parseFile(const QString& path)
{
    QFile file(path);
    if (!Tools::openPlainFile(file)) {
        // An archive's own side file is often absent; one that is there but
        // cannot be read is worth a word.
        if (QFileInfo::exists(path))
            LOG_WARN("tmmeta", "tm.meta " << path << " cannot be read as a plain file");
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull()) {
        LOG_WARN("tmmeta", "tm.meta " << path << " is not JSON: " << error.errorString() << " at byte "
                                      << error.offset);
        return false;
    }
    fileName_ = path;
    json = doc.object();
    if (json.contains(KEY_ANNOTATIONS))
        annotations = Annotation::fromVariantList(json.value(KEY_ANNOTATIONS).toArray().toVariantList());

    const QJsonValue gseValue = json.value(KEY_GSE);
    const QJsonObject gse = gseValue.toObject();
    const QJsonValue versionValue = gse.value(KEY_VERSION);
    version = versionValue.toInt(0);
    if (version < 1) {
        if (!gseValue.isObject())
            LOG_WARN("tmmeta", "tm.meta " << path << " has no object \"" << KEY_GSE << "\"");
        else if (versionValue.isUndefined())
            LOG_WARN("tmmeta", "tm.meta " << path << " has no \"" << KEY_VERSION << "\" in \"" << KEY_GSE << "\"");
        else
            LOG_WARN("tmmeta", "tm.meta " << path << ": \"" << KEY_VERSION << "\" is not a whole number from 1: "
                                          << QString::fromUtf8(QJsonDocument(QJsonArray{versionValue})
                                                                   .toJson(QJsonDocument::Compact))
                                                 .mid(1)
                                                 .chopped(1));
        return false;
    }
    if (!gse.value(KEY_MISSION).isString())
        LOG_WARN("tmmeta", "tm.meta " << path << " names no \"" << KEY_MISSION << "\" in \"" << KEY_GSE << "\"");
    int readAs = version;
    if (version > CURRENT_VERSION) {
        LOG_WARN("tmmeta", QStringLiteral("tm.meta version %1 higher than supported version %2. "
                                          "Attempting to parse anyways.")
                               .arg(version)
                               .arg(CURRENT_VERSION));
        readAs = CURRENT_VERSION;
    }
    mission = gse.value(KEY_MISSION).toString();
    model = gse.value(KEY_MODEL).toString();
    patchFiles.clear();
    for (const QJsonValue& v : gse.value(KEY_PATCH_FILES).toArray())
        patchFiles << v.toString();
    tid = gse.value(KEY_TID).toInt(0);
    tidDir = gse.value(KEY_TID_DIR).toString();
    tmfileName = gse.value(KEY_TMFILE_NAME).toString();
    // Keys a version does not have read as their defaults, so a re-read of an
    // older file does not keep values of a newer one.
    defaultMcal = readAs >= 2 ? gse.value(KEY_DEFAULT_MCAL).toString() : QString();
    dacTable = readAs >= 3 ? gse.value(KEY_DAC_TABLE).toString() : QString();
    return true;
}

bool TmMeta::refresh()
{
    valid = findAndHandleFile(folder);
    return valid;
}

bool TmMeta::setDirectoryPath(const QString& dir, bool search)
{
    folder = dir;
    if (!search)
        return true;
    valid = findAndHandleFile(folder);
    return valid;
}

bool TmMeta::isMission(const QString& name) const
{
    return mission.compare(name, Qt::CaseInsensitive) == 0;
}

QString TmMeta::configVekGroup() const
{
    QString group = mission.toUpper();
    if (!model.isEmpty())
        group += QLatin1Char('_') + model.toUpper();
    return group;
}

QDateTime TmMeta::datetimeFromTidDir() const
{
    // Date and time are read apart: read as one local date-time, a reading
    // that falls into a daylight-saving gap of this machine's zone would be
    // lost although it exists in New York.
    const QString head = tidDir.left(19);
    if (head.size() != 19 || head.at(10) != QLatin1Char('-'))
        return QDateTime();
    const QDate date = QDate::fromString(head.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(head.mid(11), QStringLiteral("hh.mm.ss"));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, QTimeZone("America/New_York"));
}

QJsonObject TmMeta::toJson() const
{
    QJsonArray patches;
    for (const QString& p : patchFiles)
        patches.append(p);
    QJsonObject gse;
    gse.insert(KEY_DEFAULT_MCAL, defaultMcal);
    gse.insert(KEY_VERSION, CURRENT_VERSION);
    gse.insert(KEY_MODEL, model);
    gse.insert(KEY_TMFILE_NAME, tmfileName);
    gse.insert(KEY_MISSION, mission);
    gse.insert(KEY_TID, tid);
    gse.insert(KEY_TID_DIR, tidDir);
    gse.insert(KEY_PATCH_FILES, patches);
    gse.insert(KEY_DAC_TABLE, dacTable);
    QJsonObject out = json;
    out.insert(KEY_GSE, gse);
    out.insert(KEY_ANNOTATIONS, Annotation::toJsonArray(annotations));
    return out;
}

QByteArray TmMeta::toAscii() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
}

QString TmMeta::toString() const
{
    return QString::fromUtf8(toAscii());
}

bool TmMeta::saveAs(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(toAscii());
    return true;
}

bool TmMeta::save(const QString& dir) const
{
    const QString target = dir.isEmpty() ? folder : dir;
    if (target.isEmpty() || !QDir(target).exists())
        return false;
    return saveAs(target + QLatin1Char('/') + TM_META_NAME);
}

QDebug operator<<(QDebug debug, const TmMeta& meta)
{
    QDebugStateSaver saver(debug);
    debug.noquote().nospace() << "TmMeta : " << meta.toString();
    return debug;
}

} // namespace GseLib
