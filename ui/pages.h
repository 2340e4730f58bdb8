// The six pages of the main window. Each page shows its model (page_models.h)
// and passes the user's edits to it; Load copies the in-memory settings into
// the controls (every time the page becomes active), Collect takes the text
// fields as if they had lost the focus (before a save).
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/settings.h"
#include "ui/page_models.h"

class QCheckBox;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;
class QTreeWidget;

namespace zelmar {

class AddressHistoryView;
class Core;
class WindowListWatcher;

// A number field with its spin buttons (an edit with an up-down buddy):
// digits only, a length limit, Up/Down keys and the arrows step within the
// range; the text itself may be anything the digits allow, so that the page
// can check it when the field loses the focus.
class SpinField : public QWidget {
    Q_OBJECT
public:
    SpinField(int maxChars, int minimum, int maximum, QWidget* parent = nullptr);
    void SetRange(int minimum, int maximum);
    // The unit shown after the field ("seconds").
    void SetSuffix(const QString& unit);
    int minimum() const { return min_; }
    int maximum() const { return max_; }
    QLineEdit* edit() const { return edit_; }
    QString text() const { return edit_->text(); }
    // Shows text whole: the length limit holds back typing only, so a longer
    // stored value is not cut (and then saved cut) by being shown.
    void setText(const QString& text);
    void Step(int delta);

signals:
    void edited();    // every change by the user (typing or a step)
    void finished();  // the field lost the focus (or Return)

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* edit_;
    QToolButton* up_;
    QToolButton* down_;
    int maxChars_;
    int min_, max_;
};

class SettingsPage : public QWidget {
    Q_OBJECT
public:
    SettingsPage(Core& core, QWidget* parent = nullptr) : QWidget(parent), core_(core) {}
    virtual void Load() = 0;
    virtual void Collect() {}
    virtual PageModel* model() { return nullptr; }
    bool modified() { return model() && model()->modified(); }
    // Whether the page has been shown, and so loaded, at least once: only
    // then do its fields hold anything to collect.
    bool loaded() const { return loaded_; }
    void ClearModified() {
        if (model()) model()->SetModified(false);
    }

signals:
    void modifiedChanged();
    // A message for the window's message line (empty: the page's own
    // message is done with).
    void messageRequested(const QString& text);

protected:
    // A field's value was refused: the field keeps the text and the focus,
    // is marked, and the message line says why. Accepted again: unmarked.
    void MarkField(QLineEdit* edit, bool refused);
    // Lets the page's model say refused values on the message line.
    void ShowProblemsInline(PageModel& model);
    QLineEdit* refusedField_ = nullptr;
    void showEvent(QShowEvent* event) override;
    bool loaded_ = false;
    void Changed() {
        if (model()) model()->SetModified();
        emit modifiedChanged();
    }
    // A text field: any edit marks the page modified; losing the focus shows
    // and passes on the trimmed text.
    void BindText(QLineEdit* edit, std::function<void(const std::string&)> commit);

    Core& core_;
    bool loading_ = false;
};

// "FTP"
class CLocalSettings : public SettingsPage {
    Q_OBJECT
public:
    CLocalSettings(Core& core, QWidget* parent = nullptr);
    void Load() override;
    void Collect() override;
    PageModel* model() override { return &model_; }

    QCheckBox* enableFtp;
    QCheckBox* ftpOnIpChange;
    QLineEdit* fields[8];  // in FtpField order
    QLabel* labels[8];
    QPushButton* onlineBrowse;
    QPushButton* offlineBrowse;

private:
    void UpdateEnabling();
    void Browse(FtpField field);
    FtpPageModel model_;
};

// "Advanced Options"
class COptionsPage : public SettingsPage {
    Q_OBJECT
public:
    COptionsPage(Core& core, QWidget* parent = nullptr);
    void Load() override;
    void Collect() override;
    PageModel* model() override { return &model_; }

