#pragma once
#include <string>
#include <vector>

namespace Tools {

// Cuts the text at every occurrence of any of the separator characters.
// Separators are dropped and empty fields kept, so n separators always give
// n + 1 fields (an empty text gives one empty field).
std::vector<std::string> split(const std::string& text, const char* separators);

} // namespace Tools
