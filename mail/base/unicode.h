// UTF-8 <-> UTF-16 conversion shared by the text type and the charset code.
#pragma once

#include <string>
#include <string_view>

namespace zelmar::mail {

// Strict conversions: false on malformed input (overlong forms, surrogates
// encoded in UTF-8, unpaired surrogates in UTF-16); the output then holds
// the text up to the fault with U+FFFD for each bad sequence.
bool utf8ToUtf16(std::string_view in, std::u16string& out);
bool utf16ToUtf8(std::u16string_view in, std::string& out);

}  // namespace zelmar::mail
