// Records every read of a fixed set of archives, so that a change meant to
// leave the archive parse's reads alone can be checked: records of the same
// inputs made before and after it are identical, line for line. Each line
// names one read and gives its packet count, the lines it wrote, where it
// stopped and a sha256 over every packet's index, bytes and ground time and
// over those lines; the last line hashes the whole record.
//
// The reads: the committed fuzz corpora of the archive formats, as their
// targets read them; the shared folder's real recordings and reproducers
// (said absent when they are); the damage test's archives, whole, grown and
// followed while written; the reads that the opening read decides; and files
// started anew under the reader. scripts/read_record builds and runs it.
#include "fuzz/strictcache.h"
#include "tests/tolvalib/damagedarchives.h"

#include "fuzz/korafuzzhub.h"
#include "koralib/archive/kortelemetrycache.h"
#include "tolvalib/tolvaccsdspacket.h"
#include "tolvalib/tolvaitfpacket.h"
#include "tools/logger/log.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace {

using namespace DamageTest;
using GseLib::TelemetryCache;
using GseLib::TMPacket;
using GseLib::TMPacketPtr;
using CacheMaker = std::function<std::unique_ptr<TelemetryCache>()>;

// What the library logs and Qt warns of while a read runs (an ITF frame's
// faults, a hub's notes), kept with that read's lines.
QStringList g_logged;

void keepLogged(const LoggerEventMsg& m)
{
    // Without the source line, which moves with any edit of the code.
    g_logged << QString("log %1 %2: %3").arg(int(m.level)).arg(m.component, m.text);
}

void keepQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    g_logged << QString("qt %1: %2").arg(int(type)).arg(text);
}

// The packets of one read, or of a frame's parse.
class Digest
{
public:
    void add(const TMPacket& p)
    {
        const int32_t index = p.index;
        const uint64_t size = p.bytes ? p.bytes->size() : 0;
        auto both = [&](const void* data, size_t n) {
            const QByteArrayView v(reinterpret_cast<const char*>(data), qsizetype(n));
            hash_.addData(v);
            packets_.addData(v);
        };
        both(&index, sizeof index);
        both(&size, sizeof size);
        if (size)
            both(p.data(), size);
        both(&p.groundSeconds, sizeof p.groundSeconds);
        both(&p.groundMs, sizeof p.groundMs);
        ++count_;
    }
    void add(const std::vector<TMPacketPtr>& packets)
    {
        for (const TMPacketPtr& p : packets)
            add(*p);
    }
    // The lines end the digest.
    QByteArray finish(const QStringList& lines)
    {
        hash_.addData("lines\n");
        for (const QString& line : lines)
            hash_.addData((line + '\n').toUtf8());
        return hash_.result().toHex();
    }
    int count() const { return count_; }
    // Over the packets alone: equal in two records whose lines differ.
    QByteArray packetsHash() const { return packets_.result().toHex(); }

private:
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    QCryptographicHash packets_{QCryptographicHash::Sha256};
    int count_ = 0;
};

// What a read of a cache ends with; the cache keeps its packets' bytes.
struct Reading
{
    std::unique_ptr<TelemetryCache> cache;
    std::vector<TMPacketPtr> packets;
    QStringList lines;
};

class Recorder
{
public:
    Recorder(bool list, bool withLines) : list_(list), withLines_(withLines) {}

    // One read's line. Its lines gain what was logged since the last read;
    // the scratch folders' paths, which differ from run to run, read "<tmp>".
    void add(const QString& name, Digest& digest, QStringList lines, long position)
    {
        lines += g_logged;
        g_logged.clear();
        for (QString& line : lines)
            if (line.contains(temp_))
                line.replace(scratch_, "<tmp>");
        const int count = digest.count();
        const QByteArray packets = digest.packetsHash();
        const QString line = QString("%1 packets %2 lines %3 at %4 %5")
                                 .arg(name)
                                 .arg(count)
                                 .arg(lines.size())
                                 .arg(position)
                                 .arg(QString::fromLatin1(digest.finish(lines)));
        whole_.addData((line + '\n').toUtf8());
        ++reads_;
        if (list_)
            out_ << line;
        // A change meant to alter only some lines: the packets' hash and
        // the lines themselves, to compare apart.
        if (list_ && withLines_) {
            out_ << "  packets " + QString::fromLatin1(packets);
            for (const QString& l : lines)
                out_ << "  | " + l;
        }
    }
    void add(const QString& name, const Reading& r)
    {
        Digest d;
        d.add(r.packets);
        add(name, d, r.lines, r.cache->readPosition());
    }
    // A read that could not run here, named so that a record made where it
    // can differs in that line.
    void absent(const QString& name)
    {
        Digest d;
        add(name + "/absent", d, {}, -1);
    }

