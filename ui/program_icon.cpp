#include "ui/program_icon.h"

#include <QString>

// The pictures are compiled into the library; a static library's resources
// are registered by name, once.
static void InitialiseUiResources() { Q_INIT_RESOURCE(zelmar_ui); }

namespace zelmar {

QIcon ProgramIcon(bool online, bool symbolic) {
    static const bool resources = (InitialiseUiResources(), true);
    (void)resources;
    // Prepared sizes, so that no size is drawn by scaling another one at run
    // time and the 200 % desktop gets pictures of its own. (The 256-pixel
    // rendering is for the desktop's icon theme only.)
    QIcon icon;
    if (symbolic) {
        // The panel's picture: one light shade with a dark rim, for dark
        // and light panels alike.
        const QString name = online ? "zelmar-symbolic" : "zelmar-offline-symbolic";
        for (int size : {16, 22, 24, 32, 48})
            icon.addFile(QString(":/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
        return icon;
    }
    const QString name = online ? "zelmar-online" : "zelmar-offline";
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        icon.addFile(QString(":/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    return icon;
}

}  // namespace zelmar
