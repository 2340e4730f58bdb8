#include "ui/history_view.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>

#include "app/core/messages.h"
#include "app/notify/address_history.h"

namespace zelmar {

AddressHistoryView::AddressHistoryView(std::string historyFile, QWidget* parent)
    : QWidget(parent), file_(std::move(historyFile)) {
    sinceLastChange = new QLabel;
    list = new QTreeWidget;
    list->setAccessibleName("Address history");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"Changed", "WAN", "LAN", "WAN IPv6", "LAN IPv6"});
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel("&Address history:");
    title->setBuddy(list);
    box->addWidget(title);
    box->addWidget(list, 1);
    box->addWidget(sinceLastChange);
}

void AddressHistoryView::Reload() {
    AddressHistory history(file_);
    std::string error;
    history.Load(error);  // an unreadable file shows as no history; the refresh reports it
    const std::vector<AddressChange> entries = history.Entries();
    list->clear();
    for (const HistoryRow& r : HistoryRows(entries))
        list->addTopLevelItem(new QTreeWidgetItem(
            QStringList{QString::fromStdString(r.time), QString::fromStdString(r.wan), QString::fromStdString(r.lan),
                        QString::fromStdString(r.wan6), QString::fromStdString(r.lan6)}));
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::string since = TimeSinceLastChange(entries, now);
    sinceLastChange->setText(
        QString::fromStdString(since.empty() ? Text<Msg::NoChangeRecorded>() : Text<Msg::LastChangeAgo>(since)));
}

}  // namespace zelmar
