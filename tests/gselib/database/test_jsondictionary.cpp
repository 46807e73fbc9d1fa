#include "support/qtprinters.h"
#include "gselib/database/jsondictionary.h"

#include "support/logcapture.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>

#include <clocale>
#include <cstdio>
#include <string>

using GseLib::JsonDictionary;


namespace {

// The cells of one produced row, by column name.
struct Row
{
    QStringList cells;
    QString operator[](const char* column) const
    {
        const qsizetype i = JsonDictionary::header().indexOf(QString::fromLatin1(column));
        EXPECT_GE(i, 0) << column;
        return i >= 0 && i < cells.size() ? cells[i] : QStringLiteral("<absent>");
    }
};

struct Result
{
    bool ok = false;
    QStringList packetTypeLines;
    QList<int> apids;
    QList<Row> rows;
};

Result convert(const char* json)
{
    Result r;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    r.packetTypeLines << "stale";
    r.apids << -7;
    r.ok = JsonDictionary::convert(doc, r.packetTypeLines, r.apids,
                                   [&r](const QStringList& cells) { r.rows << Row{cells}; });
    return r;
}

QString hexOnes(int bits)
{
    return "0x" + QString::number(bits >= 64 ? ~quint64(0) : (quint64(1) << bits) - 1, 16).toUpper();
}

} // namespace

TEST(JsonDictionary, HeaderHasTheThirtySevenColumns)
{
    const QStringList& h = JsonDictionary::header();
    ASSERT_EQ(h.size(), 37);
    EXPECT_EQ(h.first(), "SUB_SYSTEM");
    EXPECT_EQ(h[3], "DATA_ID");
    EXPECT_EQ(h[19], "SCI_K1");
    EXPECT_EQ(h[26], "SCI_K8");
    EXPECT_EQ(h[33], "EXTRA_1");
    EXPECT_EQ(h.last(), "DISCRETE_LABELS");
}

TEST(JsonDictionary, WithoutPacketsNothingIsRead)
{
    const Result r = convert(R"({"packets": []})");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.packetTypeLines.isEmpty()); // emptied first
    EXPECT_TRUE(r.apids.isEmpty());
    EXPECT_TRUE(r.rows.isEmpty());
    EXPECT_FALSE(convert(R"([{"Packets": []}])").ok); // an array root reads as an empty object
    EXPECT_TRUE(convert(R"({"Packets": 5})").ok);
}

TEST(JsonDictionary, PacketWithTwoFields)
{
    const Result r = convert(R"({"Packets": [{"packetName": "HK", "packetId": 3, "gse": true,
        "fields": [{"fieldName": "A", "type": "uint16_t"}, {"fieldName": "B", "type": "float"}]}]})");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.packetTypeLines, QStringList{"3, HK, true, -1, -1"});
    EXPECT_EQ(r.apids, QList<int>{0});
    ASSERT_EQ(r.rows.size(), 2);

    const Row& a = r.rows[0];
    EXPECT_EQ(a.cells.size(), 36); // no labels: the last column is left out
    EXPECT_EQ(a["SUB_SYSTEM"], "HK");
    EXPECT_EQ(a["NAME"], "A");
    EXPECT_EQ(a["DESCRIPTION"], "");
    EXPECT_EQ(a["DATA_ID"], QString::number(3 << 15));
    EXPECT_EQ(a["PACKET_TYPE"], "3");
    EXPECT_EQ(a["DECODE_TYPE"], "1");
    EXPECT_EQ(a["DECODE_ID1"], "0");
    EXPECT_EQ(a["DECODE_ID2"], "2");
    EXPECT_EQ(a["DECODE_ID3"], "0xFFFF");
    EXPECT_EQ(a["DECODE_ID4"], "0");
    EXPECT_EQ(a["RAW_FMT"], "%02X");
    EXPECT_EQ(a["ENG_FMT"], "%1.0f");
    EXPECT_EQ(a["ENG_EQ_TYPE"], "0");
    EXPECT_EQ(a["SCI_UNITS"], "Value");
    EXPECT_EQ(a["SCI_FMT"], "%1.0f");
    EXPECT_EQ(a["SCI_EQ_TYPE"], "1");
    EXPECT_EQ(a["SCI_FROM_ENG"], "N");
    EXPECT_EQ(a["SCI_K1"], "0");
    EXPECT_EQ(a["SCI_K2"], "1");
    EXPECT_EQ(a["SCI_K8"], "0");
    EXPECT_EQ(a["LIMIT_TYPE_1"], "0");
    EXPECT_EQ(a["LIMIT_TYPE_2"], "0");
    EXPECT_EQ(a["EXTRA_1"], "0");
    EXPECT_EQ(a["ARRAY_LENGTH"], "1");
    EXPECT_EQ(a["SAMPLE_PERIOD"], "0");

    const Row& b = r.rows[1];
    EXPECT_EQ(b["DATA_ID"], QString::number((3 << 15) | 1));
    EXPECT_EQ(b["DECODE_TYPE"], "5");
    EXPECT_EQ(b["DECODE_ID1"], "2");
    EXPECT_EQ(b["DECODE_ID2"], "4:3:2:1");
    EXPECT_EQ(b["DECODE_ID3"], "0xFFFFFFFF");
    EXPECT_EQ(b["RAW_FMT"], "%04X");
    EXPECT_EQ(b["SCI_FMT"], "%.4f");
}