    QStringList finish()
    {
        out_ << QString("all %1 reads %2").arg(reads_).arg(QString::fromLatin1(whole_.result().toHex()));
        return out_;
    }

private:
    bool list_;
    bool withLines_;
    QString temp_ = QDir::tempPath();
    QRegularExpression scratch_{QRegularExpression::escape(QDir::tempPath()) + "/[^/\\s]+"};
    QCryptographicHash whole_{QCryptographicHash::Sha256};
    int reads_ = 0;
    QStringList out_;
};

// ---- Caches and hubs ----

using FuzzSupport::StrictCache;

// A cache with the stream-placing hook overridden, as the cache tests' probe
// has it: the parse then places the stream before every header.
class PlacingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;

protected:
    void beforeParseCcsds(FILE* stream) override { TelemetryCache::beforeParseCcsds(stream); }
};

template <typename Cache>
CacheMaker maker(TelemetryCache::PacketFormat format, long long maxScan = 1000000)
{
    return [format, maxScan] {
        std::unique_ptr<TelemetryCache> c = std::make_unique<Cache>(new GseLib::UnixTimeResolver);
        c->setPacketFormat(format);
        c->setMaxScan(maxScan);
        return c;
    };
}

template <typename Cache>
CacheMaker instrumentMaker()
{
    return [] { return std::unique_ptr<TelemetryCache>(std::make_unique<Cache>()); };
}

void plainHub()
{
    GseLib::DataInterpretation::init(nullptr, false, nullptr, {});
    g_logged.clear();
}

// APID: least and most data length; -1 for any.
void tolvaHub(const std::map<int, std::pair<int, int>>& limits)
{
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    for (const auto& [apid, range] : limits) {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = apid;
        info.minLength = range.first;
        info.maxLength = range.second;
        GseLib::DataInterpretation::current()->packetTypes.insert(apid, info);
    }
    g_logged.clear();
}

// The second-instrument target's: every third type without limits.
void tolvaFuzzHub()
{
    std::map<int, std::pair<int, int>> limits;
    for (int apid = TolvaGse::ApidRange::FIRST; apid <= TolvaGse::ApidRange::LAST; ++apid)
        limits[apid] = apid % 3 == 0 ? std::pair(-1, -1) : std::pair(7, 4090);
    tolvaHub(limits);
}

// The first-instrument archive target's hub, its files written once per
// process (the folder removed at exit).
void koraHub()
{
    static QTemporaryDir folder;
    static const QString dir = [] {
        using namespace KoraFuzzHub;
        if (!folder.isValid())
            throw std::runtime_error("no temporary folder for the first instrument's hub");
        const QString d = folder.path();
        QByteArray db = DB_HEADER;
        db += row("S", 550, 2, 4, 4) + row("SS", 551, 2, 8, 4) + row("T", 552, 2, 12, 4) + row("DS", 526, 7, 4, 4) +
              row("DSS", 527, 7, 8, 4) + row("DT", 528, 7, 12, 4) + row("IP", 86, 22, 4, 4) +
              row("FA", 105, 22, 8, 1) + row("FB", 102, 22, 9, 1) + row("EA", 17, 22, 10, 2, 2) +
              row("EB", 18, 22, 14, 2) + row("P", 1087, 15, 4, 2, 5) + row("PA", 1089, 15, 14, 2) +
              row("PS", 1092, 15, 20, 2) + row("LS", 1093, 16, 4, 2) + row("RF", 351, 26, 8, 2) +
              row("RD", 352, 26, 10, 2) + row("AD", 353, 26, 12, 2);
        writeText(d + "/db.txt", db);
        writeText(d + "/tm_packet_types.txt",
                  "2,TIME,false,0,64\n7,DHK,false,0,64\n8,TEXT,false,-1,-1\n9,M,false,0,64\n10,G,true,0,64\n"
                  "14,GC,false,0,64\n15,LP,false,0,64\n16,LS,false,0,64\n22,SEB,false,0,64\n25,SS,false,0,128\n"
                  "26,SCI,false,0,115\n27,S16,false,0,8192\n28,S8,false,0,8192\n45,G45,t,0,64\n46,G46,true,0,64\n"
                  "154,TOP,false,0,64\n");
        writeText(d + "/dac.txt", "# dac\n8\t8\tL\t12\t0x0FFF\t1\t0\t8\n13\t13\tRF\t16\t0xFFFF\t0\t0\t1\n");
        return d;
    }();
    KoraFuzzHub::installHub(dir);
    g_logged.clear();
}

