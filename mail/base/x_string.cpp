#include "mail/base/x_string.h"

#include "mail/base/string_buffer.h"
#include "mail/base/unicode.h"

namespace zelmar::mail {

int systemAnsiCodePage() { return 65001; }
int systemOemCodePage() { return 65001; }

void XString::setFromUtf16(std::u16string_view s) { utf16ToUtf8(s, utf8_); }

std::u16string XString::getUtf16() const {
    std::u16string out;
    utf8ToUtf16(utf8_, out);
    return out;
}

bool XString::is7Bit() const { return isAll7Bit(utf8_); }

}  // namespace zelmar::mail