TEST(JsonDictionary, TypeTable)
{
    struct Case
    {
        const char* type;
        int bytes;
        const char* decodeType;
        const char* byteOrder;
        const char* sciFormat;
    };
    const Case cases[] = {
        {"double", 8, "6", "8:7:6:5:4:3:2:1", "%.4f"}, {"uint64_t", 8, "1", "8", "%1.0f"},
        {"int64_t", 8, "4", "8", "%1.0f"},              {"long", 8, "4", "8", "%1.0f"},
        {"float", 4, "5", "4:3:2:1", "%.4f"},           {"uint32_t", 4, "1", "4", "%1.0f"},
        {"int", 4, "4", "4", "%1.0f"},                  {"int32_t", 4, "4", "4", "%1.0f"},
        {"uint16_t", 2, "1", "2", "%1.0f"},             {"int16_t", 2, "4", "2", "%1.0f"},
        {"short", 2, "4", "2", "%1.0f"},                {"uint8_t", 1, "1", "1", "%1.0f"},
        {"char", 1, "1", "1", "%1.0f"},                 {"int8_t", 1, "4", "1", "%1.0f"},
    };
    for (const Case& c : cases) {
        const QByteArray json = QByteArray(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [)") +
                                R"({"fieldName": "F", "type": ")" + c.type + R"("}, {"fieldName": "N", "type": "uint8_t"}]}]})";
        const Result r = convert(json.constData());
        ASSERT_EQ(r.rows.size(), 2) << c.type;
        EXPECT_EQ(r.rows[0]["DECODE_TYPE"], c.decodeType) << c.type;
        EXPECT_EQ(r.rows[0]["DECODE_ID2"], c.byteOrder) << c.type;
        EXPECT_EQ(r.rows[0]["DECODE_ID3"], hexOnes(8 * c.bytes)) << c.type;
        EXPECT_EQ(r.rows[0]["RAW_FMT"], "%0" + QString::number(c.bytes) + "X") << c.type;
        EXPECT_EQ(r.rows[0]["SCI_FMT"], c.sciFormat) << c.type;
        EXPECT_EQ(r.rows[1]["DECODE_ID1"], QString::number(c.bytes)) << c.type;
    }
}

TEST(JsonDictionary, InvalidTypesAndMissingNamesSkipTheField)
{
    TestSupport::LogCapture log;
    const Result r = convert(R"({"Packets": [{"packetName": "HK", "packetId": 2, "fields": [
        {"fieldName": "A", "type": "uint8_t"},
        {"fieldName": "D", "type": "Double"},
        {"type": "uint32_t"},
        {"fieldName": "E"},
        {"fieldName": "B", "type": "uint16_t"}]}]})");
    ASSERT_EQ(r.rows.size(), 2);
    EXPECT_EQ(r.rows[1]["NAME"], "B");
    EXPECT_EQ(r.rows[1]["DATA_ID"], QString::number((2 << 15) | 1)); // the skipped fields take no id
    EXPECT_EQ(r.rows[1]["DECODE_ID1"], "1");                         // nor any bytes
    EXPECT_EQ(log.texts("tmdb", WARN), (QStringList{"Invalid database type: Double",
                                                    "Missing fieldName for packetHKindex2",
                                                    "Invalid database type: "}));
}

