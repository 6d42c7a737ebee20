// Validity of a frame that is forwarded untouched, checked without building a document.
#pragma once

#include <string_view>

namespace murva {

// True exactly when the JSON library's parse (no comments) would accept `text`.
bool isValidJson(std::string_view text);

} // namespace murva
