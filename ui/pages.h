// The six pages of the main window. Each page shows its model (page_models.h)
// and passes the user's edits to it; Load copies the in-memory settings into
// the controls (every time the page becomes active), Collect takes the text
// fields as if they had lost the focus (before a save).
#pragma once

#include <QLineEdit>
#include <QSpinBox>
#include <QWidget>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/settings.h"
#include "ui/page_models.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeWidget;

namespace zelmar {

class AddressHistoryView;
class Core;
class WindowListWatcher;

// A number field: a spin box with the field's range and its unit as the
// suffix. A value typed outside the range is not put right behind the
// user's back (a plain spin box would quietly bring its last value back):
// the field keeps the text, says it is finished, and the page refuses it at
// the field. A stored value outside the range is shown as it is (the range
// reaches out just far enough to hold it) and left alone until the user
// changes the field.
class NumberField : public QSpinBox {
    Q_OBJECT
public:
    NumberField(int minimum, int maximum, const QString& unit = QString(), QWidget* parent = nullptr);
    // The range the user may choose from.
    void SetAllowedRange(int minimum, int maximum);
    int allowedMinimum() const { return low_; }
    int allowedMaximum() const { return high_; }
    // Shows a stored value as it is; the field is untouched again.
    void Show(long stored);
    // A stored text: digits as their number, anything else as an empty
    // field (the setting itself is kept until the user types a number).
    void ShowText(const std::string& stored);
    // Whether the text as it stands is a number within the allowed range.
    bool HoldsAllowedValue() const;
    // Whether the user changed the field since it was last shown.
    bool touched() const { return touched_; }
    // The text last shown or last taken: what a refused edit leaves standing.
    QString keptText() const { return kept_; }
    void Keep() { kept_ = cleanText(); }
    QLineEdit* editor() const { return lineEdit(); }

signals:
    void edited();    // every change by the user (typing or a step)
    void finished();  // Return, a step, or the focus left the field

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void stepBy(int steps) override;
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The number the text shows, if it shows one.
    bool ShownNumber(long& number) const;
    // A changed text the spin box would replace with its last value.
    bool Refused() const { return touched_ && !HoldsAllowedValue(); }
    // Beyond any limit a field has: more digits than this are not taken.
    static constexpr int kMaxTypedDigits = 12;
    int low_, high_;
    bool touched_ = false;
    QString kept_;
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
    // A save clears the mark, except while a refused value still stands in
    // a field: that value was not saved.
    void ClearModified() {
        if (model() && !refusedField_) model()->SetModified(false);
    }
    // Whether a field holds an edit the settings do not have yet: typed and
    // not yet taken (the focus is still in it), or refused.
    bool unsettled() const { return editPending_ || refusedField_ != nullptr; }

signals:
    void modifiedChanged();
    // A message for the window's message line (empty: the page's own
    // message is done with).
    void messageRequested(const QString& text);

protected:
    // A field's value was refused: the field keeps the text and the focus,
    // is marked, and the message line says why. Accepted again: unmarked.
    void MarkField(QWidget* field, bool refused);
    // Lets the page's model say refused values on the message line.
    void ShowProblemsInline(PageModel& model);
    QWidget* refusedField_ = nullptr;
    bool editPending_ = false;
    void showEvent(QShowEvent* event) override;
    bool loaded_ = false;
    void Changed() {
        if (model()) model()->SetModified();
        emit modifiedChanged();
    }
    // A text field: any edit marks the page modified; losing the focus shows
    // and passes on the trimmed text.
    void BindText(QLineEdit* edit, std::function<void(const std::string&)> commit);
    // A number field: an edit marks the page modified (or runs onEdit);
    // finished, a changed value outside the field's range is refused at the
    // field with rangeText (the field's own range said when null), one
    // within it goes to commit, which may refuse it too (having said why).
    void BindNumber(NumberField* field, const char* rangeText, std::function<bool(const std::string&)> commit,
                    std::function<void()> onEdit = nullptr);

    Core& core_;
    bool loading_ = false;
    bool checking_ = false;
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
    QLineEdit* fields[7];  // the text fields, in FtpField order
    NumberField* port;
    QLabel* labels[8];     // in FtpField order
    // Where the page is read back from after an upload (empty: not read).
    QLineEdit* pageUrl;
    QLabel* pageUrlLabel;
    QPushButton* onlineBrowse;
    QPushButton* offlineBrowse;
    // "PageProtocol" and "FTPSecurity".
    QComboBox* protocol;
    QComboBox* security;

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
    NumberField* startupDelay;
    NumberField* refreshInterval;
    NumberField* timeout;
    NumberField* maxLog;
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
    QLineEdit* wanSource;
    QLineEdit* wanSource6;
    QLineEdit* startDelimiter;
    QLineEdit* endDelimiter;

signals:
    void viewLogRequested();

private:
    void UpdateEnabling();
    std::vector<std::pair<QLineEdit*, std::string Settings::*>> WanFields();
    std::vector<std::pair<NumberField*, int Settings::*>> Numbers();
    OptionsPageModel model_;
};

// "Status"
class CRemotePage : public SettingsPage {
    Q_OBJECT
public:
    CRemotePage(Core& core, QWidget* parent = nullptr);
    void Load() override;
    bool shown() const { return shown_; }

    QPlainTextEdit* hostMessages;
    QLabel* lanAddress;
    QLabel* wanAddress;
    // Rows shown only while an IPv6 address is known.
    QLabel* lan6Address;
    QLabel* wan6Address;
    QLabel* lastRefreshed;
    QLabel* nextRefresh;
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
    NumberField* httpPort;
    NumberField* ftpPort;
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
    NumberField* port;
    QCheckBox* attachment;
    QCheckBox* smtpAuth;
    QPushButton* authSettings;
    QCheckBox* secureSmtp;
    QPushButton* acceptCertificate;

private:
    void UpdateEnabling();
    EmailPageModel model_;
};

}  // namespace zelmar
