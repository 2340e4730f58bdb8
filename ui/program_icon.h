// The program's picture in its two states, at every size it is drawn in.
#pragma once

#include <QIcon>

namespace zelmar {

// online: the "online" picture (window, About box); otherwise the "offline"
// one. symbolic: the monochrome variant the tray shows (the offline one
// until the first successful publication).
QIcon ProgramIcon(bool online, bool symbolic = false);

}  // namespace zelmar
