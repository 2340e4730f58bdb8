// The log viewer: the log file read-only, newest line at the bottom,
// following the file as the program writes it, with a button that opens its
// folder. Works on a machine without any desktop helper for text files.
#pragma once

#include <QDialog>
#include <QString>

class QFileSystemWatcher;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace zelmar {

// What the window says when the desktop has nothing to open a file, folder
// or address with: the path, so that the user can open it by hand.
QString OpenFailureText(const QString& pathOrAddress);

class CLogViewer : public QDialog {
    Q_OBJECT
public:
    explicit CLogViewer(QWidget* parent = nullptr);
    // Shows the file (again from its start); a missing file is said so and
    // shown once it appears.
    void Open(const QString& path);
    // Reads what was added since the last read (or all of it after the file
    // was replaced or cut).
    void Reload();

    QPlainTextEdit* text;
    QLabel* pathLabel;
    QPushButton* openFolder;

private:
    void WatchFile();
    QString path_;
    qint64 readUpTo_ = 0;
    QFileSystemWatcher* watcher_;
};

}  // namespace zelmar