TEST(JsonDictionary, PacketsMissingRequiredKeysAndApids)
{
    TestSupport::LogCapture log;
    const Result r = convert(R"({"Packets": [
        {"packetName": "A", "packetId": 1, "apid": 100, "fields": []},
        {"packetId": 2, "apid": 300, "fields": []},
        {"packetName": "C", "packetId": 3, "apid": 100, "fields": []},
        {"packetName": "D", "packetId": 4, "fields": []},
        {"packetName": "E", "packetId": 5, "fields": [], "gse": false},
        {"packetName": "F", "fields": []},
        {"packetName": "G", "packetId": 7}]})");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.apids, (QList<int>{100, 0}));
    EXPECT_EQ(r.packetTypeLines, (QStringList{"1, A, false, -1, -1", "3, C, false, -1, -1", "4, D, false, -1, -1",
                                              "5, E, false, -1, -1"}));
    EXPECT_EQ(log.texts("tmdb", WARN), (QStringList{"Missing required field in .json file. Packet index1",
                                                    "Missing required field in .json file. Packet index5",
                                                    "Missing required field in .json file. Packet index6"}));
}

TEST(JsonDictionary, ManyDistinctApidsTakeLinearTime)
{
    // Searching the apid list once per packet made this take minutes.
    constexpr int packets = 300000;
    QByteArray json = R"({"Packets": [)";
    for (int i = 0; i < packets; ++i)
        json += (i ? ",{" : "{") + QByteArray(R"("packetName":"","packetId":1,"fields":[],"apid":)") +
                QByteArray::number(i % 2 ? i : packets - i) + '}';
    json += "]}";
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    QStringList lines;
    QList<int> apids;
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(JsonDictionary::convert(doc, lines, apids, [](const QStringList&) {}));
    EXPECT_LT(timer.elapsed(), 15000);
    ASSERT_EQ(apids.size(), packets); // all distinct, in the order first seen
    EXPECT_EQ(apids[0], packets);
    EXPECT_EQ(apids[1], 1);
    EXPECT_EQ(apids[2], packets - 2);
    EXPECT_EQ(lines.size(), packets);
}

