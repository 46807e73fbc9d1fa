#pragma once
// The message log of the open archive. The instrument sends its text log in
// pieces inside the values of two data items; the process-wide MsgLogCache
// decodes them from every packet of the shared packet cache in archive order,
// splits them into lines, rejoins lines cut at a packet end, and searches the
// lines by time or by packet-index range. The Python module shows the lines;
// the first instrument's meta markers search them on every message packet.
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringView>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"

namespace GseLib {

class TelemetryFile;
class TMPacket;

// Any of the three line ends: "\n", "\r\n", a lone "\r".
extern const QRegularExpression LINESPLIT;
// A line that opens with its own time: at least two digits with at most one
// decimal point among them, then a colon.
extern const QRegularExpression MSG_LOG_LINE_TIME_REGEX;

class MsgLogLine
{
public:
    MsgLogLine() = default;
    // The line's times come from its own time prefix (seconds of the
    // instrument clock, timed in the packet's context) when it has one, else
    // from the packet.
    MsgLogLine(const std::shared_ptr<TMPacket>& packet, const QString& text);

    void setTime(double t) { relativeTime = t; }
    // The text after the first ": " for a line with its own time (empty when
    // there is none), else the whole text.
    QString msg() const;
    // The trimmed message holds a match of the expression.
    bool contains(const QRegularExpression& re) const;
    // The whole text, time prefix included, holds s.
    bool contains(const QString& s, bool caseSensitive) const;
    // This line with the other's text appended; index, times and flag are this line's.
    MsgLogLine concat(const MsgLogLine& other) const;

    uint32_t pktIndex = 0;
    double relativeTime = 0.0;
    double unixTime = 0.0;
    QString text;
    bool hasOwnTime = false;

private:
    QStringView msgView() const;
};

class MsgLogCache
{
public:
    // The process-wide cache, built on first use.
    static MsgLogCache* getInstance();

    // Looks up "MSG:TEXT" then "MEB:MESSAGE_LOG" in the current hub (when
    // there is one; else the first refresh does).
    MsgLogCache();
    ~MsgLogCache();
    MsgLogCache(const MsgLogCache&) = delete;
    MsgLogCache& operator=(const MsgLogCache&) = delete;

    // Appends a copy of the row of each name (SUB_SYSTEM:NAME) to the rows;
    // a name the database lacks is logged and skipped. The names are kept, so
    // a later hub is asked for them again.
    void setMnemonics(const QList<QString>& mnemonics);
    // Back to before the first packet, with no lines.
    void resetState();
    // Reads the packets that arrived since the last call. When the hub was
    // rebuilt or reloaded or moved its offsets, or the shared cache was
    // replaced or pointed at a file, it first starts again from the first
    // packet with rows from the new hub.
    // Throws std::runtime_error when no hub was built.
    void refresh();
    void reload();

    // The first line from the first one whose relative time is not below t
    // (found by bisection) that matches, alone or joined to the line before
    // it; not found: a default line whose relative time is t.
    MsgLogLine search(double t, const QRegularExpression& re, bool* found) const;
    // Over the lines whose packet index lies in [from, to]: the first match
    // (last false) or the last (last true), a line without its own time also
    // tried joined to the line before it; not found: a default line. Costs
    // O(log n + window): the window is found by bisection on the packet index.
    MsgLogLine search(uint32_t from, uint32_t to, const QRegularExpression& re, bool* found, bool last) const;
    // The same search; `secondLine` (when not null) receives, for a result
    // joined from two lines, where the second line's text begins in the
    // result's text, else -1. Lets a caller judge a match by the line it
    // sits in.
    MsgLogLine search(uint32_t from, uint32_t to, const QRegularExpression& re, bool* found, bool last,
                      qsizetype* secondLine) const;

    // Lines stay at their addresses while the list grows (views into it
    // survive refreshes); a reset or a change of hub or archive ends them.
    const std::deque<MsgLogLine>& lines() const { return lines_; }
    size_t size() const { return lines_.size(); }
    // Throws std::out_of_range for an index not below size().
    const MsgLogLine& line(size_t i) const;

    const QList<TmDatabaseRow>& rows() const { return rows_; }
    const QList<QString>& mnemonics() const { return mnemonics_; }
    bool lastLineOpen() const { return lastLineOpen_; }
    const std::shared_ptr<TelemetryFile>& cursor() const { return cursor_; }

private:
    static DataInterpretation* currentHub();
    // Starts again with the current rows when the hub or the shared cache
    // changed since the rows were taken; true when it did.
    bool follow(DataInterpretation* hub);
    void takeRows(DataInterpretation* hub, const QList<QString>& mnemonics);
    void readPacket(const DataInterpretation& hub, const std::shared_ptr<TMPacket>& packet);
    void addText(const std::shared_ptr<TMPacket>& packet, const QString& text);

    std::shared_ptr<TelemetryFile> cursor_;
    QList<TmDatabaseRow> rows_;
    std::deque<MsgLogLine> lines_;
    bool lastLineOpen_ = false;

    QList<QString> mnemonics_;
    bool rowsTaken_ = false;
    uint64_t hubGeneration_ = 0;
    uint64_t cacheGeneration_ = 0;
    // Packet indexes never fall from line to line (true for one archive);
    // the window search bisects only then.
    bool indexOrdered_ = true;
    // Reused per row and packet, so reading allocates only for the text.
    DataItems items_;
    std::string buffer_;
};

} // namespace GseLib
