#pragma once
// The meta-marker rule-file format (JSON files in the "MetaMarkerRules" folder
// of the gse path): its key and value words, the id range, and the validator
// that the MetaMarkerCache runs on each file before it loads it. The validator
// writes its one finding to standard error (the test-flag findings to standard
// output) in words users' scripts and logs rely on, and returns false.
#include <QFileInfo>
#include <QJsonValue>
#include <QString>

namespace KorGse {

namespace MetaMarkerJsonKeys {
extern const QString METAMARKERS;
extern const QString TIDS;
extern const QString METAMARKER_ID;
extern const QString METAMARKER_TEXT;
extern const QString START_CONDITIONS;
extern const QString END_CONDITIONS;
extern const QString TYPE;
extern const QString MARKER;
extern const QString REGEX;
extern const QString CASE_SENSITIVE;
extern const QString OFFSET_IN_SECONDS;
extern const QString NUMBER_OF_SECONDS;
extern const QString SEB_TEST_ENABLED;
extern const QString HIGH_VOLTAGE_TEST_ENABLED;
extern const QString LASER_EBT_TEST_ENABLED;
extern const QString GC_EBT_TEST_ENABLED;
extern const QString HEATER_TEST_ENABLED;
} // namespace MetaMarkerJsonKeys

namespace MetaMarkerJsonValues {
extern const QString MARKER;
extern const QString DURATION;
extern const QString NEXT_MARKER;
extern const QString MESSAGE;
} // namespace MetaMarkerJsonValues

extern const QString META_MARKER_RULE_FOLDER_NAME;

constexpr int MIN_META_MARKER_ID = 50000;
constexpr int MAX_META_MARKER_ID = 99999;

// Reads and checks one rule file; false after writing the first finding.
bool isValidMetamarkerRuleFile(QFileInfo file);
// Checks one trigger condition's keys for its kind; false after its finding.
bool isValidTriggerCondition(QJsonValue condition);

} // namespace KorGse