TEST(JsonDictionary, PacketIdsOutsideSeventeenBitsSkipThePacket)
{
    TestSupport::LogCapture log;
    const Result r = convert(R"({"Packets": [
        {"packetName": "BIG", "packetId": 131072, "apid": 5, "fields": [{"fieldName": "A", "type": "uint8_t"}]},
        {"packetName": "NEG", "packetId": -1, "fields": [{"fieldName": "A", "type": "uint8_t"}]},
        {"packetName": "FRAC", "packetId": 2.5, "fields": [{"fieldName": "A", "type": "uint8_t"}]},
        {"packetName": "TXT", "packetId": "x", "fields": [{"fieldName": "A", "type": "uint8_t"}]},
        {"packetName": "TOP", "packetId": 131071, "fields": [{"fieldName": "A", "type": "uint8_t"}]},
        {"packetName": "ZERO", "packetId": 0, "fields": [{"fieldName": "A", "type": "uint8_t"}]}]})");
    ASSERT_EQ(r.rows.size(), 2);
    // 131071 << 15 still fits 32 bits unsigned.
    EXPECT_EQ(r.rows[0]["DATA_ID"], QString::number(quint32(131071) << 15));
    EXPECT_EQ(r.rows[0]["DATA_ID"], "4294934528");
    EXPECT_EQ(r.rows[1]["DATA_ID"], "0");
    EXPECT_EQ(r.apids, QList<int>{0});
    EXPECT_EQ(r.packetTypeLines.size(), 2);
    const QStringList w = log.texts("tmdb", WARN);
    ASSERT_EQ(w.size(), 4);
    EXPECT_EQ(w[0], "Invalid packetId in .json file. Packet index0: 131072");
    EXPECT_EQ(w[1], "Invalid packetId in .json file. Packet index1: -1");
    EXPECT_EQ(w[2], "Invalid packetId in .json file. Packet index2: 2.5");
    EXPECT_EQ(w[3], "Invalid packetId in .json file. Packet index3: x");
}

TEST(JsonDictionary, BitFields)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "S", "type": "uint8_t", "description": "status",
         "bitFields": [["LO", "b3"], ["bad"], ["HI", "b5"], 7]},
        {"fieldName": "N", "type": "uint8_t"}]}]})");
    ASSERT_EQ(r.rows.size(), 4);
    EXPECT_EQ(r.rows[0]["NAME"], "S");
    EXPECT_EQ(r.rows[0]["DECODE_ID3"], "0xFF");
    EXPECT_EQ(r.rows[0]["DECODE_ID4"], "0");
    EXPECT_EQ(r.rows[1]["NAME"], "LO");
    EXPECT_EQ(r.rows[1]["DECODE_ID3"], "0x7");
    EXPECT_EQ(r.rows[1]["DECODE_ID4"], "0");
    EXPECT_EQ(r.rows[1]["DESCRIPTION"], "status");
    EXPECT_EQ(r.rows[2]["NAME"], "HI");
    EXPECT_EQ(r.rows[2]["DECODE_ID3"], "0xF8");
    EXPECT_EQ(r.rows[2]["DECODE_ID4"], "3");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.rows[i]["DATA_ID"], QString::number((1 << 15) | i));
    EXPECT_EQ(r.rows[3]["DECODE_ID1"], "1"); // bit fields take no bytes of their own
}

TEST(JsonDictionary, WideAndZeroBitFieldsNeverShiftPastSixtyFourBits)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "W", "type": "uint64_t",
         "bitFields": [["ALL", "b64"], ["MORE", "b70"], ["ZERO", "b0"], ["JUNK", "bx"], ["HUGE", "b2147483647"]]},
        {"fieldName": "H", "type": "uint16_t", "bitFields": [["X", "b100"], ["Y", "b4"]]}]}]})");
    ASSERT_EQ(r.rows.size(), 9);
    EXPECT_EQ(r.rows[1]["DECODE_ID3"], "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(r.rows[1]["DECODE_ID4"], "0");
    EXPECT_EQ(r.rows[2]["DECODE_ID3"], "0x0"); // starts at bit 64: nothing left
    EXPECT_EQ(r.rows[2]["DECODE_ID4"], "64");
    EXPECT_EQ(r.rows[3]["DECODE_ID3"], "0xFFFFFFFFFFFFFFFF"); // no bits: the main row's mask
    EXPECT_EQ(r.rows[3]["DECODE_ID4"], "0");
    EXPECT_EQ(r.rows[4]["DECODE_ID3"], "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(r.rows[5]["DECODE_ID4"], "134");
    EXPECT_EQ(r.rows[7]["DECODE_ID3"], "0xFFFF"); // ANDed with the type mask
    EXPECT_EQ(r.rows[8]["DECODE_ID3"], "0x0");
    EXPECT_EQ(r.rows[8]["DECODE_ID4"], "100");
}

TEST(JsonDictionary, BitFieldsPastSixtyFourAreSkipped)
{
    // Each bit field row repeats the field's texts: without a limit a short file
    // with a long description could make gigabytes of rows.
    QByteArray bits;
    for (int i = 0; i < 70; ++i)
        bits += (i ? "," : "") + QByteArray(R"(["B)") + QByteArray::number(i) + R"(", "b1"])";
    const QByteArray json = R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "W", "type": "uint64_t", "description": "wide", "bitFields": [)" + bits + R"(]},
        {"fieldName": "N", "type": "uint8_t"}]}]})";
    TestSupport::LogCapture log;
    const Result r = convert(json.constData());
    ASSERT_EQ(r.rows.size(), 1 + 64 + 1);
    EXPECT_EQ(r.rows[64]["NAME"], "B63");
    EXPECT_EQ(r.rows[64]["DECODE_ID3"], "0x8000000000000000");
    EXPECT_EQ(r.rows[64]["DECODE_ID4"], "63");
    EXPECT_EQ(r.rows[65]["NAME"], "N");
    EXPECT_EQ(r.rows[65]["DATA_ID"], QString::number((1 << 15) | 65));
    EXPECT_EQ(r.rows[65]["DECODE_ID1"], "8");
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"Too many bit fields for P:W: bit fields past 64 are skipped"});
}

