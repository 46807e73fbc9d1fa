#include "gselib/services/configvek.h"

#include "tools/logger/log.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace GseLib {
namespace ConfigVek {

const QString GROUP_VEK = QStringLiteral("VEK");
const QString KEY_DEFAULT_GROUP = QStringLiteral("default_group");

const QString GROUP_RUV = QStringLiteral("RUV");
const QString GROUP_RTB = QStringLiteral("RUV_TESTBED");
const QString GROUP_PELIX = QStringLiteral("PELIX");
const QString GROUP_PTB = QStringLiteral("PELIX_TESTBED");
const QString GROUP_WENDO = QStringLiteral("WENDO");
const QString GROUP_KORA = QStringLiteral("KORA");
const QString GROUP_HOBA = QStringLiteral("HOBA");
const QString GROUP_JYR = QStringLiteral("JYR");
const QString GROUP_BIRQ = QStringLiteral("BIRQ");
const QString GROUP_TOLVA = QStringLiteral("TOLVA");

const QString KEY_SEQUENCE_DIR = QStringLiteral("sequence_root");
const QString KEY_SEQ_CFG_FILE = QStringLiteral("seq_config");
const QString KEY_GSE_DIR = QStringLiteral("gse");
const QString KEY_TM_DEFINITIONS_DIR = QStringLiteral("tm_definitions");
const QString KEY_TM_DATABASE_FILE = QStringLiteral("tm_database");
const QString KEY_DAC_FILE = QStringLiteral("dac_file");
const QString KEY_HEATER_TABLE_FILE = QStringLiteral("heater_table");
const QString KEY_DATA_ROOT_DIR = QStringLiteral("data_root");
const QString KEY_VIEWERS_ROOT_DIR = QStringLiteral("viewers_root");
const QString KEY_SCLK_TABLE_FILE = QStringLiteral("sclk_table");
const QString KEY_MCAL_DIR = QStringLiteral("mcal_root");

const QMap<QString, bool> VALUE_IS_FILE = {
    {KEY_SEQUENCE_DIR, false},      {KEY_SEQ_CFG_FILE, true},      {KEY_GSE_DIR, false},
    {KEY_TM_DEFINITIONS_DIR, false}, {KEY_TM_DATABASE_FILE, true}, {KEY_DAC_FILE, true},
    {KEY_HEATER_TABLE_FILE, true},   {KEY_DATA_ROOT_DIR, false},   {KEY_VIEWERS_ROOT_DIR, false},
    {KEY_SCLK_TABLE_FILE, true},     {KEY_MCAL_DIR, false},
};

const QStringList REQ_KEYS_DEFAULT = {KEY_GSE_DIR, KEY_TM_DEFINITIONS_DIR, KEY_TM_DATABASE_FILE,
                                      KEY_VIEWERS_ROOT_DIR, KEY_DATA_ROOT_DIR};
const QStringList REQ_KEYS_RUV =
    REQ_KEYS_DEFAULT + QStringList{KEY_DAC_FILE, KEY_HEATER_TABLE_FILE, KEY_SCLK_TABLE_FILE};
const QStringList REQ_KEYS_WND =
    REQ_KEYS_DEFAULT + QStringList{KEY_DAC_FILE, KEY_HEATER_TABLE_FILE, KEY_SCLK_TABLE_FILE};
const QStringList REQ_KEYS_PLX =
    REQ_KEYS_DEFAULT + QStringList{KEY_DAC_FILE, KEY_HEATER_TABLE_FILE, KEY_SCLK_TABLE_FILE};
const QStringList REQ_KEYS_KOR =
    REQ_KEYS_DEFAULT + QStringList{KEY_SEQUENCE_DIR, KEY_SEQ_CFG_FILE, KEY_DAC_FILE,
                                   KEY_HEATER_TABLE_FILE, KEY_SCLK_TABLE_FILE, KEY_MCAL_DIR};
const QStringList REQ_KEYS_TOLVA = REQ_KEYS_DEFAULT + QStringList{KEY_DAC_FILE, KEY_MCAL_DIR};
const QStringList REQ_KEYS_JYR = REQ_KEYS_DEFAULT;
const QStringList REQ_KEYS_HBA = REQ_KEYS_DEFAULT;
const QStringList REQ_KEYS_BIRQ = REQ_KEYS_DEFAULT;

namespace {

QString defaultGroup;
QStringList requiredKeys_;

const QString INVALID_GROUP = QStringLiteral(
    "The following group does not exist in the .vekconfig.INI file: '%1'. A valid group is "
    "necessary for proper functioning of our software.");

// Qt reads an INI value holding an unquoted comma as a list; a path such as
// /data/a,b must come back whole.
QString asText(const QVariant& value)
{
    if (value.metaType().id() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// The mission word that selects a group's required keys, in matching order.
const std::pair<QString, const QStringList*>* missionKeys(const QString& group)
{
    static const std::pair<QString, const QStringList*> table[] = {
        {QStringLiteral("RUV"), &REQ_KEYS_RUV},     {QStringLiteral("PELIX"), &REQ_KEYS_PLX},
        {QStringLiteral("WENDO"), &REQ_KEYS_WND},   {QStringLiteral("KORA"), &REQ_KEYS_KOR},
        {QStringLiteral("HOBA"), &REQ_KEYS_HBA},    {QStringLiteral("JYR"), &REQ_KEYS_JYR},
        {QStringLiteral("BIRQ"), &REQ_KEYS_BIRQ},   {QStringLiteral("TOLVA"), &REQ_KEYS_TOLVA},
    };
    for (const auto& row : table) {
        if (group.contains(row.first, Qt::CaseInsensitive))
            return &row;
    }
    return nullptr;
}

QString getConfigValue(const QString& group, const QString& key)
{
    QSettings settings(getConfigPath(), QSettings::IniFormat);
    if (!settings.childGroups().contains(group, Qt::CaseSensitive))
        throwInvalidGroupException(group);
    settings.beginGroup(group);
    return asText(settings.value(key, QString()));
}

} // namespace

QString getConfigPath()
{
    const QString fromEnv = QString::fromUtf8(qgetenv("INIVEK"));
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QDir::homePath() + QStringLiteral("/.vekconfig.INI");
}

QString getDefaultGroupFromIni()
{
    const QString path = getConfigPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(GROUP_VEK);
    const QString group = asText(settings.value(KEY_DEFAULT_GROUP)).toUpper();
    if (group.isEmpty()) {
        throw std::runtime_error(QStringLiteral("You must define the '%1' key under the %2 group in %3")
                                     .arg(KEY_DEFAULT_GROUP, GROUP_VEK, path)
                                     .toStdString());
    }
    return group;
}

QString getDefaultGroupFromIni(const QString& defaultValue)
{
    QSettings settings(getConfigPath(), QSettings::IniFormat);
    settings.beginGroup(GROUP_VEK);
    return asText(settings.value(KEY_DEFAULT_GROUP, defaultValue)).toUpper();
}

void setDefaultGroup(const QString& group)
{
    defaultGroup = group;
    LOG_DEBUG("configvek", "Changed default ConfigVek group to " << group);
    if (const auto* row = missionKeys(group))
        requiredKeys_ = *row->second;
    else if (!group.isEmpty())
        requiredKeys_ = REQ_KEYS_DEFAULT;
}

QString getDefaultGroup()
{
    return defaultGroup;
}

QStringList requiredKeys()
{
    return requiredKeys_;
}

bool verify(const QString& group)
{
    if (group.isEmpty())
        throwInvalidGroupException(group);
    QList<KeyFault> faults;
    try {
        faults = keyFaults(group);
    } catch (const std::runtime_error&) {
        return false; // the missing group has been reported already
    }
    // Every fault is said, so that one run shows all there is to mend.
    for (const KeyFault& fault : faults) {
        const QByteArray line = describe(fault, group).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    }
    std::fflush(stderr);
    return faults.isEmpty();
}

QList<KeyFault> keyFaults(const QString& group)
{
    QList<KeyFault> faults;
    const QStringList keys = requiredKeys_;
    for (const QString& key : keys) {
        const QString value = getConfigValue(group, key);
        if (QFileInfo::exists(value))
            continue;
        if (!value.isEmpty()) {
            faults.append({key, KeyFault::Kind::NoSuchPath, value});
            continue;
        }
        QSettings settings(getConfigPath(), QSettings::IniFormat);
        settings.beginGroup(group);
        faults.append({key, settings.contains(key) ? KeyFault::Kind::Empty : KeyFault::Kind::Missing, value});
    }
    return faults;
}

QString describe(const KeyFault& fault, const QString& group)
{
    const QString head = QStringLiteral("The key '%1' of the group '%2' in %3").arg(fault.key, group, getConfigPath());
    switch (fault.kind) {
    case KeyFault::Kind::Missing:
        return head + QStringLiteral(" is missing");
    case KeyFault::Kind::Empty:
        return head + QStringLiteral(" is empty");
    case KeyFault::Kind::NoSuchPath:
        break;
    }
    return head + QStringLiteral(" names a path that does not exist: ") + fault.value;
}

std::optional<GroupFault> groupFault(const QString& group)
{
    const QString path = getConfigPath();
    const QFileInfo info(path);
    if (!info.exists())
        return GroupFault{GroupFault::Kind::NoFile, path, {}};
    if (!info.isFile())
        return GroupFault{GroupFault::Kind::NotAFile, path, {}};
    const QStringList groups = QSettings(path, QSettings::IniFormat).childGroups();
    if (!group.isEmpty() && groups.contains(group, Qt::CaseSensitive))
        return std::nullopt;
    return GroupFault{GroupFault::Kind::NoGroup, path, groups};
}

QString describe(const GroupFault& fault, const QString& group)
{
    // The fixed file name of the missing-group message hides which file was read.
    const QString head = QStringLiteral("The configuration file %1, %2,")
                             .arg(fault.file, qEnvironmentVariableIsEmpty("INIVEK")
                                                  ? QStringLiteral("the home folder's as INIVEK is not set")
                                                  : QStringLiteral("named by INIVEK"));
    switch (fault.kind) {
    case GroupFault::Kind::NoFile:
        return head + QStringLiteral(" does not exist");
    case GroupFault::Kind::NotAFile:
        return head + QStringLiteral(" is not a file");
    case GroupFault::Kind::NoGroup:
        break;
    }
    return head + QStringLiteral(" has no group '%1'; ").arg(group) +
           (fault.groups.isEmpty() ? QStringLiteral("it has none")
                                   : QStringLiteral("its groups: ") + fault.groups.join(QStringLiteral(", ")));
}

void throwInvalidGroupException(const QString& group)
{
    const QString message = INVALID_GROUP.arg(group);
    const QByteArray line = message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    throw std::runtime_error(message.toStdString());
}

QString getValue(const QString& key, const QString& group)
{
    return getConfigValue(group, key);
}

QString getSequenceDir(const QString& group) { return getConfigValue(group, KEY_SEQUENCE_DIR); }
QString getSeqConfigPath(const QString& group) { return getConfigValue(group, KEY_SEQ_CFG_FILE); }
QString getGsePath(const QString& group) { return getConfigValue(group, KEY_GSE_DIR); }
QString getTmDefinitionsDir(const QString& group) { return getConfigValue(group, KEY_TM_DEFINITIONS_DIR); }
QString getTmDatabasePath(const QString& group) { return getConfigValue(group, KEY_TM_DATABASE_FILE); }
QString getDacFilePath(const QString& group) { return getConfigValue(group, KEY_DAC_FILE); }
QString getHeaterTablePath(const QString& group) { return getConfigValue(group, KEY_HEATER_TABLE_FILE); }
QString getDataRootDir(const QString& group) { return getConfigValue(group, KEY_DATA_ROOT_DIR); }
QString getViewersDir(const QString& group) { return getConfigValue(group, KEY_VIEWERS_ROOT_DIR); }
QString getSclkTablePath(const QString& group) { return getConfigValue(group, KEY_SCLK_TABLE_FILE); }
QString getMcalDir(const QString& group) { return getConfigValue(group, KEY_MCAL_DIR); }

QString getGseConfigsDir(const QString& name, const QString& group)
{
    return getGsePath(group) + QStringLiteral("/configs/") + name + QLatin1Char('/');
}

QStringList getDefaultPaths(const QString& group, const QString& key)
{
    const QString home = QDir::homePath();
    const QString tmDef = QStringLiteral("TMDef");

    if (key == KEY_SEQUENCE_DIR)
        return {QStringLiteral("sequence")};
    if (key == KEY_SEQ_CFG_FILE)
        return {QStringLiteral("sequence/config-default.ops")};
    if (key == KEY_TM_DEFINITIONS_DIR)
        return {tmDef};
    if (key == KEY_HEATER_TABLE_FILE)
        return {QStringLiteral("fswTables/heater.txt")};
    if (key == KEY_DATA_ROOT_DIR)
        return {QStringLiteral("data")};
    if (key == KEY_VIEWERS_ROOT_DIR)
        return {QStringLiteral("Viewers")};
    if (key == KEY_MCAL_DIR)
        return {QStringLiteral("mcal")};

    if (key == KEY_GSE_DIR) {
        if (group == GROUP_RUV || group == GROUP_RTB) {
            return {home + QStringLiteral("/ruv/gse"), home + QStringLiteral("/gse/ruv"),
                    home + QStringLiteral("/gse/ruvgse"), home + QStringLiteral("/gse")};
        }
        // The group's own folder word, then its short word.
        static const QMap<QString, std::pair<QString, QString>> words = {
            {GROUP_PELIX, {QStringLiteral("pelixgse"), QStringLiteral("pelix")}},
            {GROUP_PTB, {QStringLiteral("pelixgse"), QStringLiteral("pelix")}},
            {GROUP_WENDO, {QStringLiteral("wendogse"), QStringLiteral("wendo")}},
            {GROUP_KORA, {QStringLiteral("koragse"), QStringLiteral("kora")}},
            {GROUP_HOBA, {QStringLiteral("hobagse"), QStringLiteral("hoba")}},
            {GROUP_JYR, {QStringLiteral("jyrgse"), QStringLiteral("jyr")}},
            {GROUP_BIRQ, {QStringLiteral("birqgse"), QStringLiteral("birq")}},
            {GROUP_TOLVA, {QStringLiteral("tolvagse"), QStringLiteral("tolva")}},
        };
        const auto it = words.constFind(group);
        if (it == words.constEnd())
            return {};
        return {home + QLatin1Char('/') + it->first, home + QStringLiteral("/gse/") + it->second,
                home + QStringLiteral("/gse/") + it->first};
    }

    // File names per group: database, DAC table, clock table. An empty DAC
    // name stands for the definitions folder itself; an empty clock name for none.
    struct Files
    {
        const char* database;
        const char* dac;
        const char* sclk;
    };
    static const QMap<QString, Files> files = {
        {GROUP_RUV, {"RUV_TM_Database.txt", "RUV_DAC_Conversions.txt", "RUV_SCLK.txt"}},
        {GROUP_RTB, {"RTB_TM_Database.txt", "RTB_DAC_Conversions.txt", "RTB_SCLK.txt"}},
        {GROUP_PELIX, {"PLX_TM_Database.txt", "PLX_DAC_Conversions.txt", "PLX_SCLK.txt"}},
        {GROUP_PTB, {"PTB_TM_Database.txt", "PTB_DAC_Conversions.txt", "PTB_SCLK.txt"}},
        {GROUP_WENDO, {"WND_TM_Database.txt", "WND_DAC_Conversions.txt", "WND_SCLK.txt"}},
        {GROUP_KORA, {"KOR_TM_Database.txt", "KOR_DAC_Conversions.txt", "KOR_SCLK.txt"}},
        {GROUP_HOBA, {"HBA_TM_Database.txt", "", "HBA_SCLK.txt"}},
        {GROUP_JYR, {"JYR_TM_Database.txt", "", "JYR_SCLK.txt"}},
        {GROUP_BIRQ, {"BIRQ_TM_Database.txt", "", "BIRQ_SCLK.txt"}},
        {GROUP_TOLVA, {"TOLVA_TM_Database.txt", "TOLVA_DAC_Conversions.txt", nullptr}},
    };
    const auto it = files.constFind(group);
    if (it == files.constEnd())
        return {};
    if (key == KEY_TM_DATABASE_FILE)
        return {tmDef + QLatin1Char('/') + QLatin1String(it->database)};
    if (key == KEY_DAC_FILE)
        return {tmDef + QLatin1Char('/') + QLatin1String(it->dac)};
    if (key == KEY_SCLK_TABLE_FILE && it->sclk)
        return {tmDef + QLatin1Char('/') + QLatin1String(it->sclk)};
    return {};
}

} // namespace ConfigVek
} // namespace GseLib
