#pragma once
// Current time and timestamps as text in the library's fixed formats.
#include <QString>

// Local time as ISO 8601 with milliseconds and the numeric UTC offset
// (or "Z" when the zone is at UTC), e.g. 2024-03-05T14:07:09.123+01:00.
QString currentDateTimeIsoMsecs();
