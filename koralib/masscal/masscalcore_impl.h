#pragma once
// Member definitions of the shared mass-calibration templates. Included only
// by the instruments' masscal sources, each of which instantiates the
// templates once for its own classes.
#include "koralib/masscal/masscalcore.h"

#include "gselib/packets/tmmeta.h"
#include "gselib/services/configvek.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>
#include <QtNumeric>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace MassCalCore {

// Calibration and masses files are a few kilobytes; anything far larger is not
// one and is not read into memory.
inline constexpr qint64 MAX_FILE_BYTES = 16 * 1024 * 1024;

// The whole text of a plain file no larger than MAX_FILE_BYTES, opened in text
// mode (line ends become "\n"); false for devices, folders, pipes and files
// that cannot be opened.
inline bool readPlainTextFile(const QString& path, QString* text)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > MAX_FILE_BYTES)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    *text = QString::fromUtf8(file.read(MAX_FILE_BYTES));
    return true;
}

// Regular, readable files of a folder matching the filter in any letter case.
inline QFileInfoList plainFiles(const QString& dir, const QString& filter)
{
    QFileInfoList files =
        QDir(dir).entryInfoList(QStringList{filter}, QDir::Files | QDir::Readable | QDir::NoDotAndDotDot, QDir::NoSort);
    files.erase(std::remove_if(files.begin(), files.end(), [](const QFileInfo& f) { return !f.isFile(); }),
                files.end());
    return files;
}

// ---------------------------------------------------------------- EntryCore

template <class Self>
EntryCore<Self>::EntryCore() = default;

template <class Self>
EntryCore<Self>::EntryCore(int phaseCycle) : valid(true), phaseCycle(phaseCycle)
{
}

template <class Self>
EntryCore<Self>::EntryCore(int version, const QString& text)
{
    if (version == 1)
        loadV1(text.split(QLatin1Char('\n'), Qt::SkipEmptyParts, Qt::CaseSensitive));
    else if (version == 2)
        loadV2(text);
}

template <class Self>
EntryCore<Self>::~EntryCore() = default;

template <class Self>
void EntryCore<Self>::loadV1(QList<QString> lines)
{
    // An empty text has no header: invalid, never a removal from an empty list.
    if (lines.isEmpty()) {
        valid = false;
        return;
    }
    const QString header = lines.takeFirst();
    if (header.split(QLatin1Char('\t'), Qt::SkipEmptyParts).size() != 4) {
        valid = false;
        return;
    }
    points = parseDataPoints(lines);
    calculateFit();
    valid = true;
}

template <class Self>
QMap<double, double> EntryCore<Self>::parseDataPoints(const QList<QString>& lines) const
{
    QMap<double, double> result;
    for (const QString& line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'), Qt::SkipEmptyParts);
        if (fields.size() != 2)
            continue;
        bool okControl = false;
        bool okAmu = false;
        const double control = fields[CONTROL_POS].trimmed().toDouble(&okControl);
        const double amu = fields[AMU_POS].trimmed().toDouble(&okAmu);
        if (okControl && okAmu && std::isfinite(control) && std::isfinite(amu))
            result.insert(control, amu);
    }
    return result;
}

template <class Self>
void EntryCore<Self>::loadV2(const QString& text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    loadV2(doc.object());
}

namespace detail {

// Members convert as QVariant converts them: numbers (rounded to an integer
// where one is wanted), numeric texts and booleans. A number outside int range does not convert (QVariant
// would make it 0 and move the entry to another phase cycle).
inline bool jsonToInt(const QJsonValue& value, int* out)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (!(d > double(std::numeric_limits<int>::min()) - 0.5 && d < double(std::numeric_limits<int>::max()) + 0.5))
            return false;
    }
    bool ok = false;
    const int i = value.toVariant().toInt(&ok);
    if (ok)
        *out = i;
    return ok;
}

inline bool jsonToDouble(const QJsonValue& value, double* out)
{
    bool ok = false;
    const double d = value.toVariant().toDouble(&ok);
    if (ok)
        *out = d;
    return ok;
}

// A point's control value keys an ordered map: NaN would break its order, and
// an infinite control or amu no fit can use.
inline bool jsonToFinite(const QJsonValue& value, double* out)
{
    return jsonToDouble(value, out) && std::isfinite(*out);
}

} // namespace detail