// ---- Reads ----

// A file a read follows, and the stream its cache writes its lines to.
class Scratch
{
public:
    Scratch() : path_(dir_.write("tm.bin", {}).toStdString()), log_(std::tmpfile())
    {
        if (!log_)
            throw std::runtime_error("no temporary file for the parse's lines");
    }
    ~Scratch() { std::fclose(log_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return path_; }
    void put(const QByteArray& bytes) const { write(bytes, QIODevice::WriteOnly | QIODevice::Truncate); }
    void append(const QByteArray& bytes) const { write(bytes, QIODevice::Append); }
    std::unique_ptr<TelemetryCache> open(const CacheMaker& make) const
    {
        auto cache = make();
        cache->setMessageStream(log_);
        return cache;
    }
    Reading reading(std::unique_ptr<TelemetryCache> cache) const
    {
        std::vector<TMPacketPtr> packets = cache->allPackets();
        return {std::move(cache), std::move(packets), linesOf(log_, 0)};
    }

private:
    void write(const QByteArray& bytes, QIODevice::OpenMode mode) const
    {
        QFile f(QString::fromStdString(path_));
        if (!f.open(mode) || f.write(bytes) != bytes.size())
            throw std::runtime_error("cannot write " + path_);
    }

    TestSupport::TempDir dir_;
    std::string path_;
    FILE* log_;
};

void settle(TelemetryCache& cache)
{
    for (int i = 0; i < SETTLING_POLLS; ++i)
        cache.grow();
}

// One changeFile of the finished file, grown `polls` times.
Reading whole(const CacheMaker& make, const QByteArray& bytes, int polls = 0)
{
    auto cache = make();
    Read r = read(*cache, bytes, polls);
    return {std::move(cache), std::move(r.packets), std::move(r.lines)};
}

// Written from an empty file in steps ending at `ends`, settled, grown 30 more times.
Reading followed(const CacheMaker& make, const QByteArray& bytes, const std::vector<qsizetype>& ends)
{
    auto cache = make();
    Followed f = readGrowing(*cache, bytes, ends);
    return {std::move(cache), std::move(f.settled), std::move(f.lines)};
}

// As the archive target's second read: half the bytes opened, the rest
// appended at once, then 7 grows.
Reading halfThenGrown(const CacheMaker& make, const QByteArray& bytes)
{
    Scratch s;
    s.put(bytes.left(bytes.size() / 2));
    auto cache = s.open(make);
    cache->changeFile(s.path(), true);
    s.append(bytes.mid(bytes.size() / 2));
    for (int i = 0; i < 7; ++i)
        cache->grow();
    return s.reading(std::move(cache));
}

// Read and settled, truncated under the reader (which looks), written again
// at once, settled again.
Reading restarted(const CacheMaker& make, const QByteArray& bytes)
{
    Scratch s;
    s.put(bytes);
    auto cache = s.open(make);
    cache->changeFile(s.path(), true);
    settle(*cache);
    s.put({});
    cache->grow();
    s.put(bytes);
    cache->grow();
    settle(*cache);
    return s.reading(std::move(cache));
}

// A followed file of `old` bytes, then `fresh` written in its place before
// the next read, and `grows` reads.
Reading writtenAnew(const CacheMaker& make, const QByteArray& old, const QByteArray& fresh, int grows)
{
    Scratch s;
    auto cache = s.open(make);
    cache->changeFile(s.path(), true);
    s.append(old);
    cache->grow();
    s.put(fresh);
    for (int i = 0; i < grows; ++i)
        cache->grow();
    return s.reading(std::move(cache));
}

// A file's reads as the fuzz targets' growing check makes them: whole and
// settled, written in steps its last byte chooses, and restarted.
void growingReads(Recorder& rec, const QString& name, const CacheMaker& make, const QByteArray& bytes)
{
    const qsizetype step = 1 + (bytes.isEmpty() ? 0 : uchar(bytes.back()) % 61);
    rec.add(name + "/settled", whole(make, bytes, SETTLING_POLLS));
    rec.add(name + "/followed" + QString::number(step), followed(make, bytes, stepsOf(bytes.size(), step)));
    rec.add(name + "/restarted", restarted(make, bytes));
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return f.readAll();
}

// The files of a folder, by name.
QStringList filesIn(const QString& dir)
{
    QStringList files = QDir(dir).entryList(QDir::Files, QDir::Name);
    for (QString& f : files)
        f = dir + "/" + f;
    return files;
}

// ---- The inputs ----

struct Options
{
    QString source; // the checkout's folder
    QString shared; // the folder of real recordings (data/) and reproducers (repro/)
};

QString corpus(const Options& o, const char* target)
{
    return o.source + "/fuzz/corpus/" + target;
}

// The archive target: TOM and CCSDS under the default and a strict header
// test, whole with a 4,096-byte scan limit, half then grown, and growing;
// CCSDS also through the parse that places the stream for a hook.
void archiveCorpus(Recorder& rec, const Options& o)
{
    plainHub();
    const struct
    {
        const char* name;
        CacheMaker make, scan4096;
    } kinds[] = {
        {"base-tom", maker<TelemetryCache>(TelemetryCache::TOM), maker<TelemetryCache>(TelemetryCache::TOM, 4096)},
        {"base-ccsds", maker<TelemetryCache>(TelemetryCache::CCSDS),
         maker<TelemetryCache>(TelemetryCache::CCSDS, 4096)},
        {"strict-tom", maker<StrictCache>(TelemetryCache::TOM), maker<StrictCache>(TelemetryCache::TOM, 4096)},
        {"strict-ccsds", maker<StrictCache>(TelemetryCache::CCSDS), maker<StrictCache>(TelemetryCache::CCSDS, 4096)},
        {"placing-ccsds", maker<PlacingCache>(TelemetryCache::CCSDS),
         maker<PlacingCache>(TelemetryCache::CCSDS, 4096)},
    };
    for (const QString& file : filesIn(corpus(o, "fuzz_archive"))) {
        const QByteArray bytes = contents(file);
        for (const auto& k : kinds) {
            const QString name = "corpus/fuzz_archive/" + QFileInfo(file).fileName() + "/" + k.name;
            rec.add(name + "/scan4096", whole(k.scan4096, bytes));
            rec.add(name + "/half-then-grown", halfThenGrown(k.make, bytes));
            growingReads(rec, name, k.make, bytes);
        }
    }
}

// The second instrument's targets: the archive's, and those of its frames
// and packets read as archives too; a frame's own parse as the ITF target's.
void tolvaCorpora(Recorder& rec, const Options& o)
{
    tolvaFuzzHub();
    const CacheMaker make = instrumentMaker<TolvaGse::TolvaTelemetryCache>();
    for (const char* target : {"fuzz_tolva", "fuzz_itf", "fuzz_tolva_packets"}) {
        for (const QString& file : filesIn(corpus(o, target))) {
            const QByteArray bytes = contents(file);
            const QString name = QString("corpus/%1/%2").arg(target, QFileInfo(file).fileName());
            rec.add(name + "/changeFile", whole(make, bytes));
            growingReads(rec, name, make, bytes);
            if (qstrcmp(target, "fuzz_itf") == 0) {
                const TolvaGse::TolvaItfPacket frame(bytes);
                Digest d;
                for (const TolvaGse::TolvaCcsdsPacket& p : frame.packets())
                    d.add(p);
                rec.add(name + "/frame", d, {}, -1);
            }
        }
    }
}

void koraCorpus(Recorder& rec, const Options& o)
{
    const CacheMaker make = instrumentMaker<KorGse::KorTelemetryCache>();
    koraHub();
    for (const QString& file : filesIn(corpus(o, "fuzz_kora_archive"))) {
        const QByteArray bytes = contents(file);
        const QString name = "corpus/fuzz_kora_archive/" + QFileInfo(file).fileName();
        rec.add(name + "/changeFile", whole(make, bytes));
        growingReads(rec, name, make, bytes);
    }
}

// The real recordings, each file found below data/ (split streams too): the
// default test, and the archive target's strict one, which passes payload
// bytes, whole and followed.
void realRecordings(Recorder& rec, const Options& o)
{
    const QString root = o.shared + "/data";
    if (!QFileInfo(root).isDir())
        return rec.absent("data");
    plainHub();
    QStringList files;
    for (QDirIterator it(root, {"*.tlm", "*.bin"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next();
    files.sort();
    for (const QString& file : files) {
        const QByteArray bytes = contents(file);
        const QString name = "data/" + QDir(root).relativeFilePath(file);
        rec.add(name + "/changeFile", whole(maker<TelemetryCache>(TelemetryCache::CCSDS), bytes));
        const CacheMaker strict = maker<StrictCache>(TelemetryCache::CCSDS);
        rec.add(name + "/strict/changeFile", whole(strict, bytes));
        rec.add(name + "/strict/followed61", followed(strict, bytes, stepsOf(bytes.size(), 61)));
        rec.add(name + "/strict/restarted", restarted(strict, bytes));
    }
}

// The reproducers: an archive with its packet types (APID:MIN:MAX a line)
// read by the second instrument's cache; one without, as plain CCSDS.
void reproducers(Recorder& rec, const Options& o)
{
    const QString root = o.shared + "/repro";
    if (!QFileInfo(root).isDir())
        return rec.absent("repro");
    for (const QString& file : filesIn(root)) {
        if (!file.endsWith(".bin"))
            continue;
        const QByteArray bytes = contents(file);
        const QString types = file.chopped(4) + ".types";
        CacheMaker make = maker<StrictCache>(TelemetryCache::CCSDS);
        if (QFileInfo::exists(types)) {
            std::map<int, std::pair<int, int>> limits;
            for (const QByteArray& line : contents(types).split('\n')) {
                const QList<QByteArray> row = line.trimmed().split(':');
                if (row.size() == 3)
                    limits[row[0].toInt()] = {row[1].toInt(), row[2].toInt()};
            }
            tolvaHub(limits);
            make = instrumentMaker<TolvaGse::TolvaTelemetryCache>();
        } else {
            plainHub();
        }
        const QString name = "repro/" + QFileInfo(file).fileName();
        rec.add(name + "/changeFile", whole(make, bytes));
        for (int polls = 1; polls <= 30; polls += polls < SETTLING_POLLS ? 1 : 5)
            rec.add(name + "/grown" + QString::number(polls), whole(make, bytes, polls));
        rec.add(name + "/followed-at-once", followed(make, bytes, {bytes.size()}));
        rec.add(name + "/followed997", followed(make, bytes, stepsOf(bytes.size(), 997)));
        rec.add(name + "/restarted", restarted(make, bytes));
    }
}

CacheMaker roadMaker(Road road)
{
    return [road] { return makeCache(road); };
}

QString roadName(Road road, Kind kind)
{
    return QString("%1/%2").arg(ROADS[road], KINDS[kind]);
}

constexpr Road ALL_ROADS[] = {Plain, PlainLabels, Tolva, TolvaLabels, TolvaFramed, Tom, FramedLabels, LabelledFrames};
constexpr Kind ALL_KINDS[] = {RandomBytes, FFRuns, ZeroRuns, CutPackets, Overlong, AnyLengthHeader, LabelClaim};

// The damage test's archives of 20,000 intact packets, with the damage
// between packets and also at the very end: one changeFile, and the read
// settled after PARTIAL_READ_LIMIT + 1 grows.
void damagedWhole(Recorder& rec, const Options&)
{
    makeHub();
    for (const Road road : ALL_ROADS) {
        for (const Kind kind : ALL_KINDS) {
            for (const int percent : {10, 2}) {
                const struct
                {
                    uint32_t seed;
                    bool tail;
                } archives[] = {{1, false}, {2, false}, {3, false}, {1, true}};
                for (const auto [seed, tail] : archives) {
                    const Archive a = Builder(road, seed * 7919 + uint32_t(kind) * 31 + uint32_t(road))
                                          .build(kind, percent, INTACT, tail);
                    const QString name = QString("damage/%1/p%2/s%3%4")
                                             .arg(roadName(road, kind))
                                             .arg(percent)
                                             .arg(seed)
                                             .arg(tail ? "/tail" : "");
                    rec.add(name + "/changeFile", whole(roadMaker(road), a.bytes));
                    rec.add(name + "/settled", whole(roadMaker(road), a.bytes, SETTLING_POLLS));
                }
            }
        }
    }
}

// The damage test's followed archives of 2,000 intact packets (and 300 for
// steps of a few bytes), at 10%, ending intact or in damage: whole, and
// followed in the test's step schemes.
void damagedFollowed(Recorder& rec, const Options&)
{
    makeHub();
    for (const Road road : ALL_ROADS) {
        for (const Kind kind : ALL_KINDS) {
            for (const bool tail : {false, true}) {
                const uint32_t seed = 7919 + uint32_t(kind) * 31 + uint32_t(road);
                const Archive a = Builder(road, seed).build(kind, 10, 2000, tail);
                const QString name = "follow/" + roadName(road, kind) + (tail ? "/tail" : "");
                const CacheMaker make = roadMaker(road);
                const qsizetype size = a.bytes.size();
                rec.add(name + "/changeFile", whole(make, a.bytes));
                rec.add(name + "/settled", whole(make, a.bytes, SETTLING_POLLS));
                rec.add(name + "/steps997", followed(make, a.bytes, stepsOf(size, 997)));
                rec.add(name + "/steps4096", followed(make, a.bytes, stepsOf(size, 4096)));
                rec.add(name + "/random5000", followed(make, a.bytes, stepsOf(size, 5000, 1 + uint32_t(kind))));
                rec.add(name + "/units", followed(make, a.bytes, a.units));
                const Archive small = Builder(road, seed).build(kind, 10, 300, tail);
                rec.add(name + "/small/changeFile", whole(make, small.bytes));
                rec.add(name + "/small/settled", whole(make, small.bytes, SETTLING_POLLS));
                rec.add(name + "/small/steps7", followed(make, small.bytes, stepsOf(small.bytes.size(), 7)));
            }
        }
    }
}

// A finished file's reads, one changeFile and grown once to 30 times, and
// followed: what the opening read decides about the end of the file.
void openingReads(Recorder& rec, const QString& name, const CacheMaker& make, const QByteArray& bytes)
{
    rec.add(name + "/changeFile", whole(make, bytes));
    for (int polls = 1; polls <= 30; polls += polls < SETTLING_POLLS ? 1 : 24)
        rec.add(name + "/grown" + QString::number(polls), whole(make, bytes, polls));
    rec.add(name + "/followed-at-once", followed(make, bytes, {bytes.size()}));
    rec.add(name + "/followed7", followed(make, bytes, stepsOf(bytes.size(), 7)));
}

// A claim that runs past the end of a finished file before its last packet:
// a fill header's, or a label's whose digits were hit; and a labelled or bare
// archive whose last packet is cut short, under a cache without a header test.
void opening(Recorder& rec, const Options&)
{
    makeHub();
    for (const int packets : {4, 50}) {
        Builder b(Tolva, 41);
        QByteArray bytes;
        for (int i = 0; i < packets - 1; ++i)
            bytes += b.withTime(753, 170, uint32_t(1 + i));
        QByteArray fill = b.withTime(FILL, 41, 900);
        putBe16(fill, 4, 2000 - 7);
        bytes += fill + b.withTime(753, 170, uint32_t(packets));
        openingReads(rec, QString("opening/fill-claim/%1").arg(packets), roadMaker(Tolva), bytes);
    }
    for (const char* digits : {"00005040", "00500000", "99999999"}) {
        Builder b(TolvaLabels, 43);
        QByteArray bytes;
        for (uint32_t i = 0; i < 4; ++i) {
            QByteArray l = label("GANN", int(i % 20), 5000 + i, 7);
            if (i == 3)
                l.replace(12, 8, digits);
            bytes += l + b.withTime(753, 170, 1 + i);
        }
        openingReads(rec, QString("opening/label-claim/%1").arg(digits), roadMaker(TolvaLabels), bytes);
    }
    const CacheMaker base = maker<TelemetryCache>(TelemetryCache::CCSDS);
    for (const Road road : {Plain, PlainLabels}) {
        for (uint32_t seed = 1; seed <= 40; ++seed) {
            const Archive a = Builder(road, seed).build(CutPackets, 0, 30, true);
            const QString name = QString("opening/cut-end/%1/s%2").arg(ROADS[road]).arg(seed);
            rec.add(name + "/changeFile", whole(base, a.bytes));
            rec.add(name + "/settled", whole(base, a.bytes, SETTLING_POLLS));
            rec.add(name + "/units", followed(base, a.bytes, a.units));
        }
    }
    // A label before every packet, the last packet (or its label) cut anywhere.
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        Builder b(PlainLabels, seed);
        QRandomGenerator rng(seed);
        QByteArray bytes;
        std::vector<qsizetype> units;
        for (uint32_t i = 0; i <= 30; ++i) {
            bytes += label("GANN", int(rng.bounded(20)), 5000 + i, 7) + b.packet(1000 + i);
            units.push_back(bytes.size());
        }
        bytes.chop(rng.bounded(1, int(bytes.size() - units[29])));
        units.back() = bytes.size();
        const QString name = QString("opening/cut-end/EveryLabel/s%1").arg(seed);
        rec.add(name + "/changeFile", whole(base, bytes));
        rec.add(name + "/settled", whole(base, bytes, SETTLING_POLLS));
        rec.add(name + "/units", followed(base, bytes, units));
    }
}

// ---- Files started anew under the reader, as the cache's tests start them ----

// Packets of `size` bytes after a first one without a time, in the same
// padding: only their headers or labels differ, or (`late`) a byte past their first 64.
QByteArray paddedRecording(int count, uint32_t t0, int size, bool labels, bool late = false)
{
    const QByteArray pad(size - 12, '\x55');
    QByteArray a = ccsdsPacket(0x50, 0, size).replace(12, size - 12, pad);
    for (int i = 1; i < count; ++i) {
        if (labels)
            a += label("GANN", 4, t0 + uint32_t(i), 5);
        QByteArray p = ccsdsPacket(0x100, i, size, labels || late ? 0 : t0 + uint32_t(i)).replace(12, size - 12, pad);
        if (late)
            p[200] = char(t0 + uint32_t(i));
        a += p;
    }
    return a;
}

// A CCSDS cache whose hook calls `onPacket` for every packet.
class HookedCache : public TelemetryCache
{
public:
    explicit HookedCache(std::function<void()> onPacket)
        : TelemetryCache(new GseLib::UnixTimeResolver), onPacket_(std::move(onPacket))
    {
        setPacketFormat(CCSDS);
    }

protected:
    void hookPacket(const TMPacketPtr&) override { onPacket_(); }

private:
    std::function<void()> onPacket_;
};

void restarts(Recorder& rec, const Options&)
{
    plainHub();
    const CacheMaker tom = maker<TelemetryCache>(TelemetryCache::TOM);
    const CacheMaker ccsds = maker<TelemetryCache>(TelemetryCache::CCSDS);
    const QByteArray old = tomRecording(20, 1000);
    const struct
    {
        const char* name;
        const CacheMaker& make;
        QByteArray old, fresh;
    } anew[] = {
        {"tom/other", tom, old, tomRecording(60, 5000)},
        {"tom/same-first-then-others", tom, old, tomRecording(10, 1000) + tomRecording(40, 5000)},
        {"tom/other-first-then-same", tom, old, tomPacketOfSize(1, 0, 40, 77) + old.mid(40) + tomRecording(10, 5000)},
        {"ccsds", ccsds, ccsdsRecording(20, 1000, false), ccsdsRecording(60, 5000, false)},
        {"ccsds-labels", ccsds, ccsdsRecording(20, 1000, true), ccsdsRecording(60, 5000, true)},
        {"padded120", ccsds, paddedRecording(20, 1000, 120, false), paddedRecording(60, 5000, 120, false)},
        {"padded300", ccsds, paddedRecording(20, 1000, 300, false), paddedRecording(60, 5000, 300, false)},
        {"padded120-labels", ccsds, paddedRecording(20, 1000, 120, true), paddedRecording(60, 5000, 120, true)},
        {"padded300-labels", ccsds, paddedRecording(20, 1000, 300, true), paddedRecording(60, 5000, 300, true)},
        {"late300", ccsds, paddedRecording(20, 7, 300, false, true), paddedRecording(60, 99, 300, false, true)},
    };
    const CacheMaker placing = maker<PlacingCache>(TelemetryCache::CCSDS);
    for (const auto& k : anew) {
        rec.add(QString("restart/anew/%1/whole").arg(k.name), whole(k.make, k.fresh));
        rec.add(QString("restart/anew/%1").arg(k.name), writtenAnew(k.make, k.old, k.fresh, 6));
        if (&k.make == &ccsds)
            rec.add(QString("restart/anew/%1/placing").arg(k.name), writtenAnew(placing, k.old, k.fresh, 6));
    }

    // The same first and last packets, a byte between them changed: read on.
    QByteArray labelled;
    for (int i = 0; i < 20; ++i)
        labelled += label("GANN", 4, 1000 + uint32_t(i), 5) + ccsdsPacket(0x100, i, 120, 1000 + uint32_t(i));
    QByteArray changed = labelled;
    changed.replace(400, 8, QByteArray(8, '\x33'));
    changed += ccsdsPacket(0x100, 20, 120, 1020);
    {
        Scratch s;
        s.put(labelled);
        auto cache = s.open(ccsds);
        cache->changeFile(s.path(), true);
        s.put(changed);
        cache->grow();
        rec.add("restart/same-first-and-last", s.reading(std::move(cache)));
    }

    // Shorter than the read position.
    rec.add("restart/shorter", writtenAnew(ccsds, ccsdsRecording(40, 1000, true), ccsdsRecording(12, 3000, true), 6));

    // Started anew while a hook runs: in a grow or in changeFile, and in a
    // read larger than the parse's window.
    auto timed = [](uint32_t first, uint32_t t0, int count, bool padded) {
        QByteArray a = ccsdsPacket(0x50, 0, 120, first);
        for (int i = 1; i < count; ++i)
            a += ccsdsPacket(0x100, i, 120, t0 + uint32_t(i));
        if (padded)
            for (int at = 12; at < a.size(); at += 120)
                a.replace(at, 108, QByteArray(108, '\x55'));
        return a;
    };
    const struct
    {
        const char* name;
        QByteArray old, fresh;
        int at;
        bool inChangeFile;
    } hooked[] = {
        {"hook/in-a-grow", timed(0, 1000, 10, true), timed(0, 5000, 21, true), 4, false},
        {"hook/in-changeFile", timed(0, 1000, 10, true), timed(0, 5000, 21, true), 4, true},
        {"hook/window/every-time-other", timed(1, 1000, 10000, false), timed(2, 5000, 10001, false), 4, true},
        {"hook/window/first-other", timed(1, 1000, 10000, false), timed(2, 1000, 10001, false), 9999, true},
    };
    for (const auto& k : hooked) {
        Scratch s;
        s.put(k.inChangeFile ? k.old : QByteArray());
        // A recorder that restarts at the packet `at` of a parse.
        int hooked = 0;
        auto cache = s.open([&] {
            return std::make_unique<HookedCache>([&] {
                if (hooked++ == k.at)
                    s.put(k.fresh);
            });
        });
        cache->changeFile(s.path(), true);
        if (!k.inChangeFile) {
            s.append(k.old);
            cache->grow();
        }
        settle(*cache);
        rec.add(QString("restart/%1").arg(k.name), s.reading(std::move(cache)));
    }
}

// The sections, in the record's order.
const struct
{
    const char* name;
    void (*run)(Recorder&, const Options&);
} SECTIONS[] = {
    {"corpus", archiveCorpus}, {"corpus", tolvaCorpora}, {"corpus", koraCorpus},
    {"data", realRecordings},  {"repro", reproducers},   {"damage", damagedWhole},
    {"follow", damagedFollowed}, {"opening", opening},   {"restart", restarts},
};

int usage()
{
    std::fprintf(stderr, "usage: read_record [--list [--lines]] [--out FILE] [--shared DIR] [--section NAME]...\n"
                         "  --list      the line of every read, then the record's hash (else the hash alone)\n"
                         "  --lines     after each read's line, its packets' hash and its lines\n"
                         "  --out FILE  write the record to FILE (else to standard output)\n"
                         "  --shared    the folder of data/ and repro/ (default: beside the checkout)\n"
                         "  --section   only the named sections: corpus data repro damage follow opening "
                         "restart\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Nothing here reads the user's configuration.
    QTemporaryDir home;
    if (!home.isValid())
        return std::fprintf(stderr, "read_record: no temporary folder\n"), 1;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("INIVEK", home.filePath("no-such-vek.INI").toLocal8Bit());

    Options options{QStringLiteral(GSE_SOURCE_DIR), QStringLiteral(GSE_SOURCE_DIR "/../shared")};
    bool list = false;
    bool withLines = false;
    QString out;
    QStringList sections;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const bool valued = i + 1 < args.size();
        if (args[i] == "--list")
            list = true;
        else if (args[i] == "--lines")
            withLines = true;
        else if (args[i] == "--out" && valued)
            out = args[++i];
        else if (args[i] == "--shared" && valued)
            options.shared = args[++i];
        else if (args[i] == "--section" && valued)
            sections << args[++i];
        else
            return usage();
    }

    Log::setTestSink(keepLogged);
    qInstallMessageHandler(keepQtMessage);
    Recorder rec(list, withLines);
    QElapsedTimer clock;
    clock.start();
    try {
        for (const auto& s : SECTIONS)
            if (sections.isEmpty() || sections.contains(s.name))
                s.run(rec, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "read_record: %s\n", e.what());
        return 1;
    }
    const QStringList record = rec.finish();
    const QByteArray text = (record.join('\n') + '\n').toUtf8();
    if (out.isEmpty()) {
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    } else {
        QFile f(out);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
            return std::fprintf(stderr, "read_record: cannot write %s\n", qPrintable(out)), 1;
    }
    std::fprintf(stderr, "read_record: %s in %.1f s\n", qPrintable(record.last()),
                 double(clock.elapsed()) / 1000.0);
    return 0;
}
