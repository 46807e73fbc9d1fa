#pragma once
// One command of a SEB sequence: its id and its own copy of its bytes (from
// the sync code on). Names and field values come from the process-wide
// interpreter table; sequences, scans and the Python layer share commands.
#include <QString>

#include <memory>
#include <vector>

namespace KorGse {

class SebCmd
{
public:
    // Command ids with a meaning of their own in the system.
    static constexpr int SET_BIN_TIME = 18;
    static constexpr int PAUSE_IMM = 21;
    static constexpr int SEND_SCAN_STATUS = 23;
    static constexpr int SET_DAC = 28;
    static constexpr int SET_DAC_IMM = 29; // its field 0 is where every DAC value field's command keeps the DAC id
    static constexpr int RAMP = 32;
    static constexpr int RAMP_IMM = 33;
    static constexpr int PAUSE = 46;

    // Keeps the id and a copy of bytes [begin, end) (clamped to the vector).
    SebCmd(int id, std::shared_ptr<std::vector<unsigned char>> bytes, int begin, int end);

    // The interpreter's name; "" for an id the table does not define.
    QString name() const;
    // Field i's science value and text; std::out_of_range for an id the
    // table does not define, a field it lacks or bytes the command lacks.
    double fieldSci(int i) const;
    QString fieldSciStr(int i) const;

    int id = 0;
    std::shared_ptr<std::vector<unsigned char>> data; // never null
};

} // namespace KorGse