template <class Self>
void EntryCore<Self>::loadV2(const QJsonObject& object)
{
    valid = false;
    if (object.isEmpty())
        return;
    for (const QString& key : ALLKEYS) {
        if (!object.contains(key))
            return;
    }
    int pc = 0;
    const bool pcOk = detail::jsonToInt(object.value(KEY_PHASE_CYCLE), &pc);
    phaseCycle = pc;
    double unusedRms = 0.0;
    if (!pcOk || !detail::jsonToDouble(object.value(KEY_RMS), &unusedRms))
        return;
    const QJsonArray data = object.value(KEY_DATA_POINTS).toArray();
    for (const QJsonValue& element : data) {
        const QJsonObject point = element.toObject();
        if (point.size() != 2)
            continue;
        double control = 0.0;
        double amu = 0.0;
        if (detail::jsonToFinite(point.value(KEY_CONTROL), &control) && detail::jsonToFinite(point.value(KEY_AMU), &amu))
            points.insert(control, amu);
    }
    // Only orders 1 and 2 can be fitted: anything above 2 reads as 2, anything
    // below (or not converting, which counts as 0) as 1.
    int requested = 0;
    detail::jsonToInt(object.value(KEY_ORDER), &requested);
    order = requested >= 2 ? 2 : 1;
    calculateFit();
    valid = true;
}

template <class Self>
void EntryCore<Self>::calculateFit()
{
    rms = 0.0;
    fit = Transform();
    const qsizetype n = points.size();
    if (n < 2 || n < order + 1)
        return;
    std::vector<double> x;
    std::vector<double> y;
    x.reserve(size_t(n));
    y.reserve(size_t(n));
    for (auto it = points.cbegin(); it != points.cend(); ++it) {
        x.push_back(it.key());
        y.push_back(it.value());
    }
    // Transform::fit leaves a failed transform untouched: starting from NaN
    // coefficients tells a failure from a fit (which never yields NaN from
    // finite points).
    Transform fitted(qQNaN(), qQNaN(), qQNaN());
    const double figure = fitted.fit(x.data(), y.data(), unsigned(n), order);
    if (!std::isfinite(fitted.a0()) || !std::isfinite(fitted.a1()) || !std::isfinite(fitted.a2()))
        return;
    fit = fitted;
    rms = figure;
}

template <class Self>
void EntryCore<Self>::setOrder(int newOrder)
{
    if (newOrder != 1 && newOrder != 2)
        return;
    order = newOrder;
    calculateFit();
}

template <class Self>
void EntryCore<Self>::addDataPoint(double control, double amu)
{
    points.insert(control, amu);
    calculateFit();
}

template <class Self>
bool EntryCore<Self>::removeDataPoint(double control)
{
    if (points.remove(control) == 0)
        return false;
    calculateFit();
    return true;
}

template <class Self>
double EntryCore<Self>::apply(double control) const
{
    return fit.apply(control);
}

template <class Self>
double EntryCore<Self>::inverse(double amu) const
{
    return fit.inverse(amu);
}

template <class Self>
bool EntryCore<Self>::equals(const Self& other) const
{
    return points == other.points && fit == other.fit && valid == other.valid && rms == other.rms &&
           phaseCycle == other.phaseCycle;
}

template <class Self>
QJsonObject EntryCore<Self>::toJson() const
{
    QJsonArray data;
    for (auto it = points.cbegin(); it != points.cend(); ++it)
        data.append(QJsonObject{{KEY_CONTROL, it.key()}, {KEY_AMU, it.value()}});
    QJsonObject object;
    object.insert(KEY_PHASE_CYCLE, phaseCycle);
    // JSON has no NaN: a non-finite figure would be written as null and the
    // saved entry would no longer read back.
    object.insert(KEY_RMS, std::isfinite(rms) ? rms : 0.0);
    object.insert(KEY_ORDER, order);
    object.insert(KEY_CONSTANTS, QJsonArray{fit.a0(), fit.a1(), fit.a2()});
    object.insert(KEY_DATA_POINTS, data);
    return object;
}

template <class Self>
QString EntryCore<Self>::toString() const
{
    return QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Indented));
}

// ---------------------------------------------------------------- CalCore

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::equals(const CalCore& other) const
{
    return filePath_ == other.filePath_ && version_ == other.version_ && controlMode_ == other.controlMode_ &&
           entries_ == other.entries_;
}

