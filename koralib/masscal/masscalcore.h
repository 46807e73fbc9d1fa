#pragma once
// The one implementation of mass calibration shared by both instruments. Each
// instrument names its own types (KorGse::MassCalEntry/MassCal, TolvaGse::...)
// as thin classes over these templates, so the two stay distinct types with
// identical behaviour. The member definitions are in masscalcore_impl.h, which
// only the instruments' .cpp files include to instantiate them explicitly.
#include "conversion/transform.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

namespace GseLib {
class TmMeta;
}

namespace MassCalCore {

// One phase cycle's calibration points (control value -> amu) and the
// least-squares polynomial of order 1 or 2 fitted through them. Self is the
// instrument's entry class, so entries of the two instruments never compare
// or convert into each other.
template <class Self>
class EntryCore : public BaseTransform
{
public:
    static constexpr int CONTROL_POS = 0;
    static constexpr int AMU_POS = 1;

    // Each text is spelt out rather than built from another static: static
    // members of class templates are initialised in no guaranteed order.
    static inline const QString KEY_PHASE_CYCLE = QStringLiteral("phase_cycle");
    static inline const QString KEY_ORDER = QStringLiteral("order");
    static inline const QString KEY_RMS = QStringLiteral("rms");
    static inline const QString KEY_CONSTANTS = QStringLiteral("constants");
    static inline const QString KEY_DATA_POINTS = QStringLiteral("data_points");
    static inline const QString KEY_CONTROL = QStringLiteral("control");
    static inline const QString KEY_AMU = QStringLiteral("amu");
    // The keys an entry object must hold.
    static inline const QStringList ALLKEYS{QStringLiteral("phase_cycle"), QStringLiteral("order"),
                                            QStringLiteral("rms"), QStringLiteral("constants"),
                                            QStringLiteral("data_points")};

    // Invalid, phase cycle -1, order 1, identity fit.
    EntryCore();
    // Valid, for the given phase cycle, no points, identity fit.
    explicit EntryCore(int phaseCycle);
    // Version 1: the text form (a header line of four tab-separated fields, then
    // "control<TAB>amu" lines); version 2: one JSON entry object; any other
    // version leaves the entry invalid.
    EntryCore(int version, const QString& text);
    ~EntryCore() override;

    // The non-empty lines of the text form; the first is the header.
    void loadV1(QList<QString> lines);
    void loadV2(const QString& text);
    void loadV2(const QJsonObject& object);
    // "control<TAB>amu" lines to points; other lines are skipped, as are
    // non-finite numbers (a NaN key would break the map's ordering).
    QMap<double, double> parseDataPoints(const QList<QString>& lines) const;

    // Refits the polynomial to the points. Fewer than two points, fewer than
    // order + 1, or a fit that fails give the identity and rms 0.0, so the fit
    // always describes the current points.
    void calculateFit();
    // Only 1 and 2 are taken (and refit); any other order is ignored.
    void setOrder(int order);
    void addDataPoint(double control, double amu);
    bool removeDataPoint(double control);

    // Both directions are the fitted transform's own, so an entry and a bare
    // Transform with the same coefficients agree on every value.
    double apply(double control) const override;
    double inverse(double amu) const override;

    // The requested order is not compared; a NaN rms never compares equal.
    // Hidden friends of Self only: a member taking Self would be ambiguous with
    // its C++20 reversed form.
    bool equals(const Self& other) const;
    friend bool operator==(const Self& a, const Self& b) { return a.equals(b); }
    friend bool operator!=(const Self& a, const Self& b) { return !a.equals(b); }

    QJsonObject toJson() const;
    // toJson() as indented JSON text.
    QString toString() const;

    QMap<double, double> points; // control value -> amu, shared between copies
    Transform fit;
    bool valid = false;
    double rms = 0.0;
    int phaseCycle = -1;
    int order = 1;
};

// An archive's calibration: entries by phase cycle (-1 the default entry), the
// control mode naming the entries' x quantity, and the file it came from. Cal
// is the instrument's QObject class: every change calls its changed() signal
// and every load its aboutToLoad() first (moc cannot process templates, so the
// signals are declared there).
template <class Cal, class Entry>
class CalCore
{
public:
    enum ControlMode : int { BIN = 0, RF_MON = 1, RF_DAC = 2 };

