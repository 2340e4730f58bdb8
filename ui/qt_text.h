// The program's texts are UTF-8 std::strings; the window's are QStrings.
#pragma once

#include <QString>
#include <string>

namespace zelmar {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace zelmar
