#include "tools/util/jsonutil.h"
#include "tools/util/parsingexception.h"
#include "tools/util/stdexceptionbase.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QVariantMap parse(const char* json)
{
    return QJsonDocument::fromJson(json).object().toVariantMap();
}

template <typename E, typename F>
std::string thrownText(F f)
{
    try {
        f();
    } catch (const E& e) {
        // Caught as the family's base too: the message must survive the slicing-free path.
        const ParsingException& base = e;
        EXPECT_STREQ(base.what(), e.what());
        return e.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

} // namespace

TEST(ParsingException, MessagesOfTheFamily)
{
    EXPECT_STREQ(ParsingException().what(), "Error while parsing file");
    EXPECT_STREQ(FileOpenException("/x/y.json").what(),
                 "Error while parsing file:\nFailed to open file: /x/y.json");
    EXPECT_STREQ(GeneralParsingException("bad line").what(), "Error while parsing file: bad line");
    EXPECT_STREQ(MissingKeyException("mass").what(), "Error while parsing file:\nMissing a key: mass");
    EXPECT_STREQ(UnexpectedValueTypeException("k", "int", "QString").what(),
                 "Error while parsing file:\nThe value's type for the k key is wrong: Expected int "
                 "but got QString");
    EXPECT_STREQ(HexStringToIntException("0xZZ").what(),
                 "Error while parsing file:\nFailed to convert the hex string to int: 0xZZ");

    // One catch clause for the family, and the runtime_error base for everyone else.
    try {
        throw MissingKeyException("a");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error while parsing file:\nMissing a key: a");
    }
}

TEST(JsonUtil, ReadsTypedValuesWithConversion)
{
    const QVariantMap m = parse(R"({"name":"scan","n":-7,"u":4000000000,"flag":true,
                                    "numText":"42","num":12,"word":"abc"})");
    EXPECT_EQ(JsonUtil::extractStringFromMap(m, "name"), "scan");
    EXPECT_EQ(JsonUtil::extractIntFromMap(m, "n"), -7);
    EXPECT_EQ(JsonUtil::extractUIntFromMap(m, "u"), 4000000000u);
    EXPECT_TRUE(JsonUtil::extractBoolFromMap(m, "flag"));
    // Convertible types pass: a numeric text as int, a number as text.
    EXPECT_EQ(JsonUtil::extractIntFromMap(m, "numText"), 42);
    EXPECT_EQ(JsonUtil::extractStringFromMap(m, "num"), "12");
    // A conversion that does not succeed gives the default, without an error.
    EXPECT_EQ(JsonUtil::extractIntFromMap(m, "word"), 0);
}

TEST(JsonUtil, MissingKeysAreCaseSensitive)
{
    const QVariantMap m = parse(R"({"Version":3})");
    EXPECT_EQ(JsonUtil::extractIntFromMap(m, "Version"), 3);
    EXPECT_EQ(thrownText<MissingKeyException>([&] { JsonUtil::extractIntFromMap(m, "version"); }),
              "Error while parsing file:\nMissing a key: version");
    EXPECT_THROW(JsonUtil::extractStringFromMap(m, "x"), MissingKeyException);
    EXPECT_THROW(JsonUtil::extractUIntFromMap(m, "x"), MissingKeyException);
    EXPECT_THROW(JsonUtil::extractBoolFromMap(m, "x"), MissingKeyException);
    EXPECT_THROW(JsonUtil::verifyValidVariant("x", QVariant()), MissingKeyException);
    EXPECT_NO_THROW(JsonUtil::verifyValidVariant("x", QVariant(0)));
}

TEST(JsonUtil, WrongTypeNamesKeyExpectedAndActualType)
{
    const QVariantMap m = parse(R"({"obj":{"a":1},"list":[1,2]})");
    const QString objType = QString::fromLatin1(m.value("obj").typeName());
    ASSERT_FALSE(objType.isEmpty());
    EXPECT_EQ(thrownText<UnexpectedValueTypeException>([&] { JsonUtil::extractBoolFromMap(m, "obj"); }),
              "Error while parsing file:\nThe value's type for the obj key is wrong: Expected bool but got "
                  + objType.toStdString());
    EXPECT_THROW(JsonUtil::extractIntFromMap(m, "obj"), UnexpectedValueTypeException);
    EXPECT_THROW(JsonUtil::extractUIntFromMap(m, "list"), UnexpectedValueTypeException);
}

TEST(StdExceptionBase, TextIsSetExtendedAndCopied)
{
    EXPECT_STREQ(StdExceptionBase().what(), "");
    StdExceptionBase e(QString::fromUtf8("Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac"));
    EXPECT_STREQ(e.what(), "Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac");
    EXPECT_STREQ(e.text(), e.what());

    e.setText("first");
    e.appendText(std::string(", second"));
    e.appendText(QStringLiteral(", third"));
    e.appendText(static_cast<const char*>(nullptr));
    EXPECT_STREQ(e.what(), "first, second, third");

    StdExceptionBase copy(e);
    StdExceptionBase assigned("other");
    assigned = e;
    e.setText(std::string("changed"));
    EXPECT_STREQ(copy.what(), "first, second, third");
    EXPECT_STREQ(assigned.what(), "first, second, third");
    const StdExceptionBase& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.what(), "first, second, third");
    e.setText(QString());
    EXPECT_STREQ(e.what(), "");
}
