#include "tools/util/parsingexception.h"

namespace {
const char* const kBase = "Error while parsing file";
}

ParsingException::ParsingException() : std::runtime_error(kBase) {}
ParsingException::~ParsingException() = default;
const char* ParsingException::what() const noexcept
{
    return std::runtime_error::what();
}

FileOpenException::FileOpenException(const std::string& file)
    : message_(std::string(kBase) + ":\n" + "Failed to open file: " + file)
{
}
FileOpenException::~FileOpenException() = default;
const char* FileOpenException::what() const noexcept
{
    return message_.c_str();
}

GeneralParsingException::GeneralParsingException(const std::string& text)
    : message_(std::string(kBase) + ": " + text)
{
}
GeneralParsingException::~GeneralParsingException() = default;
const char* GeneralParsingException::what() const noexcept
{
    return message_.c_str();
}

MissingKeyException::MissingKeyException(const std::string& key)
    : message_(std::string(kBase) + ":\n" + "Missing a key: " + key)
{
}
MissingKeyException::~MissingKeyException() = default;
const char* MissingKeyException::what() const noexcept
{
    return message_.c_str();
}

UnexpectedValueTypeException::UnexpectedValueTypeException(const std::string& key,
                                                           const std::string& expected,
                                                           const std::string& got)
    : message_(std::string(kBase) + ":\n" + "The value's type for the " + key + " key is wrong: "
               + "Expected " + expected + " but got " + got)
{
}
UnexpectedValueTypeException::~UnexpectedValueTypeException() = default;
const char* UnexpectedValueTypeException::what() const noexcept
{
    return message_.c_str();
}

HexStringToIntException::HexStringToIntException(const std::string& text)
    : message_(std::string(kBase) + ":\n" + "Failed to convert the hex string to int: " + text)
{
}
HexStringToIntException::~HexStringToIntException() = default;
const char* HexStringToIntException::what() const noexcept
{
    return message_.c_str();
}
