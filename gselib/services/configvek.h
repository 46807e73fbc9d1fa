#pragma once
// Access to the per-user configuration: an INI file whose group "VEK" names the
// default group and whose other groups hold the paths of a mission's
// definitions. The file is read afresh on every call; only the default group
// and its list of required keys are held in memory.
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace GseLib {
namespace ConfigVek {

extern const QString GROUP_VEK;
extern const QString KEY_DEFAULT_GROUP;

extern const QString GROUP_RUV;
extern const QString GROUP_RTB;
extern const QString GROUP_PELIX;
extern const QString GROUP_PTB;
extern const QString GROUP_WENDO;
extern const QString GROUP_KORA;
extern const QString GROUP_HOBA;
extern const QString GROUP_JYR;
extern const QString GROUP_BIRQ;
extern const QString GROUP_TOLVA;

extern const QString KEY_SEQUENCE_DIR;
extern const QString KEY_SEQ_CFG_FILE;
extern const QString KEY_GSE_DIR;
extern const QString KEY_TM_DEFINITIONS_DIR;
extern const QString KEY_TM_DATABASE_FILE;
extern const QString KEY_DAC_FILE;
extern const QString KEY_HEATER_TABLE_FILE;
extern const QString KEY_DATA_ROOT_DIR;
extern const QString KEY_VIEWERS_ROOT_DIR;
extern const QString KEY_SCLK_TABLE_FILE;
extern const QString KEY_MCAL_DIR;

// Key -> true when its value names a file, false when it names a folder.
extern const QMap<QString, bool> VALUE_IS_FILE;

extern const QStringList REQ_KEYS_DEFAULT;
extern const QStringList REQ_KEYS_RUV;
extern const QStringList REQ_KEYS_WND;
extern const QStringList REQ_KEYS_PLX;
extern const QStringList REQ_KEYS_KOR;
extern const QStringList REQ_KEYS_TOLVA;
extern const QStringList REQ_KEYS_JYR;
extern const QStringList REQ_KEYS_HBA;
extern const QStringList REQ_KEYS_BIRQ;

// $INIVEK when set and not empty, else ".vekconfig.INI" in the home folder.
QString getConfigPath();

// "default_group" of group "VEK", upper-cased; throws std::runtime_error when empty.
QString getDefaultGroupFromIni();
// The same read with a default; never throws for an empty value.
QString getDefaultGroupFromIni(const QString& defaultValue);

// Makes a group the default and selects the keys that it must define.
void setDefaultGroup(const QString& group);
QString getDefaultGroup();
QStringList requiredKeys();

// True when every required key of the default group is set in the group and
// names an existing file or folder. Throws for an empty group. Each fault of
// an existing group is written to standard error as a line of its own.
bool verify(const QString& group);

// A required key of a group that verify refuses.
struct KeyFault
{
    enum class Kind
    {
        Missing,    // the group does not set the key
        Empty,      // the key is set to nothing
        NoSuchPath, // its value names no existing file or folder
    };
    QString key;
    Kind kind;
    QString value;
};
// The faults of the group's required keys, in the order of the required-key
// list; none for a complete group. Throws std::runtime_error, after its line
// on standard error, when the group is not in the file.
QList<KeyFault> keyFaults(const QString& group);
// verify's line for a fault: the key, the group and the file it was read from.
QString describe(const KeyFault& fault, const QString& group);

// Why a group cannot be read at all: the configuration file it is looked for
// in, as getConfigPath found it, is missing or lacks the group.
struct GroupFault
{
    enum class Kind
    {
        NoFile,    // nothing exists at the path
        NotAFile,  // a folder or other non-file is there
        NoGroup,   // the file holds no such group
    };
    Kind kind;
    QString file;
    QStringList groups; // the file's groups, for NoGroup
};
// The fault that keeps a group from being read, or none when the file holds it.
std::optional<GroupFault> groupFault(const QString& group);
// A line for it: the file, where its path came from, and what it lacks.
QString describe(const GroupFault& fault, const QString& group);

// Writes the missing-group message to standard error and throws it.
[[noreturn]] void throwInvalidGroupException(const QString& group);

// The value of a key in a group (note: key first). Throws when the group is missing.
QString getValue(const QString& key, const QString& group);

QString getSequenceDir(const QString& group);
QString getSeqConfigPath(const QString& group);
QString getGsePath(const QString& group);
QString getTmDefinitionsDir(const QString& group);
QString getTmDatabasePath(const QString& group);
QString getDacFilePath(const QString& group);
QString getHeaterTablePath(const QString& group);
QString getDataRootDir(const QString& group);
QString getViewersDir(const QString& group);
QString getSclkTablePath(const QString& group);
QString getMcalDir(const QString& group);

// The group's "gse" folder, then "/configs/", the name and "/".
QString getGseConfigsDir(const QString& name, const QString& group);

// Candidate values for a key of a group, for tools that propose defaults.
QStringList getDefaultPaths(const QString& group, const QString& key);

} // namespace ConfigVek
} // namespace GseLib