TEST(JsonDictionary, ByteOrderAndArrays)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "U", "type": "uint16_t", "byteOrder": "21"},
        {"fieldName": "S", "type": "int16_t", "byteOrder": "21"},
        {"fieldName": "D", "type": "double", "byteOrder": "12345678"},
        {"fieldName": "A", "type": "int32_t", "arrayLength": 4, "samplePeriod": 0.25},
        {"fieldName": "B", "type": "int32_t", "arrayLength": 0},
        {"fieldName": "C", "type": "int32_t", "arrayLength": 1},
        {"fieldName": "E", "type": "uint8_t", "arrayLength": -5},
        {"fieldName": "F", "type": "uint8_t"}]}]})");
    ASSERT_EQ(r.rows.size(), 8);
    EXPECT_EQ(r.rows[0]["DECODE_ID2"], "1:2");
    EXPECT_EQ(r.rows[0]["DECODE_TYPE"], "3");
    EXPECT_EQ(r.rows[1]["DECODE_TYPE"], "4");
    EXPECT_EQ(r.rows[2]["DECODE_ID2"], "8:7:6:5:4:3:2:1");
    EXPECT_EQ(r.rows[2]["DECODE_TYPE"], "6");
    EXPECT_EQ(r.rows[3]["DECODE_ID1"], "12");
    EXPECT_EQ(r.rows[3]["ARRAY_LENGTH"], "4");
    EXPECT_EQ(r.rows[3]["SAMPLE_PERIOD"], "0.25");
    EXPECT_EQ(r.rows[4]["DECODE_ID1"], "28");
    EXPECT_EQ(r.rows[4]["ARRAY_LENGTH"], "1");
    EXPECT_EQ(r.rows[5]["DECODE_ID1"], "32");
    EXPECT_EQ(r.rows[6]["DECODE_ID1"], "36");
    EXPECT_EQ(r.rows[7]["DECODE_ID1"], "37");
}

