#pragma once
// One yellow/red limit set of a database row. The limit type packs two
// fields: bits 0-1 select the value stage tested (0 inactive, 1 raw, 2 ENG,
// 3 SCI), bits 2-3 the comparison (0 value below the limit, 1 above, 2 equal,
// 3 different).
#include <QMetaType>

#include <memory>
#include <ostream>

class TransferFunc;

namespace GseLib {

enum LimitState : int {
    RedLow = -2,
    YellowLow = -1,
    Green = 0,
    YellowHigh = 1,
    RedHigh = 2
};

class LimitChecker
{
public:
    // Hits reported by checkLimit, as flags.
    static constexpr int YellowHit = 1;
    static constexpr int RedHit = 2;

    LimitChecker() = default;

    void setLimitType(unsigned long type);
    void setYellowLimit(double limit);
    void setRedLimit(double limit);
    void setConversions(std::shared_ptr<TransferFunc> eng, std::shared_ptr<TransferFunc> sci, bool sciFromEng);

    // 0, or the sum of YellowHit and RedHit. A missing transfer function
    // leaves the value as it is.
    int checkLimit(double value) const;

    bool isValid() const { return valid; }
    bool hasYellowLimit() const { return has_yellow; }
    bool hasRedLimit() const { return has_red; }
    unsigned long long limitType() const { return type; }
    int valueMode() const { return valuemode; }
    int comparisonType() const { return comparison; }
    int persistenceCount() const { return persistence; }
    double yellowLimit() const { return yellow_lim; }
    double redLimit() const { return red_lim; }
    bool sciFromEng() const { return sci_from_eng; }

    // Type, flags and limits (within 1e-12); the functions take no part.
    bool operator==(const LimitChecker& o) const;
    bool operator!=(const LimitChecker& o) const { return !(*this == o); }

    friend std::ostream& operator<<(std::ostream& os, const LimitChecker& checker);

private:
    bool valid = false;
    bool has_yellow = false;
    bool has_red = false;
    unsigned long long type = 0;
    int valuemode = 0;
    int comparison = 0;
    int persistence = 1;
    double yellow_lim = 0.0;
    double red_lim = 0.0;
    std::shared_ptr<TransferFunc> eng_;
    std::shared_ptr<TransferFunc> sci_;
    bool sci_from_eng = false;
};

// "valid=1 has_yellow=0 ... sci_from_eng=0 " (every item followed by a blank).
std::ostream& operator<<(std::ostream& os, const LimitChecker& checker);

} // namespace GseLib

Q_DECLARE_METATYPE(GseLib::LimitState)
