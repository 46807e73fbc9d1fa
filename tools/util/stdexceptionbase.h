#pragma once
// An exception with a settable and extendable text. Nothing here lets an exception
// escape: a failure inside (an allocation failure) ends the process.
#include <QString>
#include <exception>
#include <string>

class StdExceptionBase : public std::exception
{
public:
    StdExceptionBase() noexcept;
    StdExceptionBase(const StdExceptionBase& other) noexcept;
    explicit StdExceptionBase(const char* text) noexcept;
    explicit StdExceptionBase(const std::string& text) noexcept;
    explicit StdExceptionBase(const QString& text) noexcept; // stored as UTF-8
    ~StdExceptionBase() override;

    StdExceptionBase& operator=(const StdExceptionBase& other) noexcept;

    void setText(const char* text) noexcept;
    void setText(const std::string& text) noexcept;
    void setText(const QString& text) noexcept;
    void appendText(const char* text) noexcept;
    void appendText(const std::string& text) noexcept;
    void appendText(const QString& text) noexcept;

    const char* what() const noexcept override;
    const char* text() const noexcept;

private:
    std::string text_;
};