TEST(JsonDictionary, Conversions)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "CUS", "type": "uint8_t", "units": "V",
         "conversion": {"customEq": "7", "uncalToCalFunction": "countsToDbm", "units": "mV"}},
        {"fieldName": "POL", "type": "uint8_t", "conversion": {"uncalToCalFunction": "polynomial",
         "uncalToCalArgs": [0.5, 2, 3, 4, 5, 6, 7, 1234567, 9, 10]}},
        {"fieldName": "ONE", "type": "uint8_t", "conversion": {"uncalToCalFunction": "polynomial", "uncalToCalArgs": [3]}},
        {"fieldName": "DBM", "type": "uint8_t", "conversion": {"uncalToCalFunction": "countsToDbm"}},
        {"fieldName": "LUT", "type": "uint8_t", "conversion": {"uncalToCalFunction": "LUT",
         "uncalToCalArgs": [{"0": "OFF", "1": "ON", "10": "ERR", "0x10": "HEX", "zz": "BAD"}]}},
        {"fieldName": "OTH", "type": "float", "conversion": {"uncalToCalFunction": "Polynomial", "uncalToCalArgs": [9]}}
        ]}]})");
    ASSERT_EQ(r.rows.size(), 6);
    const Row& cus = r.rows[0];
    EXPECT_EQ(cus["SCI_EQ_TYPE"], "7");
    EXPECT_EQ(cus["SCI_FMT"], "%.4f");
    EXPECT_EQ(cus["SCI_UNITS"], "mV");
    EXPECT_EQ(cus["SCI_K2"], "1"); // countsToDbm was not looked at

    const Row& pol = r.rows[1];
    EXPECT_EQ(pol["SCI_FMT"], "%.4f");
    EXPECT_EQ(pol["SCI_K1"], "0.5");
    EXPECT_EQ(pol["SCI_K7"], "7");
    EXPECT_EQ(pol["SCI_K8"], "1.23457e+06"); // six significant digits; elements past the eighth ignored
    EXPECT_EQ(pol.cells.size(), 36);
    EXPECT_EQ(r.rows[2]["SCI_K1"], "3");
    EXPECT_EQ(r.rows[2]["SCI_K2"], "1");

    EXPECT_EQ(r.rows[3]["SCI_EQ_TYPE"], "13");
    EXPECT_EQ(r.rows[3]["SCI_K1"], "0");
    EXPECT_EQ(r.rows[3]["SCI_K2"], "10");
    EXPECT_EQ(r.rows[3]["SCI_K3"], "10");
    EXPECT_EQ(r.rows[3]["SCI_FMT"], "%1.0f");

    const Row& lut = r.rows[4];
    EXPECT_EQ(lut.cells.size(), 37);
    // Ordered by key text; 0x10 reads as 16 and zz as 0, which replaces OFF (keys are read in name order).
    EXPECT_EQ(lut["DISCRETE_LABELS"], "0=BAD;1=ON;10=ERR;16=HEX");
    EXPECT_EQ(lut["SCI_EQ_TYPE"], "1");
    EXPECT_EQ(lut["SCI_FMT"], "%1.0f");

    EXPECT_EQ(r.rows[5]["SCI_K1"], "0"); // unknown function names change nothing
    EXPECT_EQ(r.rows[5]["SCI_FMT"], "%.4f");
}

TEST(JsonDictionary, LutKeysInTextOrder)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "L", "type": "uint8_t", "conversion": {"uncalToCalFunction": "LUT",
         "uncalToCalArgs": [{"2": "TWO", "10": "TEN"}]}},
        {"fieldName": "E", "type": "uint8_t", "conversion": {"uncalToCalFunction": "LUT", "uncalToCalArgs": []}}]}]})");
    ASSERT_EQ(r.rows.size(), 2);
    EXPECT_EQ(r.rows[0]["DISCRETE_LABELS"], "10=TEN;2=TWO");
    EXPECT_EQ(r.rows[1].cells.size(), 36);
}

