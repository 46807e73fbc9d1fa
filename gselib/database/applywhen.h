#pragma once
// The applicability conditions of a database row: its samples are taken from a
// packet only when the raw value of each named data item of the same packet
// lies in an inclusive range. Text form: "12=1..3;14=0" (a single value v
// stands for v..v).
#include "gselib/database/range.h"

#include <QString>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace GseLib {

class DataInterpretation;
class TMPacket;

class ApplyWhen
{
public:
    struct Condition
    {
        int id = 0;
        Range<long long> range;

        bool operator==(const Condition& o) const { return id == o.id && range == o.range; }
        bool operator!=(const Condition& o) const { return !(*this == o); }
    };

    static const QString RANGE_DELIM;

    ApplyWhen() = default;

    // Never throws: a bound that is not a number is logged and read as 0.
    static ApplyWhen fromString(const QString& text);

    void addCondition(int id, Range<long long> range) { conditions_.push_back(Condition{id, range}); }
    void clear() { conditions_.clear(); }

    // True when every condition holds for the raw values that the hub decodes
    // from the same packet; an empty list always passes. A value that does not
    // decode (or is NaN) fails; others are truncated toward zero, saturating.
    bool passes(const DataInterpretation* di, const TMPacket* packet) const;
    // The same test with the raw value of a data id given by a function that
    // sets *ok to whether the value exists.
    bool passes(const std::function<double(int id, bool* ok)>& rawValue) const;

    const std::vector<Condition>& conditions() const { return conditions_; }
    bool empty() const { return conditions_.empty(); }
    std::size_t size() const { return conditions_.size(); }
    std::vector<Condition>::const_iterator begin() const { return conditions_.begin(); }
    std::vector<Condition>::const_iterator end() const { return conditions_.end(); }

    bool operator==(const ApplyWhen& o) const { return conditions_ == o.conditions_; }
    bool operator!=(const ApplyWhen& o) const { return !(*this == o); }

private:
    std::vector<Condition> conditions_;
};

// Each condition as id=low..high; (so a non-empty list ends with ";").
std::ostream& operator<<(std::ostream& os, const ApplyWhen& applyWhen);
std::string to_string(const ApplyWhen& applyWhen);

} // namespace GseLib
