#pragma once
// One data item over a run of packets, as columns: what the hub's itemSeries
// fills for callers that want a series rather than a list per packet (the
// Python module's item_arrays hands each column to numpy as it is). Sample k
// is (unixTimes[k], relativeTimes[k], values[k]) of the packet at position
// packetIndexes[k]; the samples come packet by packet, each packet's in the
// order its decoder gave them.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace GseLib {

struct ItemSeries
{
    // How a fill ended.
    enum class Outcome {
        Filled,      // every packet of the run was read (none may have held the item)
        UnknownItem, // the database has no row of that id; nothing appended
        TextSample   // a packet gave a text sample; nothing appended
    };

    // The most samples a fill reserves room for from its estimate: a first
    // packet of many samples (a damaged one among them) must not make it ask
    // for more than a series can need; past this the columns grow as vectors do.
    static constexpr size_t MAX_RESERVE = size_t(1) << 24;

    std::vector<double> unixTimes;
    std::vector<double> relativeTimes;
    std::vector<double> values;
    std::vector<int64_t> packetIndexes;

    size_t size() const { return values.size(); }
    void clear()
    {
        unixTimes.clear();
        relativeTimes.clear();
        values.clear();
        packetIndexes.clear();
    }
    // Back to the first n samples.
    void truncate(size_t n)
    {
        unixTimes.resize(n);
        relativeTimes.resize(n);
        values.resize(n);
        packetIndexes.resize(n);
    }
    void reserve(size_t n)
    {
        unixTimes.reserve(n);
        relativeTimes.reserve(n);
        values.reserve(n);
        packetIndexes.reserve(n);
    }
};

} // namespace GseLib
