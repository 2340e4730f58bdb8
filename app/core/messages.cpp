#include "app/core/messages.h"

namespace zelmar {

namespace {
// The table is indexed by its names: a row out of place is a build error.
constexpr bool InOrder() {
    for (int i = 0; i < static_cast<int>(std::size(kMessages)); ++i)
        if (static_cast<int>(kMessages[i].id) != i) return false;
    return true;
}
static_assert(InOrder(), "kMessages must list the messages in the order of Msg");
}  // namespace

StatusMessage Message(Msg id, std::initializer_list<std::string_view> values) {
    const MessageEntry& entry = MessageOf(id);
    const std::string_view text = entry.text;
    std::string out;
    auto value = values.begin();
    std::size_t pos = 0;
    for (std::size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", pos)) {
        out.append(text.substr(pos, at - pos));
        if (value != values.end()) out.append(*value++);
        pos = at + 2;
    }
    out.append(text.substr(pos));
    return StatusMessage::Program(entry.code, std::move(out));
}

}  // namespace zelmar
