#include "ui/log_viewer.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

#include "app/core/messages.h"

namespace zelmar {

QString OpenFailureText(const QString& pathOrAddress) {
    return QString::fromStdString(Text<Msg::NothingOpens>(pathOrAddress.toStdString()));
}

CLogViewer::CLogViewer(QWidget* parent) : QDialog(parent), watcher_(new QFileSystemWatcher(this)) {
    setWindowTitle("Zelmar Log");
    setAttribute(Qt::WA_DeleteOnClose);
    text = new QPlainTextEdit;
    text->setReadOnly(true);
    text->setAccessibleName("Log");
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // A log of many days stays cheap: older lines beyond this drop off.
    text->setMaximumBlockCount(20000);
    pathLabel = new QLabel;
    pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    openFolder = new QPushButton("Open &Folder");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->addButton(openFolder, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    connect(openFolder, &QPushButton::clicked, this, [this] {
        const QString folder = QFileInfo(path_).absolutePath();
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
            QMessageBox::warning(this, "Zelmar Log", OpenFailureText(folder));
    });
    // The file's own change notices (inotify), not a timer: no wake-ups
    // while nothing is written.
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &CLogViewer::Reload);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        WatchFile();
        Reload();
    });
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(pathLabel);
    outer->addWidget(text, 1);
    outer->addWidget(buttons);
    resize(fontMetrics().averageCharWidth() * 100, fontMetrics().lineSpacing() * 30);
}

void CLogViewer::Open(const QString& path) {
    if (!watcher_->files().isEmpty()) watcher_->removePaths(watcher_->files());
    if (!watcher_->directories().isEmpty()) watcher_->removePaths(watcher_->directories());
    path_ = path;
    readUpTo_ = 0;
    text->clear();
    pathLabel->setText(path);
    // The folder too: a log that is made or replaced later is picked up.
    const QString folder = QFileInfo(path).absolutePath();
    if (QFileInfo(folder).isDir()) watcher_->addPath(folder);
    WatchFile();
    Reload();
}

void CLogViewer::WatchFile() {
    if (!path_.isEmpty() && QFileInfo::exists(path_) && !watcher_->files().contains(path_)) watcher_->addPath(path_);
}

void CLogViewer::Reload() {
    QFile file(path_);
    if (path_.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        text->setPlainText(QString::fromStdString(path_.isEmpty() ? Text<Msg::LogNotNamed>()
                                                                  : Text<Msg::NoLogYet>(path_.toStdString())));
        readUpTo_ = 0;
        return;
    }
    if (file.size() < readUpTo_ || readUpTo_ == 0) {  // replaced, cut, or a first read
        text->clear();
        readUpTo_ = 0;
    }
    file.seek(readUpTo_);
    const QByteArray added = file.readAll();
    readUpTo_ += added.size();
    if (added.isEmpty()) return;
    QScrollBar* bar = text->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    QString chunk = QString::fromLocal8Bit(added);
    if (chunk.endsWith('\n')) chunk.chop(1);
    chunk.remove('\r');
    text->appendPlainText(chunk);
    // The newest line stays in sight unless the user scrolled up to read.
    if (atBottom) bar->setValue(bar->maximum());
    // Lines are read from their start (the time stamp), not their end.
    text->horizontalScrollBar()->setValue(0);
}

}  // namespace zelmar