    static constexpr int DEFAULT_PHASE_CYCLE = -1;
    static constexpr int NEWEST_VERSION = 2;
    static constexpr int UNKNOWN_VERSION = 0;
    static constexpr char COMMENT_SYMBOL = '#';
    static inline const QString MCAL_EXT = QStringLiteral("mcal");
    static inline const QString MASSES_EXT = QStringLiteral("amu");
    // Spelt out, not built from the extensions: see EntryCore's keys.
    static inline const QString MCAL_NAME_FILTER = QStringLiteral("*.mcal");
    static inline const QString MASSES_NAME_FILTER = QStringLiteral("*.amu");
    static inline const QString KEY_VERSION = QStringLiteral("version");
    static inline const QString KEY_CTRL_MODE = QStringLiteral("control_mode");
    static inline const QString KEY_ENTRIES = QStringLiteral("entries");

    // Same path, version, control mode and table.
    bool equals(const CalCore& other) const;
    friend bool operator==(const Cal& a, const Cal& b) { return a.equals(b); }
    friend bool operator!=(const Cal& a, const Cal& b) { return !a.equals(b); }

    QString filePath() const { return filePath_; }
    void setFilePath(const QString& path);
    int version() const { return version_; }

    // The entry of the phase cycle, else the default entry, created (invalid,
    // identity) when missing.
    Entry& operator[](int phaseCycle);
    Entry& entry(int phaseCycle) { return (*this)[phaseCycle]; }
    // A copy of the entry of the phase cycle, else of the default entry, else
    // a default-constructed entry; the table is not changed.
    Entry operator[](int phaseCycle) const;
    Entry entry(int phaseCycle) const { return (*this)[phaseCycle]; }
    // Ascending, -1 included when present (a hash order would change the
    // default entry and the written file from run to run).
    QList<int> phaseCycles() const;

    bool addMassCalEntry(int phaseCycle);
    bool removeMassCalEntry(int phaseCycle);
    // One valid identity entry under -1.
    void clearEntries();

    ControlMode controlMode() const { return controlMode_; }
    QString controlModeAsString() const { return controlModeAsString(controlMode_); }
    static QString controlModeAsString(ControlMode mode);
    void setControlMode(ControlMode mode);

    bool addDataPoint(int phaseCycle, double control, double amu);
    bool removeDataPoint(int phaseCycle, double control);
    // False, and no signal, when there is no such entry, the order is not 1 or 2,
    // or the entry already has it.
    bool setOrder(int phaseCycle, int order);

    // Reads a calibration file (JSON version 2 or the text form). A load that
    // fails changes nothing, the control mode included.
    bool loadFromFile(const QString& path);
    // The newest file of the folder, else the newest of the configured
    // calibration folder, copied into the folder when it can be.
    bool searchAndLoad(const QString& dir);
    // Absolute path of the folder's greatest "*.mcal" file name, or "".
    QString findNewestConfig(const QString& dir) const;
    // Version-2 JSON text, entries in ascending phase cycle.
    QString toString() const;
    // The masses of the first "*.amu" file of the group's gse "mcal" folder, ascending.
    static QList<double> getDefaultMasses();
    // The calibration that tm.meta names, else the folder's newest.
    static void initialize(Cal& massCal, const GseLib::TmMeta& meta, const QString& dir);

protected:
    CalCore() = default;
    CalCore(const CalCore&) = default;
    ~CalCore() = default;
    // Copies the four members and signals changed() (nothing for self-assignment).
    void assign(const CalCore& other);

private:
    void emitChanged() { emit static_cast<Cal*>(this)->changed(); }

    QString filePath_;
    int version_ = UNKNOWN_VERSION;
    ControlMode controlMode_ = BIN;
    QHash<int, Entry> entries_;
};

// The QObject side shared by the instruments' calibration classes, which add
// only Q_OBJECT and the two signals: copies are new parentless objects with the
// same data (QObject itself cannot be copied), and assignment signals changed().
template <class Cal, class Entry>
class CalObject : public QObject, public CalCore<Cal, Entry>
{
public:
    CalObject() = default;
    CalObject(const CalObject& other) : QObject(), CalCore<Cal, Entry>(other) {}
    CalObject& operator=(const CalObject& other)
    {
        this->assign(other);
        return *this;
    }
    ~CalObject() override = default;
};

} // namespace MassCalCore
