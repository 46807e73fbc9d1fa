#pragma once
// Plain value records that cross into Python: one decoded sample with its
// times (TMDatapoint) and one RF step of a scan (RfStatusEntry). The packet
// class returns the first, the scan classes the second; the list classes hold
// sequences of both. Default construction gives zero values, so a record
// built empty from Python never reads as garbage.
#include <cstdint>


namespace cvekutil {

struct TMDatapoint
{
    TMDatapoint() = default;
    TMDatapoint(double unix_timestamp, double relative_timestamp, double value)
        : unix_timestamp(unix_timestamp), relative_timestamp(relative_timestamp), value(value)
    {
    }

    double unix_timestamp = 0.0;
    double relative_timestamp = 0.0;
    double value = 0.0;
};

struct RfStatusEntry
{
    unsigned short start_bin = 0;
    double rf_amp_v = 0.0;
    double rf_amp_dac_v = 0.0;
    double aux_amp_dac_v = 0.0;
};

} // namespace cvekutil
