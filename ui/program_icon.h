// The program's picture in its two states, at every size it is drawn in.
#pragma once

#include <QIcon>

namespace zelmar {

// online: the "online" picture (tray, window, About box); otherwise the
// "offline" one the tray shows until the first successful publication.
QIcon ProgramIcon(bool online);

}  // namespace zelmar
