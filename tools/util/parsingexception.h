#pragma once
// Errors of the definition-file parsers. Every message starts with the base text
// "Error while parsing file".
#include <stdexcept>
#include <string>

class ParsingException : public std::runtime_error
{
public:
    ParsingException();
    ~ParsingException() override;
    const char* what() const noexcept override;
};

// A definition file could not be opened.
class FileOpenException : public ParsingException
{
public:
    explicit FileOpenException(const std::string& file);
    ~FileOpenException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

// A structural fault described in free text.
class GeneralParsingException : public ParsingException
{
public:
    explicit GeneralParsingException(const std::string& text);
    ~GeneralParsingException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

class MissingKeyException : public ParsingException
{
public:
    explicit MissingKeyException(const std::string& key);
    ~MissingKeyException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

class UnexpectedValueTypeException : public ParsingException
{
public:
    UnexpectedValueTypeException(const std::string& key, const std::string& expected,
                                 const std::string& got);
    ~UnexpectedValueTypeException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

class HexStringToIntException : public ParsingException
{
public:
    explicit HexStringToIntException(const std::string& text);
    ~HexStringToIntException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};
