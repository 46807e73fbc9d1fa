#pragma once
// The mass calibration of one archive: a MassCalEntry per phase cycle (the
// entry under DEFAULT_PHASE_CYCLE serves phase cycles without their own) and
// the control mode naming the quantity the entries take as x. The science data
// cache wrapper shares one with its scans; ScanData::getTransform reads it.
#include "koralib/masscalentry.h"

#include <QHash>
#include <QObject>
#include <QString>

namespace KorGse {

class MassCal : public QObject
{
    Q_OBJECT

public:
    enum ControlMode : int { BIN = 0, RF_MON = 1, RF_DAC = 2 };

    static constexpr int DEFAULT_PHASE_CYCLE = -1;

    MassCal();
    ~MassCal() override;

    // The entry of the phase cycle, else the default entry, which is created
    // (invalid, identity) when missing.
    MassCalEntry& operator[](int phaseCycle);
    // A copy of the entry of the phase cycle, else of the default entry, else
    // a default-constructed entry; the table is not changed.
    MassCalEntry operator[](int phaseCycle) const;

    // False when the phase cycle has an entry; else adds a valid identity entry.
    bool addMassCalEntry(int phaseCycle);

    ControlMode controlMode() const { return controlMode_; }
    void setControlMode(ControlMode mode);

signals:
    void changed();
    void aboutToLoad();

private:
    QString filePath_;
    int version_ = 0;
    ControlMode controlMode_ = BIN;
    QHash<int, MassCalEntry> entries_;
};

} // namespace KorGse
