// SEB field decoders and command interpreters: the decoders' rules as one
// table, seb_cmds.json faults as one table, the load-once and install-whole
// rules of the interpreter table, and every field of the generated command
// table decoded over commands whose values scripts/gen_kora_seb.py worked out.
#include "sebtestdata.h"

#include "koralib/seb/sebcmd.h"
#include "koralib/seb/sebcmdinterpreter.h"
#include "koralib/seb/sebfielddecoder.h"
#include "tools/util/parsingexception.h"

#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace KorGse;

namespace {

QVariantMap simpleField(int offset, int size, const QString& mask, int shift)
{
    return {{"type", 1}, {"field", "F"}, {"description", "d"}, {"offset", offset}, {"size", size},
            {"mask", mask}, {"shift", shift}};
}

std::vector<unsigned char> bytesOf(std::initializer_list<int> b)
{
    std::vector<unsigned char> out;
    for (int x : b)
        out.push_back(static_cast<unsigned char>(x));
    return out;
}

template <class E>
bool isA(const std::exception& e)
{
    return dynamic_cast<const E*>(&e) != nullptr;
}

} // namespace

// The decoding rules of a plain field, case by case.
TEST(SebFieldDecoder, SimpleDecoderFacts)
{
    const auto cmd = bytesOf({0xFA, 0xF3, 0x20, 0x1C, 0x00, 0x06});
    const auto five = bytesOf({0x11, 0x22, 0x33, 0x44, 0x55});
    struct Case
    {
        const char* what;
        int offset, size;
        const char* mask;
        int shift;
        std::vector<unsigned char> bytes;
        uint32_t value;
        const char* hex;
    };
    const Case cases[] = {
        {"bytes 2-3 of a command", 2, 2, "FFFF", 0, cmd, 0x201C, "20 1C"},
        {"mask then right shift", 0, 1, "0F", 2, {0x3C}, 3, "03"},
        {"negative shift is a left shift", 0, 1, "0F", -4, {0x3C}, 192, "C0"},
        {"size 5 keeps the last four bytes", 0, 5, "FFFFFFFF", 0, five, 0x22334455, "55 22 33 44 55"},
        {"shift counts modulo 32", 0, 2, "FFFF", 33, {0x01, 0x02}, 0x102 >> 1, "00 81"},
        {"left shift modulo 32", 0, 1, "FF", -33, {0x41}, 0x82, "82"},
        {"size 0 gives 0 and no bytes", 0, 0, "FF", 0, {0x41}, 0, ""},
        {"size -1 gives 0 and no bytes", 0, -1, "FF", 0, {0x41}, 0, ""},
        {"mask with 0x prefix", 0, 1, "0x3", 0, {0xFF}, 3, "03"},
        {"nine digits with leading zero fit", 0, 1, "0000000FF", 0, {0xAB}, 0xAB, "AB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimpleDecoder d(simpleField(c.offset, c.size, c.mask, c.shift));
        EXPECT_EQ(d.decodeToUInt(c.bytes), c.value);
        EXPECT_EQ(d.decodeToHexStr(c.bytes), QString(c.hex));
        EXPECT_EQ(d.decodeToDecStr(c.bytes), QString::number(c.value));
        EXPECT_EQ(d.decodeToSci(c.bytes), double(c.value));
        EXPECT_EQ(d.decodeToSciStr(c.bytes), QString("N/A"));
        EXPECT_EQ(d.decode(c.bytes).size(), std::max(c.size, 0));
    }

    // Past the command's bytes: every reading operation throws.
    SimpleDecoder past(simpleField(5, 2, "FFFF", 0));
    EXPECT_THROW(past.decodeToUInt(cmd), std::out_of_range);
    EXPECT_THROW(past.decode(cmd), std::out_of_range);
    EXPECT_THROW(past.decodeToHexStr(cmd), std::out_of_range);
    EXPECT_THROW(past.decodeToSci(cmd), std::out_of_range);
    // A huge offset or size is refused at the command's end, not wrapped.
    SimpleDecoder far(simpleField(0, 0x7FFFFFFF, "FF", 0));
    EXPECT_THROW(far.decodeToUInt(cmd), std::out_of_range);
    QVariantMap wrap = simpleField(0, 2, "FF", 0);
    wrap["offset"] = 4294967295u;
    EXPECT_THROW(SimpleDecoder(wrap).decodeToUInt(cmd), std::out_of_range);
}

TEST(SebFieldDecoder, BadMasksAndTexts)
{
    for (const char* mask : {"XYZ", "", "1FFFFFFFF", "-1", "0x", "12 34"}) {
        SCOPED_TRACE(mask);
        EXPECT_THROW(SimpleDecoder(simpleField(0, 1, mask, 0)), HexStringToIntException);
    }
    // The texts, with the mask in upper case, no prefix or padding.
    SimpleDecoder d(simpleField(3, 2, "0ff0", -2));
    EXPECT_EQ(d.toString(), QString("Name: F\nType: 1\nOffset: 3\nDesc: d\nSize: 2\nMask: FF0\nShift: -2\n"));
    QVariantMap hk{{"type", 2}, {"field", "%1"}, {"description", "x"}, {"offset", 1}, {"hkid", 900}};
    EXPECT_EQ(HkDecoder(hk).toString(), QString("Name: %1\nType: 2\nOffset: 1\nDesc: x\nHKID: 900\n"));
}

// seb_cmds.json faults: what is thrown, and that no partial table is left.
TEST(SebCmdInterpreter, FileErrorsAsOneTable)
{
    struct Case
    {
        const char* what;
        std::string json;
        const char* message; // a part of what()
        bool (*kind)(const std::exception&);
    };
    const char* ok = R"({"id":"1D","name":"A","description":"a","data":[]})";
    const std::string okEntry(ok);
    const Case cases[] = {
        {"id not hex", R"([{"id":"1G","name":"n","description":"d","data":[]}])", "1G",
         &isA<HexStringToIntException>},
        {"id above signed 32 bits", R"([{"id":"80000000","name":"n","description":"d","data":[]}])", "80000000",
         &isA<HexStringToIntException>},
        {"id missing", R"([{"name":"n","description":"d","data":[]}])", "id", &isA<MissingKeyException>},
        {"name missing", R"([{"id":"1","description":"d","data":[]}])", "name", &isA<MissingKeyException>},
        {"description missing", R"([{"id":"1","name":"n","data":[]}])", "description",
         &isA<MissingKeyException>},
        {"data missing", R"([{"id":"1","name":"n","description":"d"}])", "data", &isA<MissingKeyException>},
        {"data a number", R"([{"id":"1","name":"n","description":"d","data":5}])", "data",
         &isA<UnexpectedValueTypeException>},
        // A text converts to a list of its characters, none of them an object.
        {"data a string", R"([{"id":"1","name":"n","description":"d","data":"abc"}])", "Decoder",
         &isA<UnexpectedValueTypeException>},
        {"data an object", R"([{"id":"1","name":"n","description":"d","data":{"type":0}}])", "data",
         &isA<UnexpectedValueTypeException>},
        {"data holding a string", R"([{"id":"1","name":"n","description":"d","data":["x"]}])", "Decoder",
         &isA<UnexpectedValueTypeException>},
        {"data holding a list", R"([{"id":"1","name":"n","description":"d","data":[[]]}])", "Decoder",
         &isA<UnexpectedValueTypeException>},
        {"data holding null", R"([{"id":"1","name":"n","description":"d","data":[null]}])", "Decoder",
         &isA<UnexpectedValueTypeException>},
        {"data holding a number", R"([{"id":"1","name":"n","description":"d","data":[7]}])", "Decoder",
         &isA<UnexpectedValueTypeException>},
        {"field without type", R"([{"id":"1","name":"n","description":"d","data":[{"field":"f"}]}])", "type",
         &isA<MissingKeyException>},
        {"type 5", R"([{"id":"1","name":"n","description":"d","data":[{"type":5}]}])", "Unknown decoder type",
         &isA<GeneralParsingException>},
        {"simple field without size",
         R"([{"id":"1","name":"n","description":"d","data":[{"type":1,"field":"f","description":"x","offset":0,"mask":"F","shift":0}]}])",
         "size", &isA<MissingKeyException>},
        {"mask not hex",
         R"([{"id":"1","name":"n","description":"d","data":[{"type":3,"field":"f","description":"x","offset":0,"size":1,"mask":"G","shift":0}]}])",
         "G", &isA<HexStringToIntException>},
        {"mask of 33 bits",
         R"([{"id":"1","name":"n","description":"d","data":[{"type":4,"field":"f","description":"x","offset":0,"size":1,"mask":"100000000","shift":0}]}])",
         "100000000", &isA<HexStringToIntException>},
        {"hk field without hkid",
         R"([{"id":"1","name":"n","description":"d","data":[{"type":2,"field":"f","description":"x","offset":0}]}])",
         "hkid", &isA<MissingKeyException>},
        {"field name missing", R"([{"id":"1","name":"n","description":"d","data":[{"type":1}]}])", "field",
         &isA<MissingKeyException>},
        {"a good entry, then a bad one", "[" + okEntry + R"(,{"id":"2","name":"n","description":"d"}])",
         "data", &isA<MissingKeyException>},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SebCmdInterpreter::clearInterpreters();
        try {
            SebCmdInterpreter::loadInterpreters(QByteArray::fromStdString(c.json));
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::exception& e) {
            EXPECT_TRUE(c.kind(e)) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        // Installed only when whole: nothing is kept, so a later load tries again.
        EXPECT_TRUE(SebCmdInterpreter::interpreters().isEmpty());
        SebCmdInterpreter::loadInterpreters(QByteArray("[") + ok + "]");
        EXPECT_EQ(SebCmdInterpreter::interpreters().size(), 1);
    }

    // Not an array, or no JSON at all: nothing loaded, nothing raised.
    for (const char* json : {"{\"id\":\"1\"}", "not json", "", "[1, \"x\", null]"}) {
        SCOPED_TRACE(json);
        SebCmdInterpreter::clearInterpreters();
        EXPECT_NO_THROW(SebCmdInterpreter::loadInterpreters(QByteArray(json)));
        EXPECT_TRUE(SebCmdInterpreter::interpreters().isEmpty());
    }
    SebCmdInterpreter::clearInterpreters();
}

TEST(SebCmdInterpreter, LoadedOncePerProcess)
{
    TestSupport::TempDir dir;
    SebCmdInterpreter::clearInterpreters();
    // Only plain files are read: a folder takes the open-failure path.
    EXPECT_THROW(SebCmdInterpreter::createInterpreters(dir.path()), FileOpenException);
    // The message carries the file's error text, not its path.
    try {
        SebCmdInterpreter::createInterpreters(dir.filePath("absent.json"));
        ADD_FAILURE() << "nothing thrown";
    } catch (const FileOpenException& e) {
        EXPECT_STREQ(e.what(), "Error while parsing file:\nFailed to open file: No such file or directory");
    }
    const QString a = dir.write("a.json", R"([{"id":"1d","name":"FIRST","description":"","data":[]}])");
    const QString b = dir.write("b.json", R"([{"id":"1D","name":"SECOND","description":"","data":[]}])");
    SebCmdInterpreter::createInterpreters(a);
    SebCmdInterpreter::createInterpreters(b);
    EXPECT_EQ(SebCmdInterpreter::interpreter(29)->name, QString("FIRST"));
    // Even a missing file is not looked at once a table is loaded.
    EXPECT_NO_THROW(SebCmdInterpreter::createInterpreters(dir.filePath("absent.json")));
    SebCmdInterpreter::clearInterpreters();
}

TEST(SebCmdInterpreter, TextsAndEmptySlots)
{
    SebCmdInterpreter::clearInterpreters();
    SebCmdInterpreter::loadInterpreters(R"([
        {"id":"7","name":"N %1","description":"D %2","data":[]},
        {"id":"8","name":"R","description":"ramp","data":[
            {"type":1,"field":"A","description":"%3","offset":6,"size":1,"mask":"FF","shift":0},
            {"type":0},
            {"type":1,"field":"B","description":"b","offset":7,"size":1,"mask":"F","shift":-1}]}])");
    const auto none = SebCmdInterpreter::interpreter(7);
    ASSERT_TRUE(none);
    // One pass: the "%1" in the name stays, the description follows directly.
    EXPECT_EQ(none->toString(), QString("CMD Name: N %1\nID: 7\nDescription: D %2"));
    const auto ramp = SebCmdInterpreter::interpreter(8);
    ASSERT_TRUE(ramp);
    EXPECT_EQ(ramp->toString(), QString("CMD Name: R\nID: 8\nDescription: ramp"
                                        "Name: A\nType: 1\nOffset: 6\nDesc: %3\nSize: 1\nMask: FF\nShift: 0\n"
                                        "Name: B\nType: 1\nOffset: 7\nDesc: b\nSize: 1\nMask: F\nShift: -1\n"));
    EXPECT_EQ(ramp->fieldStringList(), (QStringList{"A", "", "B"}));
    const auto bytes = bytesOf({0xFA, 0xF3, 0x20, 8, 0, 0, 0x12, 0x34});
    EXPECT_EQ(ramp->decodeFieldToUInt(2, bytes), 8u);
    EXPECT_EQ(ramp->fieldOffset(2), 7u);
    EXPECT_EQ(ramp->fieldSize(0), 1);
    // Indexes come from archive bytes: past the list or on an empty slot they throw.
    for (int i : {-1, 1, 3, 1000}) {
        SCOPED_TRACE(i);
        EXPECT_THROW(ramp->fieldSize(i), std::out_of_range);
        EXPECT_THROW(ramp->fieldName(i), std::out_of_range);
        EXPECT_THROW(ramp->fieldDescription(i), std::out_of_range);
        EXPECT_THROW(ramp->decodeField(i, bytes), std::out_of_range);
        EXPECT_THROW(ramp->decodeFieldToHexStr(i, bytes), std::out_of_range);
        EXPECT_THROW(ramp->decodeFieldToSciStr(i, bytes), std::out_of_range);
    }
    // An id the table does not define: no name, and its values throw.
    auto data = std::make_shared<std::vector<unsigned char>>(bytes);
    SebCmd undefined(99, data, 0, 8);
    EXPECT_EQ(undefined.name(), QString(""));
    EXPECT_THROW(undefined.fieldSci(0), std::out_of_range);
    EXPECT_THROW(undefined.fieldSciStr(0), std::out_of_range);
    // A DAC value field with no SET_DAC_IMM to read the DAC id with.
    QVariantMap dacValue = simpleField(6, 1, "FF", 0);
    dacValue["type"] = 4;
    EXPECT_THROW(DacValueDecoder(dacValue).decodeToSci(bytes), std::out_of_range);
    SebCmdInterpreter::clearInterpreters();
}

// The generated table, loaded as start-up does (gse path of the default
// group), against the values the generator computed for each field.
TEST_F(SebTestData, GeneratedFieldsDecodeAsComputed)
{
    ASSERT_TRUE(generated);
    const auto& table = SebCmdInterpreter::interpreters();
    const QJsonObject names = expected.value("commands").toObject();
    // The eight ids plus the later of two entries of one id; non-objects skipped.
    EXPECT_EQ(table.size(), names.size());
    for (auto it = names.begin(); it != names.end(); ++it) {
        ASSERT_TRUE(table.contains(it.key().toInt())) << it.key().toStdString();
        EXPECT_EQ(table.value(it.key().toInt())->name, it.value().toString());
    }
    EXPECT_EQ(SebCmdInterpreter::interpreter(0x7F)->description, QString("Does nothing %1"));
    for (int id : {SebCmd::SET_BIN_TIME, SebCmd::PAUSE_IMM, SebCmd::SEND_SCAN_STATUS, SebCmd::SET_DAC,
                   SebCmd::SET_DAC_IMM, SebCmd::RAMP, SebCmd::RAMP_IMM, SebCmd::PAUSE})
        EXPECT_TRUE(table.contains(id)) << id;

    int checked = 0;
    for (const QJsonValue& v : expected.value("fieldCases").toArray()) {
        const QJsonObject c = v.toObject();
        const auto bytes = std::make_shared<std::vector<unsigned char>>(hexBytes(c.value("bytes").toString()));
        SebCmd cmd(c.value("id").toInt(), bytes, 0, int(bytes->size()));
        EXPECT_EQ(cmd.name(), c.value("name").toString());
        const auto interp = SebCmdInterpreter::interpreter(cmd.id);
        ASSERT_TRUE(interp);
        const QJsonArray fields = c.value("fields").toArray();
        ASSERT_EQ(interp->fieldCount(), fields.size());
        for (int i = 0; i < fields.size(); ++i) {
            const QJsonObject f = fields[i].toObject();
            SCOPED_TRACE(c.value("name").toString().toStdString() + " " + c.value("bytes").toString().toStdString()
                         + " field " + std::to_string(i));
            if (f.contains("empty")) {
                EXPECT_THROW(interp->decodeFieldToUInt(i, *bytes), std::out_of_range);
                EXPECT_EQ(interp->fieldStringList().at(i), QString());
                continue;
            }
            // The field's layout: its entry in seb_cmds.json, or its database row's byte length.
            EXPECT_EQ(interp->fieldSize(i), f.value("size").toInt());
            EXPECT_EQ(interp->fieldName(i), interp->decoders.at(i)->name);
            if (f.contains("throws")) {
                EXPECT_THROW(interp->decodeFieldToUInt(i, *bytes), std::out_of_range);
                EXPECT_THROW(interp->decodeField(i, *bytes), std::out_of_range);
                EXPECT_THROW(interp->decodeFieldToDecStr(i, *bytes), std::out_of_range);
                EXPECT_THROW(cmd.fieldSci(i), std::out_of_range);
                // A plain field's science text is "N/A" and reads no byte.
                EXPECT_EQ(cmd.fieldSciStr(i), QString("N/A"));
                ++checked;
                continue;
            }
            EXPECT_EQ(interp->decodeFieldToUInt(i, *bytes), uint32_t(f.value("uint").toDouble()));
            EXPECT_EQ(interp->decodeFieldToHexStr(i, *bytes), f.value("hex").toString());
            EXPECT_EQ(interp->decodeFieldToDecStr(i, *bytes), f.value("dec").toString());
            EXPECT_EQ(interp->decodeField(i, *bytes).toHex(' ').toUpper(), f.value("hex").toString().toLatin1());
            if (f.contains("sciThrows")) {
                EXPECT_THROW(cmd.fieldSci(i), std::out_of_range);
                EXPECT_THROW(cmd.fieldSciStr(i), std::out_of_range);
            } else {
                EXPECT_DOUBLE_EQ(cmd.fieldSci(i), f.value("sci").toDouble());
                EXPECT_EQ(cmd.fieldSciStr(i), f.value("sciStr").toString());
            }
            ++checked;
        }
    }
    EXPECT_GE(checked, 25);

    // A field whose data id the database lacks: every read of its row throws.
    const QVariantMap hk{{"type", 2}, {"field", "H"}, {"description", ""}, {"offset", 0}, {"hkid", 987654}};
    const HkDecoder unknown(hk);
    const auto bytes = bytesOf({0xFA, 0xF3, 0x20, 0x21, 0, 0, 1, 2});
    EXPECT_THROW(unknown.size(), std::out_of_range);
    EXPECT_THROW(unknown.decodeToUInt(bytes), std::out_of_range);
    EXPECT_THROW(unknown.decodeToSci(bytes), std::out_of_range);
    EXPECT_THROW(unknown.decodeToSciStr(bytes), std::out_of_range);
    EXPECT_EQ(unknown.toString(), QString("Name: H\nType: 2\nOffset: 0\nDesc: \nHKID: 987654\n"));
}
