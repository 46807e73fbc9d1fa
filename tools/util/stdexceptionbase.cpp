#include "tools/util/stdexceptionbase.h"

namespace {
// A null pointer reads as the empty text.
std::string fromPointer(const char* text)
{
    return text ? std::string(text) : std::string();
}

std::string fromQString(const QString& text)
{
    return text.toUtf8().toStdString();
}
} // namespace

StdExceptionBase::StdExceptionBase() noexcept = default;

StdExceptionBase::StdExceptionBase(const StdExceptionBase& other) noexcept
    : std::exception(other), text_(other.text_)
{
}

StdExceptionBase::StdExceptionBase(const char* text) noexcept : text_(fromPointer(text)) {}

StdExceptionBase::StdExceptionBase(const std::string& text) noexcept : text_(text) {}

StdExceptionBase::StdExceptionBase(const QString& text) noexcept : text_(fromQString(text)) {}

StdExceptionBase::~StdExceptionBase() = default;

StdExceptionBase& StdExceptionBase::operator=(const StdExceptionBase& other) noexcept
{
    if (this != &other)
        text_ = other.text_;
    return *this;
}

void StdExceptionBase::setText(const char* text) noexcept
{
    text_ = fromPointer(text);
}

void StdExceptionBase::setText(const std::string& text) noexcept
{
    text_ = text;
}

void StdExceptionBase::setText(const QString& text) noexcept
{
    text_ = fromQString(text);
}

void StdExceptionBase::appendText(const char* text) noexcept
{
    text_ += fromPointer(text);
}

void StdExceptionBase::appendText(const std::string& text) noexcept
{
    text_ += text;
}

void StdExceptionBase::appendText(const QString& text) noexcept
{
    text_ += fromQString(text);
}

const char* StdExceptionBase::what() const noexcept
{
    return text_.c_str();
}

const char* StdExceptionBase::text() const noexcept
{
    return text_.c_str();
}
