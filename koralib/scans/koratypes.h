#pragma once
// Small enumerations of the first instrument shared by its scan record and
// the science data cache that builds scans (and, through them, the Python layer).
#include <QFlags>

namespace KORA {

// How a summed scan takes its time stamp from its scan statuses. Stored as an
// int: settings may hold any value, and values other than 0 and 1 read as
// FirstAndLastStatus.
enum SummedScanTimestampMode : int {
    PacketTime = 0,         // the summed packet's own relative time
    MeanOfStatuses = 1,     // the mean of every status's relative time
    FirstAndLastStatus = 2, // the first status, or the midpoint of the first and the last
};

// The scan packet kinds a science data cache handles.
enum ScanType : int {
    Type26 = 1, // science segments
    Type27 = 2, // summed scans, 16-bit bins
    Type28 = 4, // summed scans, 8-bit bins
};
Q_DECLARE_FLAGS(ScanTypes, ScanType)

} // namespace KORA

Q_DECLARE_OPERATORS_FOR_FLAGS(KORA::ScanTypes)
