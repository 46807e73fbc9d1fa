#include "koralib/markers/metamarkerrules.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <iostream>

namespace KorGse {

namespace MetaMarkerJsonKeys {
const QString METAMARKERS = QStringLiteral("meta_markers");
const QString TIDS = QStringLiteral("tids");
const QString METAMARKER_ID = QStringLiteral("meta_marker_id");
const QString METAMARKER_TEXT = QStringLiteral("meta_marker_text");
const QString START_CONDITIONS = QStringLiteral("start_conditions");
const QString END_CONDITIONS = QStringLiteral("end_conditions");
const QString TYPE = QStringLiteral("type");
const QString MARKER = QStringLiteral("marker");
const QString REGEX = QStringLiteral("regex");
const QString CASE_SENSITIVE = QStringLiteral("case_sensitive");
const QString OFFSET_IN_SECONDS = QStringLiteral("offset_in_seconds");
const QString NUMBER_OF_SECONDS = QStringLiteral("number_of_seconds");
const QString SEB_TEST_ENABLED = QStringLiteral("seb_test_enabled");
const QString HIGH_VOLTAGE_TEST_ENABLED = QStringLiteral("high_voltage_test_enabled");
const QString LASER_EBT_TEST_ENABLED = QStringLiteral("laser_ebt_test_enabled");
const QString GC_EBT_TEST_ENABLED = QStringLiteral("gc_ebt_test_enabled");
const QString HEATER_TEST_ENABLED = QStringLiteral("heater_test_enabled");
} // namespace MetaMarkerJsonKeys

namespace MetaMarkerJsonValues {
const QString MARKER = QStringLiteral("marker");
const QString DURATION = QStringLiteral("duration");
const QString NEXT_MARKER = QStringLiteral("next_marker");
const QString MESSAGE = QStringLiteral("message");
} // namespace MetaMarkerJsonValues

const QString META_MARKER_RULE_FOLDER_NAME = QStringLiteral("MetaMarkerRules");

namespace {

namespace K = MetaMarkerJsonKeys;
namespace V = MetaMarkerJsonValues;

const char* const FILE_PREFIX = "bool KorGse::isValidMetamarkerRuleFile(QFileInfo)";
const char* const CONDITION_PREFIX = "bool KorGse::isValidTriggerCondition(QJsonValue)";

std::string utf8(const QString& s)
{
    return s.toStdString();
}

// Each finding is one line, flushed at once so that it interleaves with the
// caller's own lines in the order written.
bool fileFinding(const std::string& text)
{
    std::cerr << FILE_PREFIX << text << std::endl;
    return false;
}

bool conditionFinding(const std::string& text, std::ostream& stream = std::cerr)
{
    stream << CONDITION_PREFIX << text << std::endl;
    return false;
}

bool readsAsInt(const QString& piece)
{
    bool ok = false;
    piece.trimmed().toInt(&ok, 10);
    return ok;
}

} // namespace

bool isValidTriggerCondition(QJsonValue condition)
{
    if (!condition.isObject())
        return conditionFinding(" trigger condition is not a JSON object. ");
    const QJsonObject c = condition.toObject();
    const QJsonValue type = c.value(K::TYPE);
    if (!type.isString())
        return conditionFinding(" trigger condition contains invalid type. ");
    const QString t = type.toString();
    if (t == V::MARKER) {
        if (!c.value(K::MARKER).isDouble())
            return conditionFinding(" invalid 'MARKER' field ");
        if (!c.value(K::OFFSET_IN_SECONDS).isDouble())
            return conditionFinding(" invalid 'offset_in_seconds' field");
        for (const QString* flag : {&K::SEB_TEST_ENABLED, &K::HIGH_VOLTAGE_TEST_ENABLED, &K::LASER_EBT_TEST_ENABLED,
                                    &K::GC_EBT_TEST_ENABLED, &K::HEATER_TEST_ENABLED}) {
            if (c.contains(*flag) && !c.value(*flag).isBool())
                return conditionFinding(" invalid '" + utf8(*flag) + "' field", std::cout);
        }
        return true;
    }
    if (t == V::DURATION) {
        if (!c.value(K::NUMBER_OF_SECONDS).isDouble())
            return conditionFinding(" invalid 'number_of_seconds' field ");
        return true;
    }
    if (t == V::MESSAGE) {
        if (!c.value(K::REGEX).isString())
            return conditionFinding(" invalid 'regex' field ");
        if (!c.value(K::CASE_SENSITIVE).isBool())
            return conditionFinding(" invalid 'case_sensitive' field ");
        if (!c.value(K::OFFSET_IN_SECONDS).isDouble())
            return conditionFinding(" invalid 'offset_in_seconds' field ");
        return true;
    }
    if (t == V::NEXT_MARKER)
        return true;
    return conditionFinding(" unknown trigger type: " + utf8(t));
}

bool isValidMetamarkerRuleFile(QFileInfo file)
{
    const std::string name = utf8(file.fileName());
    const QString path = file.absoluteFilePath();
    QFile f(path);
    // Only plain files: a device or a pipe could hand out bytes without end.
    if (!QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly)) {
        std::cerr << "Could not open " << name << " for reading." << std::endl;
        return false;
    }
    const QByteArray bytes = f.readAll();
    f.close();
    const QString text = QString::fromUtf8(bytes);
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (doc.isNull()) {
        std::cerr << FILE_PREFIX << " Failed to parse " << utf8(path) << " contents:" << std::endl
                  << utf8(text) << std::endl;
        return false;
    }
    const QJsonObject root = doc.object(); // an array root reads as an empty object
    if (!root.contains(K::METAMARKERS))
        return fileFinding(" Json file " + name + " does not have " + utf8(K::METAMARKERS) + " as its root key.");
    const QJsonValue list = root.value(K::METAMARKERS);
    if (!list.isArray())
        return fileFinding(" Json file " + name + " does not have " + utf8(K::METAMARKERS) + " as an array.");
    const QJsonArray rules = list.toArray();
    static const QRegularExpression tidSeparators(QStringLiteral("(\\,|\\-)"));
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const std::string at = std::to_string(i);
        if (!rules.at(i).isObject())
            return fileFinding(" Json file " + name + " does not have a JSON object for the element at index " + at);
        const QJsonObject rule = rules.at(i).toObject();
        if (!rule.value(K::TIDS).isString())
            return fileFinding(" Json file " + name + " does not have a string for the 'tids' element at index " + at);
        const QString tids = rule.value(K::TIDS).toString();
        for (const QString& piece : tids.split(tidSeparators, Qt::KeepEmptyParts)) {
            if (!readsAsInt(piece))
                return fileFinding(" Json file " + name + " contains invalid TID specifier: " + utf8(tids));
        }
        const QJsonValue id = rule.value(K::METAMARKER_ID);
        if (!id.isDouble())
            return fileFinding(" meta marker rule at index " + at + " contains invalid or missing meta_marker_id.");
        const double v = id.toDouble();
        if (v < MIN_META_MARKER_ID || v > MAX_META_MARKER_ID) {
            // The id in the stream's default floating-point form ("1e+06").
            std::cerr << FILE_PREFIX << " meta marker ID " << v << " is not in the range [" << MIN_META_MARKER_ID
                      << ", " << MAX_META_MARKER_ID << "]" << std::endl;
            return false;
        }
        if (!rule.value(K::METAMARKER_TEXT).isString())
            return fileFinding(" meta marker rule at index " + at + " contains invalid or missing meta_marker_text. ");
        if (!rule.value(K::START_CONDITIONS).isArray())
            return fileFinding(" meta marker rule at index " + at + " does not have start_conditions as an array. ");
        if (!rule.value(K::END_CONDITIONS).isArray())
            return fileFinding(" meta marker rule at index " + at + " does not have end_conditions as an array. ");
        const QJsonArray starts = rule.value(K::START_CONDITIONS).toArray();
        const QJsonArray ends = rule.value(K::END_CONDITIONS).toArray();
        for (qsizetype j = 0; j < starts.size(); ++j) {
            if (!isValidTriggerCondition(starts.at(j)))
                return fileFinding(" meta marker rule at index " + at + " does not have valid start_condition at index "
                                   + std::to_string(j));
        }
        for (qsizetype j = 0; j < ends.size(); ++j) {
            if (!isValidTriggerCondition(ends.at(j)))
                return fileFinding(" meta marker rule at index " + at + " does not have valid end_condition at index "
                                   + std::to_string(j));
        }
        for (const QJsonValue& c : starts) {
            const QString t = c.toObject().value(K::TYPE).toString();
            if (t != V::MARKER && t != V::MESSAGE)
                return fileFinding(" meta marker rule start_condition at index " + at
                                   + " contains invalid trigger type: " + utf8(t));
        }
        for (const QJsonValue& c : ends) {
            const QString t = c.toObject().value(K::TYPE).toString();
            if (t != V::MARKER && t != V::DURATION && t != V::MESSAGE && t != V::NEXT_MARKER)
                return fileFinding(" meta marker rule end_condition at index " + at
                                   + " contains invalid trigger type: " + utf8(t));
        }
    }
    return true;
}

} // namespace KorGse