TEST(JsonDictionary, Limits)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "F", "type": "uint8_t", "limits": [0, 100]},
        {"fieldName": "C", "type": "uint8_t", "limits": [0, 100], "conversion": {"limits": {"yellow": [1, 9]}}},
        {"fieldName": "E", "type": "uint8_t", "limits": [5, 5]},
        {"fieldName": "B", "type": "uint8_t", "limits": {"yellow": [10, 20], "red": [0, 30]}},
        {"fieldName": "T", "type": "uint8_t", "limits": [1, 2, 3]},
        {"fieldName": "R", "type": "uint8_t", "limits": {"red": [-1.5, 1234567]}}]}]})");
    ASSERT_EQ(r.rows.size(), 6);
    const Row& f = r.rows[0];
    EXPECT_EQ(f["LIMIT_TYPE_1"], "1");
    EXPECT_EQ(f["YELLOW_LIMIT_1"], "0");
    EXPECT_EQ(f["RED_LIMIT_1"], "0");
    EXPECT_EQ(f["LIMIT_TYPE_2"], "5");
    EXPECT_EQ(f["YELLOW_LIMIT_2"], "100");
    EXPECT_EQ(f["RED_LIMIT_2"], "100");

    const Row& c = r.rows[1];
    EXPECT_EQ(c["LIMIT_TYPE_1"], "3");
    EXPECT_EQ(c["LIMIT_TYPE_2"], "7");
    EXPECT_EQ(c["YELLOW_LIMIT_1"], "1");
    EXPECT_EQ(c["RED_LIMIT_1"], "1");
    EXPECT_EQ(c["YELLOW_LIMIT_2"], "9");
    EXPECT_EQ(c["RED_LIMIT_2"], "9");

    for (int i : {2, 4}) {
        for (const char* col : {"LIMIT_TYPE_1", "YELLOW_LIMIT_1", "RED_LIMIT_1", "LIMIT_TYPE_2", "YELLOW_LIMIT_2",
                                "RED_LIMIT_2"})
            EXPECT_EQ(r.rows[i][col], "0") << i << col;
    }

    const Row& b = r.rows[3];
    EXPECT_EQ(b["YELLOW_LIMIT_1"], "10");
    EXPECT_EQ(b["YELLOW_LIMIT_2"], "20");
    EXPECT_EQ(b["RED_LIMIT_1"], "0");
    EXPECT_EQ(b["RED_LIMIT_2"], "30");

    const Row& red = r.rows[5];
    EXPECT_EQ(red["YELLOW_LIMIT_1"], "-1.5");
    EXPECT_EQ(red["RED_LIMIT_2"], "1.23457e+06");
}

TEST(JsonDictionary, TabsInTextsDoNotShiftCells)
{
    const Result r = convert(R"({"Packets": [{"packetName": "P\tQ", "packetId": 1, "fields": [
        {"fieldName": "A\tB", "type": "uint8_t", "description": "x\ty", "units": "m\ts",
         "conversion": {"uncalToCalFunction": "LUT", "uncalToCalArgs": [{"1": "O\tN"}]}}]}]})");
    ASSERT_EQ(r.rows.size(), 1);
    const Row& row = r.rows[0];
    ASSERT_EQ(row.cells.size(), 37);
    EXPECT_EQ(row["SUB_SYSTEM"], "P Q");
    EXPECT_EQ(row["NAME"], "A B");
    EXPECT_EQ(row["DESCRIPTION"], "x y");
    EXPECT_EQ(row["DATA_ID"], QString::number(1 << 15));
    EXPECT_EQ(row["SCI_UNITS"], "m s");
    EXPECT_EQ(row["DISCRETE_LABELS"], "1=O N");
    for (const QString& cell : row.cells)
        EXPECT_FALSE(cell.contains('\t'));
}

