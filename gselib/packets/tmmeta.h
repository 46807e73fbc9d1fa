#pragma once
// The metadata of one archive, read from the JSON side file ("tm.meta")
// beside it: mission, model, patch files, test id and folder, default mass
// calibration, DAC table and the user's annotations.
#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace Gse {

// The mission words by which tm.meta names a mission (compared ignoring case).
extern const QString MISSION_TOLVA;
extern const QString MISSION_HOBA;
extern const QString MISSION_KORA;
extern const QString MISSION_JYR;

} // namespace Gse

namespace GseLib {

// One note of an archive: a key, an x position, a text and the data ids of
// the housekeeping items it concerns.
class Annotation
{
public:
    static const QString KEY_KEY;
    static const QString KEY_X;
    static const QString KEY_TEXT;
    static const QString KEY_RELEVANT_HKIDS;

    Annotation() = default;
    Annotation(int key, double x, const QString& text, const QList<int>& relevantHkids);

    static Annotation fromMap(const QMap<QString, QVariant>& map);
    static QList<Annotation> fromVariantList(const QList<QVariant>& list);
    static QJsonArray toJsonArray(const QList<Annotation>& annotations);

    QJsonObject toJson() const;
    QByteArray toAscii() const;
    QString toString() const;
    QStringList relevantHkidsStringList() const;
    QList<QVariant> relevantHkidsVariantList() const;

    // Equal keys, texts and ids, x within 1e-5. (The free operator== wants x exactly equal.)
    bool operator==(const Annotation& other);
    bool operator!=(const Annotation& other) { return !(*this == other); }

    int key = 0;
    double x = 0.0;
    QString text;
    QList<int> relevantHkids;
};

bool operator==(const Annotation& a, const Annotation& b);
bool operator!=(const Annotation& a, const Annotation& b);
QDebug operator<<(QDebug debug, const Annotation& annotation);

class TmMeta
{
public:
    static const QString TM_META_NAME;
    static const QStringList FILE_FILTER;
    static const int CURRENT_VERSION;
    static const QString KEY_GSE;
    static const QString KEY_VERSION;
    static const QString KEY_MISSION;
    static const QString KEY_MODEL;
    static const QString KEY_PATCH_FILES;
    static const QString KEY_TID;
    static const QString KEY_TID_DIR;
    static const QString KEY_TMFILE_NAME;
    static const QString KEY_DEFAULT_MCAL;
    static const QString KEY_DAC_TABLE;
    static const QString KEY_ANNOTATIONS;

    TmMeta() = default;
    // Finds and reads the side file for a side file, an archive or a folder.
    explicit TmMeta(const QString& path);

    bool parseFile(const QString& path);
    bool findAndHandleFile(const QString& folder);
    bool refresh();
    bool setDirectoryPath(const QString& folder, bool search);

    QString fileName() const { return fileName_; }
    bool isMission(const QString& name) const;
    // MISSION, or MISSION_MODEL when there is a model, upper case.
    QString configVekGroup() const;
    // The test date of the test-id folder name, in America/New_York; invalid when there is none.
    QDateTime datetimeFromTidDir() const;

    QJsonObject toJson() const;
    QByteArray toAscii() const;
    QString toString() const;
    bool saveAs(const QString& path) const;
    bool save(const QString& folder = QString()) const;

    void setAnnotations(const QList<Annotation>& list) { annotations = list; }
    void addAnnotation(const Annotation& annotation) { annotations.append(annotation); }

    bool valid = false;
    QString folder;

private:
    QString fileName_;

public:
    QJsonObject json;
    QString defaultMcal;
    QString mission;
    QString model;
    QStringList patchFiles;
    int tid = 0;
    QString tidDir;
    QString tmfileName;
    int version = 0;
    QString dacTable;
    QList<Annotation> annotations;
};

QDebug operator<<(QDebug debug, const TmMeta& meta);

} // namespace GseLib