template <class Cal, class Entry>
void CalCore<Cal, Entry>::assign(const CalCore& other)
{
    if (this == &other)
        return;
    filePath_ = other.filePath_;
    version_ = other.version_;
    controlMode_ = other.controlMode_;
    entries_ = other.entries_;
    emitChanged();
}

template <class Cal, class Entry>
void CalCore<Cal, Entry>::setFilePath(const QString& path)
{
    if (path == filePath_)
        return;
    filePath_ = path;
    emitChanged();
}

template <class Cal, class Entry>
Entry& CalCore<Cal, Entry>::operator[](int phaseCycle)
{
    auto it = entries_.find(phaseCycle);
    if (it != entries_.end())
        return *it;
    return entries_[DEFAULT_PHASE_CYCLE];
}

template <class Cal, class Entry>
Entry CalCore<Cal, Entry>::operator[](int phaseCycle) const
{
    auto it = entries_.constFind(phaseCycle);
    if (it != entries_.cend())
        return *it;
    it = entries_.constFind(DEFAULT_PHASE_CYCLE);
    if (it != entries_.cend())
        return *it;
    return Entry();
}

template <class Cal, class Entry>
QList<int> CalCore<Cal, Entry>::phaseCycles() const
{
    QList<int> keys = entries_.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::addMassCalEntry(int phaseCycle)
{
    if (entries_.contains(phaseCycle))
        return false;
    entries_.insert(phaseCycle, Entry(phaseCycle));
    emitChanged();
    return true;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::removeMassCalEntry(int phaseCycle)
{
    if (entries_.remove(phaseCycle) == 0)
        return false;
    emitChanged();
    return true;
}

template <class Cal, class Entry>
void CalCore<Cal, Entry>::clearEntries()
{
    entries_.clear();
    entries_.insert(DEFAULT_PHASE_CYCLE, Entry(DEFAULT_PHASE_CYCLE));
    emitChanged();
}

template <class Cal, class Entry>
QString CalCore<Cal, Entry>::controlModeAsString(ControlMode mode)
{
    switch (mode) {
    case BIN:
        return QStringLiteral("BIN");
    case RF_MON:
        return QStringLiteral("RF_MON");
    case RF_DAC:
        return QStringLiteral("RF_DAC");
    }
    return QStringLiteral("UNKNOWN");
}

template <class Cal, class Entry>
void CalCore<Cal, Entry>::setControlMode(ControlMode mode)
{
    if (mode == controlMode_)
        return;
    controlMode_ = mode;
    emitChanged();
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::addDataPoint(int phaseCycle, double control, double amu)
{
    auto it = entries_.find(phaseCycle);
    if (it == entries_.end())
        return false;
    it->addDataPoint(control, amu);
    emitChanged();
    return true;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::removeDataPoint(int phaseCycle, double control)
{
    auto it = entries_.find(phaseCycle);
    if (it == entries_.end() || !it->removeDataPoint(control))
        return false;
    emitChanged();
    return true;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::setOrder(int phaseCycle, int order)
{
    if (order != 1 && order != 2)
        return false;
    auto it = entries_.find(phaseCycle);
    if (it == entries_.end() || it->order == order)
        return false;
    it->setOrder(order);
    emitChanged();
    return true;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::loadFromFile(const QString& path)
{
    emit static_cast<Cal*>(this)->aboutToLoad();
    QString text;
    if (!readPlainTextFile(path, &text))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    int version = 1;
    if (!object.isEmpty() && object.contains(KEY_VERSION)) {
        version = 0; // when it does not convert
        detail::jsonToInt(object.value(KEY_VERSION), &version);
    }

    // Taken only when the load succeeds, so that old entries are never read
    // under another quantity.
    ControlMode mode = controlMode_;
    QHash<int, Entry> table;
    const auto file = [&table](const Entry& e) {
        if (e.valid)
            table.insert(e.phaseCycle, e);
    };
    if (version >= NEWEST_VERSION) {
        if (object.contains(KEY_CTRL_MODE)) {
            int value = 0;
            detail::jsonToInt(object.value(KEY_CTRL_MODE), &value);
            mode = ControlMode(value);
        }
        const QJsonArray list = object.value(KEY_ENTRIES).toArray();
        for (const QJsonValue& element : list) {
            Entry e;
            // Only version 2 has a reader; later versions give invalid entries.
            if (version == NEWEST_VERSION)
                e.loadV2(element.toObject());
            file(e);
        }
    } else {
        // The whole text is one entry of the file's version: a JSON object with
        // a "version" of 0 or below has no reader and fails.
        mode = BIN;
        file(Entry(version, text));
    }
    if (table.isEmpty())
        return false;
    if (!table.contains(DEFAULT_PHASE_CYCLE)) {
        // The lowest phase cycle's entry, so the default does not depend on hash order.
        const int lowest = *std::min_element(table.keyBegin(), table.keyEnd());
        table.insert(DEFAULT_PHASE_CYCLE, Entry(table.value(lowest)));
    }
    filePath_ = path;
    version_ = version;
    controlMode_ = mode;
    entries_ = table;
    emitChanged();
    return true;
}

template <class Cal, class Entry>
bool CalCore<Cal, Entry>::searchAndLoad(const QString& dir)
{
    QString path = findNewestConfig(dir);
    if (path.isEmpty()) {
        const QString configured =
            findNewestConfig(GseLib::ConfigVek::getMcalDir(GseLib::ConfigVek::getDefaultGroup()));
        if (configured.isEmpty())
            return false;
        // A read-only archive folder cannot take the copy: the configured file
        // itself is loaded then.
        const QString copy = dir + QLatin1Char('/') + QFileInfo(configured).fileName();
        path = QFile::copy(configured, copy) ? copy : configured;
    }
    return loadFromFile(path);
}

template <class Cal, class Entry>
QString CalCore<Cal, Entry>::findNewestConfig(const QString& dir) const
{
    if (dir.isEmpty())
        return QString();
    const QFileInfoList files = plainFiles(dir, MCAL_NAME_FILTER);
    if (files.isEmpty())
        return QString();
    const auto newest = std::max_element(files.cbegin(), files.cend(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.fileName().compare(b.fileName(), Qt::CaseSensitive) < 0;
    });
    return newest->absoluteFilePath();
}

template <class Cal, class Entry>
QString CalCore<Cal, Entry>::toString() const
{
    QJsonArray list;
    for (int pc : phaseCycles())
        list.append(entries_.value(pc).toJson());
    QJsonObject object;
    object.insert(KEY_VERSION, NEWEST_VERSION);
    object.insert(KEY_CTRL_MODE, int(controlMode_));
    object.insert(KEY_ENTRIES, list);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

template <class Cal, class Entry>
QList<double> CalCore<Cal, Entry>::getDefaultMasses()
{
    const QString dir =
        GseLib::ConfigVek::getGsePath(GseLib::ConfigVek::getDefaultGroup()) + QStringLiteral("/mcal");
    QFileInfoList files = plainFiles(dir, MASSES_NAME_FILTER);
    QList<double> masses;
    if (files.isEmpty())
        return masses;
    // Names equal but for case ("A.amu", "a.amu") in case-sensitive order, so
    // that the choice does not follow the folder's listing order.
    std::sort(files.begin(), files.end(), [](const QFileInfo& a, const QFileInfo& b) {
        const int r = a.fileName().compare(b.fileName(), Qt::CaseInsensitive);
        return r != 0 ? r < 0 : a.fileName().compare(b.fileName(), Qt::CaseSensitive) < 0;
    });
    QString text;
    if (!readPlainTextFile(files.first().filePath(), &text))
        return masses;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(COMMENT_SYMBOL)))
            continue;
        bool ok = false;
        const double mass = line.toDouble(&ok);
        // NaN would make the sort below undefined; infinities sort fine.
        if (ok && !std::isnan(mass))
            masses.append(mass);
    }
    std::sort(masses.begin(), masses.end());
    return masses;
}

template <class Cal, class Entry>
void CalCore<Cal, Entry>::initialize(Cal& massCal, const GseLib::TmMeta& meta, const QString& dir)
{
    const QString name = meta.defaultMcal;
    const QString path = dir + QLatin1Char('/') + name;
    if (!name.isEmpty() && QFileInfo::exists(path))
        massCal.loadFromFile(QFileInfo(path).absoluteFilePath());
    else
        massCal.searchAndLoad(dir);
}

} // namespace MassCalCore
