#pragma once
// The message of the std::runtime_error that a piece of code throws.
#include <functional>
#include <stdexcept>
#include <string>

namespace TestSupport {

// what() of the std::runtime_error f throws, or "no exception" when it throws none.
inline std::string whatOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

} // namespace TestSupport