    QCheckBox* updateOnStart;
    QCheckBox* updateOnShut;
    QCheckBox* minOnStartup;
    QCheckBox* notifyErrorOnShut;
    QCheckBox* suppressError;
    QCheckBox* updateOnNaIp;
    QCheckBox* enableLogging;
    QCheckBox* startAtLogin;
    SpinField* startupDelay;
    SpinField* refreshInterval;
    SpinField* timeout;
    SpinField* maxLog;
    QLabel* maxLogLabel;
    QLabel* logFileLabel;
    QLineEdit* logFile;
    QPushButton* logBrowse;
    QPushButton* viewLog;
    QCheckBox* refreshOnNetworkChange;
    // The WAN lookup: the echo pages and the delimiters of the first.
    QLineEdit* wanUrl;
    QLineEdit* wanUrl6;
    QLineEdit* wanCheckUrls;
    QLineEdit* startDelimiter;
    QLineEdit* endDelimiter;

signals:
    void viewLogRequested();

private:
    void UpdateEnabling();
    void CheckRefreshInterval();
    std::vector<std::pair<QLineEdit*, std::string Settings::*>> WanFields();
    OptionsPageModel model_;
    bool checking_ = false;
};

// "Status"
class CRemotePage : public SettingsPage {
    Q_OBJECT
public:
    CRemotePage(Core& core, QWidget* parent = nullptr);
    void Load() override;
    bool shown() const { return shown_; }

    QPlainTextEdit* hostMessages;
    QLineEdit* lanAddress;
    QLineEdit* wanAddress;
    // Rows shown only while an IPv6 address is known.
    QLineEdit* lan6Address;
    QLineEdit* wan6Address;
    QLineEdit* lastRefreshed;
    QLineEdit* nextRefresh;
    AddressHistoryView* history;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QFormLayout* form_;
    bool shown_ = false;
};

// "Program Monitor"
class CProcessMonitor : public SettingsPage {
    Q_OBJECT
public:
    CProcessMonitor(Core& core, QWidget* parent = nullptr);
    void Load() override;
    PageModel* model() override { return &model_; }
    // Deletes the rows and fills the list again (after a check).
    void FillList();
    bool shownOnce() const { return shownOnce_; }

    QCheckBox* trigger;
    QTreeWidget* list;
    QPushButton* addRemove;
    WindowListWatcher* windowWatcher() const { return windows_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void UpdateStatuses();
    void OpenAddRemove();
    PageModel model_;
    WindowListWatcher* windows_;
    bool shownOnce_ = false;
};

// "Proxy/Firewall"
class CProxyPage : public SettingsPage {
    Q_OBJECT
public:
    CProxyPage(Core& core, QWidget* parent = nullptr);
    void Load() override;
    void Collect() override;
    PageModel* model() override { return &model_; }

    QCheckBox* useProxy;
    QLineEdit* host;
    QLineEdit* httpPort;
    QLineEdit* ftpPort;
    QLineEdit* user;
    QLineEdit* account;
    QLineEdit* password;
    QRadioButton* logonTypes[9];
    QCheckBox* passive;
    QLabel* hostLabel;
    QLabel* httpPortLabel;
    QLabel* ftpPortLabel;
    QLabel* userLabel;
    QLabel* accountLabel;
    QLabel* passwordLabel;
    QWidget* logonGroup;

private:
    void UpdateEnabling();
    ProxyPageModel model_;
};

// "E-Mail Options"
class CEmailPage : public SettingsPage {
    Q_OBJECT
public:
    CEmailPage(Core& core, QWidget* parent = nullptr);
    void Load() override;
    void Collect() override;
    PageModel* model() override { return &model_; }

    QCheckBox* enableMail;
    QCheckBox* mailOnIpChange;
    QLineEdit* server;
    QLineEdit* from;
    QRadioButton* toButton;
    QRadioButton* bccButton;
    QLineEdit* recipients;
    QLineEdit* subject;
    QLineEdit* messageFile;
    QPushButton* messageBrowse;
    QLineEdit* port;
    QCheckBox* attachment;
    QCheckBox* smtpAuth;
    QPushButton* authSettings;
    QCheckBox* secureSmtp;
    QPushButton* acceptCertificate;

private:
    void UpdateEnabling();
    void CommitPort();
    EmailPageModel model_;
    bool checking_ = false;
};

}  // namespace zelmar
