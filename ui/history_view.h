// The address history on the Status page: the changes newest first and the
// time since the last one. It reads the history file itself whenever it is
// shown or the page is refreshed while visible, so it needs nothing from the
// refresh but the file the history keeps beside the settings.
#pragma once

#include <QWidget>

#include <string>

class QLabel;
class QTreeWidget;

namespace zelmar {

class AddressHistoryView : public QWidget {
    Q_OBJECT
public:
    explicit AddressHistoryView(std::string historyFile, QWidget* parent = nullptr);
    void Reload();

    QLabel* sinceLastChange;
    QTreeWidget* list;

private:
    std::string file_;
};

}  // namespace zelmar
