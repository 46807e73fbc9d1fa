#include "conversion/split.h"

#include <boost/tokenizer.hpp>

namespace Tools {

std::vector<std::string> split(const std::string& text, const char* separators)
{
    using Separator = boost::char_separator<char>;
    const Separator separator(separators != nullptr ? separators : "", "", boost::keep_empty_tokens);
    const boost::tokenizer<Separator> tokens(text, separator);
    std::vector<std::string> fields(tokens.begin(), tokens.end());
    // The tokenizer yields nothing for an empty text; that is one empty field.
    if (fields.empty())
        fields.emplace_back();
    return fields;
}

} // namespace Tools