TEST(JsonDictionary, RowsPastTheCounterRangeAreSkipped)
{
    // 513 fields of one main and 63 bit field rows each make 32,832 rows for one packet.
    QByteArray bits;
    for (int i = 0; i < 63; ++i)
        bits += (i ? "," : "") + QByteArray(R"(["B)") + QByteArray::number(i) + R"(", "b0"])";
    QByteArray json = R"({"Packets": [{"packetName": "P", "packetId": 2, "fields": [)";
    for (int f = 0; f < 513; ++f)
        json += (f ? "," : "") + QByteArray(R"({"fieldName": "W", "type": "uint8_t", "bitFields": [)") + bits + "]}";
    json += R"(, {"fieldName": "AFTER", "type": "uint8_t"}]},
        {"packetName": "Q", "packetId": 3, "fields": [{"fieldName": "N", "type": "uint8_t"}]}]})";

    TestSupport::LogCapture log;
    const Result r = convert(json.constData());
    ASSERT_EQ(r.rows.size(), 32768 + 1);
    QSet<QString> ids;
    for (const Row& row : r.rows)
        ids.insert(row["DATA_ID"]);
    EXPECT_EQ(ids.size(), r.rows.size()); // no two rows share an id
    EXPECT_EQ(r.rows[0]["NAME"], "W");
    EXPECT_EQ(r.rows[32767]["DATA_ID"], QString::number((2 << 15) | 0x7FFF));
    EXPECT_EQ(r.rows.last()["DATA_ID"], QString::number(3 << 15)); // the next packet is unaffected
    EXPECT_EQ(log.count("Too many rows for packet P", "tmdb", WARN), 1);
}

TEST(JsonDictionary, NumbersGivenWhereTextIsExpectedKeepTheirShortForm)
{
    const Result r = convert(R"({"Packets": [{"packetName": 12, "packetId": 1, "fields": [
        {"fieldName": 7, "type": "uint8_t", "units": 0.1, "description": 12345678901234567,
         "conversion": {"uncalToCalFunction": "LUT", "uncalToCalArgs": [{"1": 0.3, "2": true}]}}]}]})");
    ASSERT_EQ(r.rows.size(), 1);
    EXPECT_EQ(r.packetTypeLines, QStringList{"1, 12, false, -1, -1"});
    EXPECT_EQ(r.rows[0]["NAME"], "7");
    EXPECT_EQ(r.rows[0]["SCI_UNITS"], "0.1");
    EXPECT_EQ(r.rows[0]["DESCRIPTION"], "12345678901234567");
    EXPECT_EQ(r.rows[0]["DISCRETE_LABELS"], "1=0.3;2=true");
}

// The application object adopts the user's locale; the cells must still carry
// a decimal point, as the cell parsers read numbers in the C locale.
TEST(JsonDictionary, NumberCellsIgnoreTheProcessLocale)
{
    const QString localedef = QStringLiteral("/usr/bin/localedef");
    if (!QFileInfo::exists(localedef))
        GTEST_SKIP() << "localedef is not installed";
    TestSupport::TempDir dir;
    QProcess build;
    build.start(localedef, {"-i", "de_DE", "-f", "UTF-8", dir.filePath("de_DE.UTF-8")});
    if (!build.waitForFinished(60000) || !QFileInfo(dir.filePath("de_DE.UTF-8")).isDir())
        GTEST_SKIP() << "no German locale could be built";
    TestSupport::ScopedEnv locpath("LOCPATH", QFile::encodeName(dir.path()));

    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        GTEST_SKIP() << "the German locale cannot be selected";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%g", 0.5);
    const Result r = convert(R"({"Packets": [{"packetName": "P", "packetId": 1, "fields": [
        {"fieldName": "F", "type": "uint16_t", "samplePeriod": 0.25, "limits": [-1.5, 7.5],
         "conversion": {"uncalToCalFunction": "polynomial", "uncalToCalArgs": [0.5, 2.25, 1e-7]}}]}]})");
    std::setlocale(LC_NUMERIC, previous.c_str());

    ASSERT_STREQ(probe, "0,5"); // the locale really writes a decimal comma
    ASSERT_EQ(r.rows.size(), 1);
    EXPECT_EQ(r.rows[0]["SCI_K1"], "0.5");
    EXPECT_EQ(r.rows[0]["SCI_K2"], "2.25");
    EXPECT_EQ(r.rows[0]["SCI_K3"], "1e-07");
    EXPECT_EQ(r.rows[0]["YELLOW_LIMIT_1"], "-1.5");
    EXPECT_EQ(r.rows[0]["RED_LIMIT_2"], "7.5");
    EXPECT_EQ(r.rows[0]["SAMPLE_PERIOD"], "0.25");
}
