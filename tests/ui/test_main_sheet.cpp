// The main window on Qt's offscreen platform: its frame (title, menus, tabs,
// buttons), the "&Save" button following the pages' marks, the pages'
// enabling rules and warnings worked through their widgets, the Status page
// following the status lines, and minimising without a system tray.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QProxyStyle>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTest>
#include <QDesktopServices>
#include <QTextBrowser>
#include <QUrl>
#include <QImage>
#include <cstdlib>
#include <QMessageBox>
#include <QRegularExpression>
#include <QMap>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QHeaderView>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/core/core.h"
#include "app/core/text.h"
#include "app/core/version.h"
#include "app/ddns/ddns_page_model.h"
#include "app/publish/ftp_page_settings.h"
#include "app/notify/webhook_page_model.h"
#include "tests/support/peer_process.h"
#include "tests/support/scripted_https.h"
#include "ui/ddns_page.h"
#include "ui/dialogs.h"
#include "ui/main_sheet.h"
#include "ui/notifications_page.h"
#include "ui/pages.h"
#include "ui/qt_host.h"
#include "ui/window_list_watcher.h"

using namespace zelmar;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;
using zelmar::test::ReadFile;

namespace {

QStringList Texts(const QList<QAction*>& actions) {
    QStringList texts;
    for (QAction* a : actions) texts << (a->isSeparator() ? "-" : a->text());
    return texts;
}

class MainSheet : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir / "Zelmar.ini",
                  "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
                  "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nWANIPURL=http://echo/\n"
                  "[Preferences]\nTimeout=15\n");
        core = std::make_unique<Core>(host, dir.path(), dir / "Zelmar.ini", "ab1234567");
        host.scriptedBoxes = [this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            if (answers.empty()) return r.defaultAnswer;
            const MbAnswer a = answers.front();
            answers.erase(answers.begin());
            return a;
        };
        core->LoadOrCreateSettings();
        sheet = std::make_unique<CMainSheet>(*core, false);
        host.Attach(core.get(), sheet.get());
        if (showAtStart) sheet->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        host.Attach(nullptr, nullptr);
        sheet.reset();
        host.Shutdown();
    }
    template <class Page>
    Page* Show(int index) {
        sheet->ShowPage(index);
        QApplication::processEvents();
        return static_cast<Page*>(sheet->page(index));
    }

    // What a user is shown: every page of the window, as many as it has, then
    // every dialog it opens, each handed to check in turn with its name. A page
    // is shown first, so that it has made its fields.
    void ForEveryPageAndDialog(const std::function<void(QWidget&, const std::string&, bool)>& check) {
        for (int i = 0; i < sheet->tabs()->count(); ++i) {
            sheet->ShowPage(i);
            QApplication::processEvents();
            check(*sheet->tabs()->widget(i), "page " + sheet->tabs()->tabText(i).toStdString(), true);
        }
        DdnsPageModel ddns(core->ini(), core->scrambleKey());
        WebhookPageModel webhooks(core->ini(), core->scrambleKey(), core->secrets());
        const std::pair<std::string, std::function<std::unique_ptr<QDialog>()>> dialogs[] = {
            {"SMTP login", [&] { return std::make_unique<CSmtpAuthDlg>(*core, sheet.get()); }},
            {"programs", [&] { return std::make_unique<CAddRemoveProgramsDlg>(*core, sheet.get()); }},
            {"DNS entry", [&] { return std::make_unique<CDdnsEntryDlg>(ddns, DdnsEntry{}, true, sheet.get()); }},
            {"webhook", [&] { return std::make_unique<CWebhookDlg>(webhooks, WebhookConfig{}, true, sheet.get()); }},
            {"log", [&] { return std::make_unique<CLogViewer>(sheet.get()); }},
            {"about", [&] { return std::make_unique<CAboutDlg>(sheet.get()); }},
            {"shutdown", [&] { return std::make_unique<CShutdownWindow>(sheet.get()); }},
        };
        for (const auto& [name, make] : dialogs) check(*make(), name + " dialog", false);
    }

    ScratchDir dir;
    QtHost host;
    std::unique_ptr<Core> core;
    std::unique_ptr<CMainSheet> sheet;
    std::vector<MessageBoxRequest> boxes;
    std::vector<MbAnswer> answers;
    bool showAtStart = true;
};

TEST_F(MainSheet, FrameHasThePartsTitlesInOrder) {
    EXPECT_EQ(sheet->windowTitle(), "Zelmar[*]") << "shown as Zelmar, with a mark while changes are unsaved";
    QStringList tabs;
    for (int i = 0; i < sheet->tabs()->count(); ++i) tabs << sheet->tabs()->tabText(i);
    EXPECT_EQ(tabs, (QStringList{"FTP", "Advanced Options", "Status", "Program Monitor", "Proxy/Firewall",
                                 "E-Mail Options", "Dynamic DNS", "Notifications"}));
    EXPECT_EQ(sheet->refreshButton()->text(), "&Refresh");
    EXPECT_EQ(sheet->saveButton()->text(), "&Save");
    EXPECT_EQ(sheet->exitButton()->text(), "E&xit");

    const QList<QAction*> menus = sheet->menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    const std::pair<QString, QStringList> expected[] = {
        {"&File", {"&Refresh", "&Save", "-", "View &Log", "-", "&Quit"}},
        {"&Edit", {"Copy &WAN Address", "Copy &LAN Address"}},
        {"&Help", {"&Zelmar Help", "&About", "-", "https://www.zelmar.example/"}},
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(menus[i]->text(), expected[i].first);
        EXPECT_EQ(Texts(menus[i]->menu()->actions()), expected[i].second) << expected[i].first.toStdString();
    }
    EXPECT_EQ(Texts(sheet->trayMenu()->actions()), (QStringList{"&Open Zelmar", "&Refresh Now", "-", "Copy &WAN Address",
                                                                "Copy &LAN Address", "-", "&Quit"}));
    EXPECT_EQ(sheet->trayMenu()->defaultAction()->text(), "&Open Zelmar");
}

TEST_F(MainSheet, EveryFieldLabelIsBoundToItsField) {
    ForEveryPageAndDialog([](QWidget& shown, const std::string& name, bool) {
        // A dialog without fields (the About box) has no field labels.
        if (shown.findChildren<QLineEdit*>().isEmpty() && shown.findChildren<QAbstractSpinBox*>().isEmpty() &&
            shown.findChildren<QComboBox*>().isEmpty() && shown.findChildren<QListWidget*>().isEmpty())
            return;
        for (QLabel* label : shown.findChildren<QLabel*>()) {
            if (label->text().endsWith(':') || label->text().contains('(')) {
                EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString() << " on the " << name;
            }
        }
    });
}

// Every label with a field and every check box has a key of its own: none
// twice on a page or dialog, and none on a page taken from the menu bar (F,
// E, H) or the buttons (R, S, X), which Alt reaches from every page. The
// dialogs' labels keep their given texts, some without a key.
TEST_F(MainSheet, EveryLabelAndCheckBoxHasItsOwnKey) {
    const auto key = [](const QString& text) {
        const int at = text.indexOf(QRegularExpression("&[^&]"));
        return at < 0 ? QChar() : text.at(at + 1).toUpper();
    };
    ForEveryPageAndDialog([&](QWidget& shown, const std::string& name, bool page) {
        QMap<QChar, QString> taken;
        if (page)
            taken = {{'F', "File"}, {'E', "Edit"}, {'H', "Help"}, {'R', "Refresh"}, {'S', "Save"}, {'X', "Exit"}};
        QStringList texts;
        for (QLabel* l : shown.findChildren<QLabel*>())
            if (l->buddy()) texts << l->text();
        for (QAbstractButton* b : shown.findChildren<QAbstractButton*>()) {
            if (b->isHidden()) continue;  // a hidden button's key does nothing
            const bool needsKey = qobject_cast<QCheckBox*>(b) != nullptr;
            if (needsKey || key(b->text()) != QChar()) texts << b->text();
        }
        for (const QString& t : texts) {
            const QChar k = key(t);
            if (!page && k == QChar()) continue;
            ASSERT_NE(k, QChar()) << "no key: " << t.toStdString() << " on the " << name;
            EXPECT_FALSE(taken.contains(k)) << t.toStdString() << " and " << taken.value(k).toStdString() << " on the "
                                            << name;
            taken.insert(k, t);
        }
    });
}

// Every list and text view, on every page and in every dialog, has a name a
// screen reader can say; every dialog with "OK" has it as its default.
TEST_F(MainSheet, EveryListIsNamedAndOkIsTheDefault) {
    ForEveryPageAndDialog([](QWidget& shown, const std::string& name, bool page) {
        for (QAbstractScrollArea* view : shown.findChildren<QAbstractScrollArea*>()) {
            // A list's header is part of the list and named with it.
            if (qobject_cast<QHeaderView*>(view)) continue;
            if (!qobject_cast<QAbstractItemView*>(view) && !qobject_cast<QPlainTextEdit*>(view)) continue;
            EXPECT_FALSE(view->accessibleName().isEmpty()) << view->metaObject()->className() << " on the " << name;
        }
        if (page) return;
        for (QPushButton* b : shown.findChildren<QPushButton*>()) EXPECT_TRUE(b->text() != "OK" || b->isDefault()) << name;
    });
}

// F1 says where the help is, also when the opener shows nothing.
TEST_F(MainSheet, HelpSaysWhereTheHelpIs) {
    QTextBrowser opener;  // stands in for the desktop's opener of files
    QDesktopServices::setUrlHandler("file", &opener, "setSource");
    sheet->Help();
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_FALSE(CMainSheet::HelpFile().isEmpty());
    EXPECT_EQ(opener.source(), QUrl::fromLocalFile(CMainSheet::HelpFile()));
    EXPECT_TRUE(sheet->lastConfirmation().contains(CMainSheet::HelpFile())) << sheet->lastConfirmation().toStdString();
}

// Enter takes what was typed, also after Tab went past "&Cancel".
TEST_F(MainSheet, EnterIsOkInEveryDialogAfterTabPassedCancel) {
    DdnsPageModel model(core->ini(), core->scrambleKey());
    CDdnsEntryDlg ddns(model, DdnsEntry{}, true, sheet.get());
    CSmtpAuthDlg smtp(*core, sheet.get());
    WebhookPageModel hooks(core->ini(), core->scrambleKey(), core->secrets());
    CWebhookDlg webhook(hooks, WebhookConfig{}, true, sheet.get());
    for (QDialog* dialog : std::initializer_list<QDialog*>{&ddns, &smtp, &webhook}) {
        dialog->show();
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
        QPushButton* ok = nullptr;
        for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
            if (b->text() == "OK") ok = b;
            if (b->text() == "&Cancel") {
                b->setFocus(Qt::TabFocusReason);
                QApplication::processEvents();
            }
        }
        dialog->findChild<QLineEdit*>()->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        ASSERT_NE(ok, nullptr);
        EXPECT_TRUE(ok->isDefault()) << dialog->windowTitle().toStdString();
        dialog->hide();
    }
}

// The first show of a window whose settings nothing was entered in says
// where they live and what to set first, once; closing the note hides it.
TEST_F(MainSheet, FirstRunMessageSaysWhereTheSettingsLive) {
    EXPECT_TRUE(sheet->message().isEmpty()) << "this window's site is set";
    core->EditSettings([](Settings& s) { FtpPageOf(s).ftpPage.FTPServer = kPlaceholderFtpServer; });
    sheet = std::make_unique<CMainSheet>(*core, false);
    host.Attach(core.get(), sheet.get());
    sheet->show();
    QApplication::processEvents();
    EXPECT_TRUE(sheet->message().contains(QString::fromStdString(dir / "Zelmar.ini"))) << sheet->message().toStdString();
    // What the refresh then says is no "online" while the address is unknown.
    core->ShowAddresses({{}, "10.0.0.2", {}, {}});
    host.StatusLine(OnlineNotice(), "System Online:   LAN IP: 10.0.0.2, WAN IP: N/A");
    EXPECT_TRUE(sheet->statusLine().startsWith("Not set up yet")) << sheet->statusLine().toStdString();
    sheet->ShowMessage(QString());
    sheet->hide();
    sheet->ReleaseContent();
    sheet->show();
    QApplication::processEvents();
    EXPECT_TRUE(sheet->message().isEmpty()) << "shown once per run";
}

// A value set back to what was saved leaves nothing to save: the mark and
// "&Save" go (a field is judged when it is left), and after a save the
// saved values are the measure.
TEST_F(MainSheet, UnsavedMarkGoesWhenValuesAreSetBack) {
    auto* ftp = Show<CLocalSettings>(kFtpPage);
    ftp->enableFtp->click();
    ASSERT_TRUE(sheet->isWindowModified());
    ftp->enableFtp->click();
    EXPECT_FALSE(sheet->saveButton()->isEnabled()) << "a check box clicked back";

    QLineEdit* site = ftp->fields[static_cast<int>(FtpField::SiteName)];
    site->setFocus();
    const std::pair<const char*, bool> edits[] = {{"x", true}, {"\b", false}, {"y", true}};
    for (const auto& [typed, modified] : edits) {
        QTest::keyClicks(site, typed);
        EXPECT_TRUE(sheet->isWindowModified()) << "while typing: " << typed;
        QTest::keyClick(site, Qt::Key_Return);
        EXPECT_EQ(sheet->isWindowModified(), modified) << typed;
    }
    sheet->saveButton()->click();
    QTest::keyClick(site, Qt::Key_Backspace);
    QTest::keyClick(site, Qt::Key_Return);
    EXPECT_TRUE(sheet->isWindowModified()) << "\"s\" differs from the saved \"sy\"";
}

// "Se&nd Test" trusts the CA file a webhook names relative to the settings
// folder, as the refresh does, whatever folder the window runs in.
TEST_F(MainSheet, WebhookTestFindsARelativeCaFileInTheSettingsFolder) {
    test::TestCa ca;
    ASSERT_TRUE(ca.ok);
    test::ScriptedHttps peer(ca);
    ASSERT_TRUE(peer.up());
    peer.Script(R"([{"status": 200, "body": "ok"}])");
    WriteFile(dir / "private-ca.pem", ReadFile(ca.pem()));
    core->ini().WriteString("Webhook t", "URL", peer.url("/hook"));
    core->ini().WriteString("Webhook t", "Method", "GET");
    core->ini().WriteString("Webhook t", "CAFile", "private-ca.pem");
    CNotificationsPage page(*core);
    page.Reload();
    ASSERT_EQ(page.webhooks->topLevelItemCount(), 1);
    page.webhooks->setCurrentItem(page.webhooks->topLevelItem(0));
    page.sendTest->click();
    for (int i = 0; i < 1500 && page.testOutcome->text().startsWith("Sending"); ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(page.testOutcome->text().startsWith("Delivered: HTTP 200")) << page.testOutcome->text().toStdString();
}

TEST_F(MainSheet, SaveIsEnabledOnlyWhileAPageIsModified) {
    auto* ftp = Show<CLocalSettings>(kFtpPage);
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    EXPECT_FALSE(sheet->isWindowModified());
    ftp->enableFtp->click();
    EXPECT_TRUE(sheet->saveButton()->isEnabled());
    EXPECT_TRUE(sheet->isWindowModified()) << "the title's mark";
    ftp->fields[static_cast<int>(FtpField::SiteName)]->setFocus();
    QTest::keyClicks(ftp->fields[static_cast<int>(FtpField::SiteName)], "x");
    sheet->saveButton()->click();
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    EXPECT_FALSE(sheet->isWindowModified());
    EXPECT_EQ(core->ini().GetString(kLocalSettings, "EnableFTP"), "1");
    EXPECT_EQ(core->ini().GetString(kLocalSettings, "SiteName"), "sx") << "the field in edit is collected";

    // A change on another page enables it again.
    auto* proxy = Show<CProxyPage>(kProxyPage);
    answers = {MbAnswer::Yes};
    proxy->useProxy->click();
    EXPECT_TRUE(sheet->saveButton()->isEnabled());
}

TEST_F(MainSheet, FtpFieldsFollowEnableFtp) {
    auto* ftp = Show<CLocalSettings>(kFtpPage);
    for (bool on : {true, false}) {
        ftp->enableFtp->click();
        ASSERT_EQ(ftp->enableFtp->isChecked(), on);
        EXPECT_TRUE(ftp->fields[0]->isEnabled()) << "Site Name: stays enabled";
        for (int i = 1; i < 7; ++i) EXPECT_EQ(ftp->fields[i]->isEnabled(), on) << i;
        EXPECT_EQ(ftp->port->isEnabled(), on);
        EXPECT_EQ(ftp->onlineBrowse->isEnabled(), on);
        EXPECT_EQ(ftp->ftpOnIpChange->isEnabled(), on);
    }
    EXPECT_EQ(ftp->fields[static_cast<int>(FtpField::Password)]->maxLength(), 25);
}

TEST_F(MainSheet, ProxyWarningNoKeepsTheBoxUncheckedOnReturn) {
    auto* proxy = Show<CProxyPage>(kProxyPage);
    answers = {MbAnswer::No};
    proxy->useProxy->click();
    EXPECT_FALSE(proxy->useProxy->isChecked());
    EXPECT_FALSE(proxy->host->isEnabled());
    EXPECT_FALSE(proxy->passive->isEnabled());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Important");
    Show<CLocalSettings>(kFtpPage);
    Show<CProxyPage>(kProxyPage);
    EXPECT_FALSE(proxy->useProxy->isChecked());

    answers = {MbAnswer::Yes};
    proxy->useProxy->click();
    EXPECT_TRUE(proxy->useProxy->isChecked());
    EXPECT_TRUE(proxy->host->isEnabled());
    EXPECT_FALSE(proxy->user->isEnabled()) << "logon type None";
    proxy->logonTypes[3]->click();
    EXPECT_TRUE(proxy->user->isEnabled());
    EXPECT_TRUE(proxy->ftpPort->isEnabled());
}

TEST_F(MainSheet, SecureSmtpShowsTheNewPort) {
    auto* mail = Show<CEmailPage>(kEmailPage);
    EXPECT_FALSE(mail->server->isEnabled());
    mail->enableMail->click();
    EXPECT_TRUE(boxes.empty()) << "the every-refresh warning is a note";
    QApplication::processEvents();
    EXPECT_EQ(sheet->message(), kMailWarningText);
    EXPECT_TRUE(mail->server->isEnabled());
    EXPECT_FALSE(mail->authSettings->isEnabled());
    mail->smtpAuth->click();
    EXPECT_TRUE(mail->authSettings->isEnabled());
    mail->secureSmtp->click();
    EXPECT_EQ(mail->port->cleanText(), "465");
    mail->secureSmtp->click();
    EXPECT_EQ(mail->port->cleanText(), "25");
    EXPECT_EQ(mail->port->maximum(), 65535);
}

TEST_F(MainSheet, LogControlsFollowEnableLogging) {
    auto* options = Show<COptionsPage>(kOptionsPage);
    EXPECT_FALSE(options->viewLog->isEnabled());
    EXPECT_FALSE(options->logFile->isEnabled());
    options->enableLogging->click();
    EXPECT_TRUE(options->viewLog->isEnabled());
    EXPECT_TRUE(options->maxLog->isEnabled());
    EXPECT_EQ(options->refreshInterval->minimum(), 0) << "a private echo page has no floor";
}

// The WAN lookup's pages and delimiters, file-only before, are edited here.
TEST_F(MainSheet, EchoPagesAndDelimitersAreEditedOnTheOptionsPage) {
    core->EditSettings([](Settings& s) {
        s.WANIPURL = "https://echo.example/ip?format=json";
        s.StartDelimiter = "{\"ip\":\"";
        s.EndDelimiter = "\"}";
        s.RefreshOnNetworkChange = 1;
    });
    auto* options = Show<COptionsPage>(kOptionsPage);
    EXPECT_EQ(options->wanUrl->text(), "https://echo.example/ip?format=json");
    EXPECT_EQ(options->startDelimiter->text(), "{\"ip\":\"");
    EXPECT_TRUE(options->refreshOnNetworkChange->isChecked());
    options->wanCheckUrls->setFocus();
    QTest::keyClicks(options->wanCheckUrls, " https://a.example  https://b.example ");
    QTest::keyClick(options->wanCheckUrls, Qt::Key_Return);
    EXPECT_EQ(core->settings().WANCheckURLs, "https://a.example  https://b.example");
    options->refreshOnNetworkChange->click();
    EXPECT_EQ(core->settings().RefreshOnNetworkChange, 0);
}

TEST_F(MainSheet, RefreshIntervalFloorWhileTheMaintainersServiceIsUsed) {
    core->EditSettings([](Settings& s) {
        s.MaintainerServiceFlag = 1;
        s.RefreshIntv = 60;
    });
    auto* options = Show<COptionsPage>(kOptionsPage);
    NumberField* edit = options->refreshInterval;
    EXPECT_EQ(options->refreshInterval->minimum(), 30);
    const std::pair<const char*, int> typed[] = {{"20", 60}, {"0", 60}, {"45", 45}, {"30", 30}};
    for (const auto& [text, interval] : typed) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
        EXPECT_EQ(core->settings().RefreshIntv, interval) << text;
        const bool refused = interval != LeadingInt(text);
        // Said at the field, on the window's message line, not by a box;
        // the field keeps what was typed (and the focus) to be mended.
        EXPECT_TRUE(boxes.empty()) << text;
        EXPECT_EQ(sheet->message(), refused ? QString(kIntervalRangeText) : QString()) << text;
        EXPECT_EQ(edit->cleanText(), text);
        if (refused) {
            EXPECT_TRUE(edit->hasFocus()) << text;
        }
    }
    EXPECT_TRUE(sheet->saveButton()->isEnabled());
    EXPECT_TRUE(core->IntervalEdited());
    // The arrows stay within the range.
    options->refreshInterval->stepDown();
    EXPECT_EQ(edit->cleanText(), "30");
}

// A save from the File menu (or its key) leaves the focus in the field being
// typed: the interval typed there is saved with the rest, as the button's
// save does; an interval the floor refuses is left out without a box.
TEST_F(MainSheet, SaveFromTheMenuTakesTheIntervalStillInEdit) {
    struct Case {
        int maintainer;
        const char* typed;
        const char* saved;
    };
    const Case cases[] = {{0, "45", "45"}, {0, "0", "0"}, {1, "45", "45"}, {1, "20", "60"}, {1, "30", "30"}};
    QAction* save = sheet->menuBar()->actions()[0]->menu()->actions()[1];
    ASSERT_EQ(save->text(), "&Save");
    for (const Case& c : cases) {
        Show<CLocalSettings>(kFtpPage);  // the field of the case before loses the focus
        core->EditSettings([&](Settings& s) {
            s.MaintainerServiceFlag = c.maintainer;
            s.RefreshIntv = 60;
        });
        core->ini().WriteString(kPreferences, "RefreshIntv", "60");
        auto* options = Show<COptionsPage>(kOptionsPage);
        NumberField* edit = options->refreshInterval;
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, c.typed);
        ASSERT_EQ(core->settings().RefreshIntv, 60) << c.typed << ": still in edit";
        const std::size_t boxesBefore = boxes.size();
        save->trigger();
        EXPECT_EQ(core->ini().GetString(kPreferences, "RefreshIntv"), c.saved) << c.maintainer << " " << c.typed;
        EXPECT_EQ(boxes.size(), boxesBefore) << c.typed << ": a save asks nothing about the interval";
        EXPECT_EQ(edit->cleanText(), c.typed) << "the field keeps what was typed";
    }
}

// The SMTP login dialog: its two fields in the group "Logon Information",
// the password masked, both limited to 255 characters, "OK" and "&Cancel".
TEST_F(MainSheet, SmtpLoginDialogHasItsGroupFieldsAndButtons) {
    CSmtpAuthDlg dialog(*core, sheet.get());
    EXPECT_EQ(dialog.windowTitle(), "SMTP Authentication");
    const QList<QGroupBox*> groups = dialog.findChildren<QGroupBox*>();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups[0]->title(), "Logon Information");
    const std::pair<QLineEdit*, const char*> fields[] = {{dialog.account, "&Account Name"},
                                                         {dialog.password, "&Password"}};
    for (const auto& [field, label] : fields) {
        EXPECT_TRUE(groups[0]->isAncestorOf(field)) << label;
        EXPECT_EQ(field->maxLength(), 255) << label;
        bool labelled = false;
        for (QLabel* l : groups[0]->findChildren<QLabel*>())
            labelled = labelled || (l->text() == label && l->buddy() == field);
        EXPECT_TRUE(labelled) << label;
    }
    EXPECT_EQ(dialog.password->echoMode(), QLineEdit::Password);
    QStringList buttons;
    for (QPushButton* b : dialog.findChildren<QPushButton*>()) buttons << b->text();
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"&Cancel", "OK"}));
}

// The About box says what the program is for, the version and the build's
// word size, links the web site and closes with "OK"; nothing of another
// platform's sockets is left in it.
TEST_F(MainSheet, AboutBoxSaysWhatTheProgramIsForThisPlatform) {
    CAboutDlg about(sheet.get());
    EXPECT_EQ(about.windowTitle(), "About Zelmar");
    QStringList texts;
    for (QLabel* l : about.findChildren<QLabel*>())
        if (!l->text().isEmpty()) texts << l->text();
    for (const QString& t : texts)
        EXPECT_FALSE(t.contains("Winsock") || t.contains("Domain Name Server") || t.contains("sockets"))
            << t.toStdString();
    EXPECT_TRUE(texts.contains(QString("Zelmar Version %1 (%2-bit)").arg(kProductVersion).arg(sizeof(void*) * 8)))
        << texts.join('|').toStdString();
    EXPECT_EQ(about.link->text(), kProductWebSite);
    QStringList buttons;
    for (QPushButton* b : about.findChildren<QPushButton*>()) buttons << b->text();
    EXPECT_EQ(buttons, QStringList{"OK"});
}

// The length limits of the FTP password (25) and the recipients (2048) hold
// back typing; a longer value the settings already hold is shown whole and
// survives the page's collecting and a save, while a new one typed is cut.
TEST_F(MainSheet, StoredValuesLongerThanAFieldsLimitAreKeptWhole) {
    const std::string longPassword(30, 'p');
    std::string longList;
    for (int i = 0; longList.size() < 2100; ++i) longList += "member" + std::to_string(i) + "@example.org;";
    core->EditSettings([&](Settings& s) {
        FtpPageOf(s).ftpPage.Password = longPassword;
        s.EmailTo = longList;
    });
    auto* mail = Show<CEmailPage>(kEmailPage);
    auto* ftp = Show<CLocalSettings>(kFtpPage);
    struct Case {
        QLineEdit* field;
        std::string stored;
        std::function<std::string()> setting;
        int limit;
    };
    const Case cases[] = {
        {ftp->fields[static_cast<int>(FtpField::Password)], longPassword,
         [this] { return FtpPageOf(core->settings()).ftpPage.Password; }, 25},
        {mail->recipients, longList, [this] { return core->settings().EmailTo; }, 2048},
    };
    for (const Case& c : cases) EXPECT_EQ(c.field->text().toStdString(), c.stored) << "shown whole";
    host.CollectPageEdits();
    sheet->Save();
    for (const Case& c : cases) EXPECT_EQ(c.setting(), c.stored) << "kept whole by collecting and saving";
    EXPECT_EQ(core->ini().GetString(kPreferences, "EmailTo", "", 100000), longList);

    // A new value typed over them is held to the limit.
    for (const Case& c : cases) {
        c.field->setText(QString(3000, 'n'));
        emit c.field->editingFinished();
        EXPECT_EQ(c.setting(), std::string(static_cast<std::size_t>(c.limit), 'n'));
        EXPECT_EQ(c.field->text().toStdString(), c.setting()) << "the field shows what was kept";
    }
}

// The number fields' ranges (up to 9999, 999 for the purge days) hold back
// typing; a larger number the settings hold is shown whole and saved as it
// was, not clamped to the limit.
TEST_F(MainSheet, StoredNumbersLongerThanTheirFieldsSurviveShowingAndSaving) {
    const std::pair<int Settings::*, const char*> numbers[] = {{&Settings::InitStartupDelay, "InitStartupDelay"},
                                                               {&Settings::RefreshIntv, "RefreshIntv"},
                                                               {&Settings::Timeout, "Timeout"},
                                                               {&Settings::MaxLog, "MaxLog"}};
    core->EditSettings([&](Settings& s) {
        s.MaintainerServiceFlag = 0;
        s.InitStartupDelay = 10000;
        s.RefreshIntv = 12345;
        s.Timeout = 99999;
        s.MaxLog = 1000;
    });
    const Settings before = core->settings();
    auto* options = Show<COptionsPage>(kOptionsPage);
    const std::pair<NumberField*, int Settings::*> shown[] = {{options->startupDelay, &Settings::InitStartupDelay},
                                                            {options->refreshInterval, &Settings::RefreshIntv},
                                                            {options->timeout, &Settings::Timeout},
                                                            {options->maxLog, &Settings::MaxLog}};
    for (const auto& [field, member] : shown) EXPECT_EQ(field->cleanText(), QString::number(before.*member));
    options->enableLogging->click();  // any change, so that the save has something to do
    sheet->Save();
    for (const auto& [member, key] : numbers) {
        EXPECT_EQ(core->settings().*member, before.*member) << key;
        EXPECT_EQ(core->ini().GetString(kPreferences, key), std::to_string(before.*member)) << key;
    }
}

// Every number field is a spin box over its range with its unit in the
// field. Both limits are taken; one step past either is refused at the
// field with the range said on the message line (the typed text and the
// focus stay, also when the user leaves), or, where the number would be
// longer than the largest one, held back at the field's length.
TEST_F(MainSheet, NumberFieldsTakeTheirLimitsAndRefuseOneStepPast) {
    core->EditSettings([](Settings& s) {
        FtpPageOf(s).EnableFTP = s.IsLogging = FtpPageOf(s).UseProxy = s.EnableMail = s.EmailOnIPChangeOnly = 1;
        FtpPageOf(s).LogonType = 2;
        s.WANIPURL.clear();  // the maintainer's echo service: the interval has its floor
        s.MaintainerServiceFlag = 1;
        s.RefreshIntv = 60;
    });
    auto* options = static_cast<COptionsPage*>(sheet->page(kOptionsPage));
    auto* proxy = static_cast<CProxyPage*>(sheet->page(kProxyPage));
    using Setting = std::function<long(const Settings&)>;
    const auto of = [](int Settings::*member) { return Setting([member](const Settings& s) { return s.*member; }); };
    const struct {
        int page;
        NumberField* field;
        int low, high;
        const char *unit, *message;
        Setting setting;
    } cases[] = {
        {kFtpPage, static_cast<CLocalSettings*>(sheet->page(kFtpPage))->port, 1, 65535, "", kPortRangeText,
         [](const Settings& s) { return LeadingInt(FtpPageOf(s).ftpPage.Port); }},
        {kOptionsPage, options->startupDelay, 0, 9999, " seconds", nullptr, of(&Settings::InitStartupDelay)},
        {kOptionsPage, options->refreshInterval, 30, 9999, " minutes", kIntervalRangeText, of(&Settings::RefreshIntv)},
        {kOptionsPage, options->timeout, 0, 9999, " seconds", nullptr, of(&Settings::Timeout)},
        {kOptionsPage, options->maxLog, 0, 999, " days", nullptr, of(&Settings::MaxLog)},
        {kProxyPage, proxy->httpPort, 1, 65535, "", kPortRangeText,
         [](const Settings& s) { return LeadingInt(FtpPageOf(s).HTTPProxyPort); }},
        {kProxyPage, proxy->ftpPort, 1, 65535, "", kPortRangeText,
         [](const Settings& s) { return static_cast<long>(FtpPageOf(s).FTPProxyPort); }},
        {kEmailPage, static_cast<CEmailPage*>(sheet->page(kEmailPage))->port, 1, 65535, "", kPortRangeText,
         of(&Settings::EmailServerPort)},
    };
    sheet->ShowPage(kStatusPage);  // each page below is loaded when shown
    for (const auto& c : cases) {
        sheet->ShowPage(c.page);
        NumberField* field = c.field;
        const std::string name = c.unit + std::to_string(c.high);
        EXPECT_EQ(field->minimum(), c.low) << name;
        EXPECT_EQ(field->maximum(), c.high) << name;
        EXPECT_EQ(field->suffix(), c.unit) << name;
        const auto type = [&](long number) {
            field->setFocus();
            field->selectAll();
            QTest::keyClicks(field, QString::number(number));
            QTest::keyClick(field, Qt::Key_Return);
            return c.setting(core->settings());
        };
        for (int limit : {c.low, c.high}) {
            EXPECT_EQ(type(limit), limit) << name;
            EXPECT_TRUE(sheet->message().isEmpty()) << name << " " << limit;
        }
        for (long past : {c.low - 1L, c.high + 1L}) {
            const QString typed = QString::number(past);
            if (past < 0) continue;  // no sign can be typed
            const long before = c.setting(core->settings());
            EXPECT_NE(type(past), past) << name;
            // Longer than the limit (1000 for 999): kept whole and refused,
            // never cut to a number that fits.
            sheet->refreshButton()->setFocus();
            EXPECT_EQ(field->cleanText(), typed) << name;
            EXPECT_TRUE(field->hasFocus()) << name << " " << past;
            EXPECT_EQ(sheet->message(),
                      c.message ? QString(c.message) : QString::fromStdString(NumberRangeText(c.low, c.high)));
            EXPECT_EQ(c.setting(core->settings()), before) << name << " " << past;
            core->SaveSettings();
            EXPECT_TRUE(sheet->isWindowModified()) << "the refused value was not saved: " << name;
        }
        type(c.high);  // mended: the mark and the message go
        EXPECT_TRUE(sheet->message().isEmpty()) << name;
    }
}

// Ports stored outside 1..65535 (or no number at all) are shown as they
// are, said nothing about, and saved untouched; a step brings one to the
// nearest limit, and the range is the port's again.
TEST_F(MainSheet, StoredPortsOutsideTheirRangeSurviveShowingAndSaving) {
    auto* proxy = Show<CProxyPage>(kProxyPage);
    auto* mail = Show<CEmailPage>(kEmailPage);
    const struct {
        NumberField* field;
        const char *section, *key, *stored;
        int stepped;
    } cases[] = {{static_cast<CLocalSettings*>(sheet->page(kFtpPage))->port, kLocalSettings, "Port", "70000", 65535},
                 {proxy->httpPort, kPreferences, "HTTPProxyPort", "", 1},
                 {proxy->ftpPort, kPreferences, "FTPProxyPort", "99999", 65535},
                 {mail->port, kPreferences, "EmailServerPort", "0", 1}};
    for (const auto& c : cases) core->ini().WriteString(c.section, c.key, c.stored);
    core->LoadOrCreateSettings();
    for (int page : {kProxyPage, kEmailPage, kFtpPage}) Show<QWidget>(page);  // shown again: loaded again
    for (const auto& c : cases) EXPECT_EQ(c.field->cleanText(), c.stored) << c.key;
    mail->attachment->click();  // any change, so that the save has something to do
    sheet->Save();
    EXPECT_TRUE(sheet->message().isEmpty());
    for (const auto& c : cases) {
        EXPECT_EQ(core->ini().GetString(c.section, c.key, "-"), c.stored) << c.key;
        c.stepped == 1 ? c.field->stepUp() : c.field->stepDown();
        EXPECT_EQ(c.field->value(), c.stepped) << c.key;
        EXPECT_EQ(c.field->maximum(), 65535) << c.key;
    }
}

// Labels are placed as the running style asks: no form of a page sets its
// own label alignment (a style that centres them gets centred labels), no
// label is padded with blanks or broken over lines, and groups have titles.
TEST_F(MainSheet, FormsTakeTheStylesLabelAlignment) {
    struct CentredLabels : QProxyStyle {
        int styleHint(StyleHint hint, const QStyleOption* o, const QWidget* w, QStyleHintReturn* r) const override {
            return hint == SH_FormLayoutLabelAlignment ? int(Qt::AlignHCenter) : QProxyStyle::styleHint(hint, o, w, r);
        }
    } centred;
    int forms = 0;
    for (int i = 0; i < sheet->tabs()->count(); ++i) {
        QWidget* page = sheet->tabs()->widget(i);
        for (QFormLayout* form : page->findChildren<QFormLayout*>()) {
            ++forms;
            form->parentWidget()->setStyle(&centred);
            EXPECT_EQ(form->labelAlignment(), Qt::AlignHCenter) << "page " << i;
        }
        for (QLabel* label : page->findChildren<QLabel*>())
            EXPECT_EQ(label->text(), label->text().simplified()) << "page " << i;
        for (QGroupBox* group : page->findChildren<QGroupBox*>()) EXPECT_FALSE(group->title().isEmpty()) << i;
    }
    EXPECT_GE(forms, 6);
}

// The Edit menu's and the tray's copy commands put the address text as it
// stands on the clipboard; an unknown one ("N/A" is its stand-in) empties it
// (nothing stale is left behind); each says what it did.
TEST_F(MainSheet, CopyCommandsPutTheAddressAsItStandsOnTheClipboard) {
    struct Case {
        int menuItem;  // in the Edit menu and, after the first three, in the tray menu
        const char* lan;
        const char* wan;
        const char* copied;
        const char* said;
    };
    const Case cases[] = {
        {1, "192.168.1.20", "203.0.113.7", "192.168.1.20", "LAN address 192.168.1.20 copied to the clipboard."},
        {0, "192.168.1.20", "203.0.113.7", "203.0.113.7", "WAN address 203.0.113.7 copied to the clipboard."},
        {0, "192.168.1.20", "N/A", "", "No WAN address is known yet: the clipboard was emptied."},
        {0, "192.168.1.20", "", "", "No WAN address is known yet: the clipboard was emptied."},
        {1, "", "N/A", "", "No LAN address is known yet: the clipboard was emptied."}};
    QMenu* edit = sheet->menuBar()->actions()[1]->menu();
    const QList<QAction*> tray = sheet->trayMenu()->actions();
    for (const Case& c : cases) {
        for (QAction* action : {edit->actions()[c.menuItem], tray[3 + c.menuItem]}) {
            core->ShowAddresses({c.wan, c.lan, {}, {}});
            QGuiApplication::clipboard()->setText("stale");
            action->trigger();
            EXPECT_EQ(QGuiApplication::clipboard()->text(), c.copied) << action->text().toStdString() << " " << c.wan;
            EXPECT_EQ(sheet->lastConfirmation(), c.said);
            EXPECT_EQ(sheet->statusBar()->currentMessage(), c.said) << "the shown window says it in its status line";
        }
    }
}

// The Program Monitor page follows the desktop's window-list notices, not a
// timer: while it is shown nothing of it wakes the program.
TEST_F(MainSheet, ProgramMonitorPageRunsNoTimer) {
    auto* monitor = Show<CProcessMonitor>(kMonitorPage);
    ASSERT_TRUE(monitor->isVisible());
    for (QTimer* t : sheet->findChildren<QTimer*>()) EXPECT_FALSE(t->isActive()) << t->interval();
    ASSERT_NE(monitor->windowWatcher(), nullptr);
    emit monitor->windowWatcher()->changed();  // a notice re-reads the rows
    EXPECT_EQ(monitor->list->topLevelItemCount(), 0);
}

// A failed offline publication at exit asks one question, and only when the
// user asked to be told: the error box before it is folded into its
// details and named as what failed; otherwise no box stands in the exit's
// way. The "Shutdown In Progress" window goes, and the answers read as words.
TEST_F(MainSheet, FailedExitPublicationIsOneDialog) {
    for (int notify : {1, 0}) {
        boxes.clear();
        core->EditSettings([notify](Settings& s) { s.NotifyErrorOnShut = notify; });
        host.ShowShutdownWindow(true);
        host.StatusLine(StatusMessage{}, "Connection refused");
        MessageBoxRequest error;
        error.text = "There was an error uploading the page.";
        error.buttons = MbButtons::Ok;
        host.MessageBox(error);
        EXPECT_TRUE(boxes.empty()) << "folded when a question follows, else in the log only";
        MessageBoxRequest question;
        question.text = "There was an error uploading page. Exit anyway?";
        question.buttons = MbButtons::YesNo;
        question.defaultAnswer = MbAnswer::Yes;
        if (notify) {
            const std::unique_ptr<QMessageBox> box = host.MakeBox(question, nullptr);
            QStringList buttons;
            for (QAbstractButton* b : box->buttons()) buttons << b->text();
            buttons.sort();
            EXPECT_EQ(buttons, (QStringList{"&Keep Running", "&Quit Anyway", "Show Details..."}));
            EXPECT_EQ(box->informativeText(), "There was an error uploading the page.");
            EXPECT_TRUE(box->detailedText().contains("There was an error uploading the page."));
            EXPECT_EQ(box->buttonRole(box->defaultButton()), QMessageBox::YesRole);
        }
        host.MessageBox(question);
        QWidget* shutdown = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowTitle() == "Zelmar Shutdown In Progress") shutdown = w;
        ASSERT_NE(shutdown, nullptr);
        EXPECT_FALSE(shutdown->isVisible()) << "no leftover window under the question";
    }
}

// The tray shows the monochrome picture: at panel sizes it has both a light
// fill and a dark rim, so it stands out on dark and on light panels; its
// tooltip gives the addresses and the last refresh.
TEST_F(MainSheet, TrayIconIsSymbolicAndItsTooltipTells) {
    for (bool online : {false, true}) {
        host.SetTrayOnline(online);
        for (int size : {16, 22, 24}) {
            const QImage image = sheet->trayIcon()->icon().pixmap(size, size).toImage();
            int light = 0, dark = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    if (c.alpha() < 200) continue;
                    EXPECT_LE(std::abs(c.red() - c.blue()) + std::abs(c.red() - c.green()), 6) << "monochrome";
                    if (c.lightness() > 200) ++light;
                    if (c.lightness() < 60) ++dark;
                }
            EXPECT_GE(light, size) << size;
            EXPECT_GE(dark, size) << size;
        }
    }
    EXPECT_EQ(CMainSheet::TrayToolTip(StatusPage{}),
              "Zelmar\nWAN address: not known yet\nLAN address: not known yet\nLast refresh: none yet");
    StatusPage page;
    page.addresses = {"203.0.113.7", "192.168.1.20", {}, {}};
    page.lastRefreshed = "09:00:03";
    host.StatusPageChanged(page);
    EXPECT_EQ(sheet->trayIcon()->toolTip(),
              "Zelmar\nWAN address: 203.0.113.7\nLAN address: 192.168.1.20\nLast refresh: 09:00:03");
    page.addresses.lan6 = "fd00::2";
    host.StatusPageChanged(page);
    EXPECT_EQ(sheet->trayIcon()->toolTip(), "Zelmar\nWAN address: 203.0.113.7\nLAN address: 192.168.1.20\n"
                                            "WAN IPv6: not known yet\nLAN IPv6: fd00::2\nLast refresh: 09:00:03");
}

// The IPv6 rows are there while one IPv6 address is known, and gone again
// when the next refresh finds none.
TEST_F(MainSheet, StatusPageShowsIpv6RowsWhileAnAddressIsKnown) {
    auto* status = Show<CRemotePage>(kStatusPage);
    struct Case {
        const char* lan6;
        const char* wan6;
        bool shown;
        const char* lanText;
        const char* wanText;
    };
    const Case cases[] = {{"", "", false, "", ""},
                          {"", "2001:db8::7", true, "N/A", "2001:db8::7"},
                          {"fd00::2", "2001:db8::7", true, "fd00::2", "2001:db8::7"},
                          {"", "", false, "", ""}};
    for (const Case& c : cases) {
        core->ShowAddresses({"203.0.113.7", "192.168.1.20", c.wan6, c.lan6});
        core->PostStatusMessage(OnlineNotice());
        EXPECT_EQ(status->lan6Address->isVisibleTo(status), c.shown) << c.lan6 << "|" << c.wan6;
        EXPECT_EQ(status->wan6Address->isVisibleTo(status), c.shown);
        if (c.shown) {
            EXPECT_EQ(status->lan6Address->text(), c.lanText);
            EXPECT_EQ(status->wan6Address->text(), c.wanText);
        }
    }
}

// Its values are text to select and copy, not fields that look editable,
// each named by its label and reached by its key.
TEST_F(MainSheet, StatusPageFollowsTheStatusLines) {
    auto* status = Show<CRemotePage>(kStatusPage);
    EXPECT_TRUE(host.StatusPageExists());
    core->PostStatusMessage(std::string("P10004 Attempting to connect to FTP Server..."));
    EXPECT_EQ(status->hostMessages->toPlainText(), "Attempting to connect to FTP Server...");
    EXPECT_EQ(sheet->statusLine(), "Attempting to connect to FTP Server...");
    // A menu's empty status tip leaves the status line standing.
    QStatusTipEvent tip(QString{});
    QApplication::sendEvent(sheet.get(), &tip);
    EXPECT_TRUE(sheet->statusLineVisible());
    EXPECT_EQ(sheet->statusLine(), "Attempting to connect to FTP Server...");
    core->ShowAddresses({"203.0.113.7", "192.168.1.20", {}, {}});
    core->PostStatusMessage(std::string("P10005 System Online:   "));
    EXPECT_EQ(status->lanAddress->text(), "192.168.1.20");
    QList<QWidget*> buddies;
    for (QLabel* l : status->findChildren<QLabel*>()) buddies << l->buddy();
    for (const auto& [value, name] : {std::pair{status->lanAddress, "LAN IP Address"},
                                      {status->wanAddress, "WAN IP Address"},
                                      {status->lan6Address, "LAN IPv6 Address"},
                                      {status->wan6Address, "WAN IPv6 Address"},
                                      {status->lastRefreshed, "Time last refreshed"},
                                      {status->nextRefresh, "Next refresh time"}}) {
        EXPECT_EQ(value->textInteractionFlags(), Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard) << name;
        EXPECT_EQ(value->accessibleName(), name);
        EXPECT_TRUE(buddies.contains(value)) << name;
    }
}

TEST_F(MainSheet, UiRequestsReachTheWindow) {
    host.SetRefreshEnabled(false);
    EXPECT_FALSE(sheet->refreshButton()->isEnabled());
    host.SetRefreshEnabled(true);
    EXPECT_TRUE(sheet->refreshButton()->isEnabled());
    host.ShowShutdownWindow(true);
    QWidget* shutdown = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == "Zelmar Shutdown In Progress") shutdown = w;
    ASSERT_NE(shutdown, nullptr);
    EXPECT_TRUE(shutdown->isVisible());
    host.ShowShutdownWindow(false);
    EXPECT_FALSE(shutdown->isVisible());
}

TEST_F(MainSheet, WithoutATrayMinimisingKeepsTheWindowAndSaysSoOnce) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the offscreen platform has no tray";
    sheet->showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(sheet->isHidden()) << "hiding would lose the window";
    EXPECT_EQ(sheet->statusLine(), kNoTrayText);
    sheet->StatusLine("later");
    sheet->RestoreMainWindow();
    sheet->showMinimized();
    QApplication::processEvents();
    EXPECT_EQ(sheet->statusLine(), "later") << "said once only";
}

// A window that starts in the tray makes its pages at the first show; what the
// core asked of it meanwhile is there when it appears. (The offscreen platform
// has no tray: here the window is simply not shown yet.)
class StartedInTheTray : public MainSheet {
protected:
    void SetUp() override {
        showAtStart = false;
        MainSheet::SetUp();
    }
};

TEST_F(StartedInTheTray, PagesAreMadeAtTheFirstShowWithWhatHappenedMeanwhile) {
    host.StatusLine(StatusMessage{}, "12:00:00 Refreshing...");
    host.SetRefreshEnabled(false);
    host.ShowStatusPage();
    host.CollectSettingsPages();
    host.ClearModifiedMarks();
    host.RefreshProgramMonitorPage();
    EXPECT_FALSE(host.SaveEnabled());
    EXPECT_FALSE(host.StatusPageExists());
    QApplication::processEvents();
    EXPECT_FALSE(sheet->contentMade()) << "nothing was shown yet";

    sheet->RestoreMainWindow();
    QApplication::processEvents();
    ASSERT_TRUE(sheet->contentMade());
    EXPECT_EQ(sheet->statusLine(), "12:00:00 Refreshing...");
    EXPECT_FALSE(sheet->refreshButton()->isEnabled());
    EXPECT_EQ(sheet->tabs()->currentIndex(), kStatusPage);
    EXPECT_TRUE(host.StatusPageExists());
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    EXPECT_EQ(sheet->menuBar()->actions().size(), 3);
    auto* ftp = static_cast<CLocalSettings*>(sheet->page(kFtpPage));
    sheet->ShowPage(kFtpPage);
    QApplication::processEvents();
    EXPECT_EQ(ftp->fields[static_cast<int>(FtpField::FTPServer)]->text(), "ftp.example.org") << "the page loaded itself when shown";
}

// Only pages that were shown hold what the user sees: the others' fields are
// empty until their first show, and collecting them would blank the settings
// they stand for (the start-up refresh of a window in the tray would find its
// FTP settings gone; a save from one page would blank the others).
TEST_F(StartedInTheTray, PagesNeverShownLeaveTheirSettingsAlone) {
    core->ini().WriteString(kPreferences, "EmailServer", "smtp.example.org");
    core->ini().WriteString(kPreferences, "ProxyAddress", "proxy.example.org");
    core->ini().WriteString(kPreferences, "LogFilename", "my.log");
    core->LoadOrCreateSettings();
    const auto expectKept = [this](const char* when) {
        const Settings s = core->settings();
        EXPECT_EQ(FtpPageOf(s).ftpPage.FTPServer, "ftp.example.org") << when;
        EXPECT_EQ(FtpPageOf(s).ftpPage.UserID, "u") << when;
        EXPECT_EQ(s.EmailServer, "smtp.example.org") << when;
        EXPECT_EQ(FtpPageOf(s).ProxyAddress, "proxy.example.org") << when;
        EXPECT_EQ(s.LogFilename, "my.log") << when;
    };
    host.CollectPageEdits();
    host.CollectSettingsPages();
    expectKept("in the tray");

    sheet->RestoreMainWindow();  // shows the FTP page only
    QApplication::processEvents();
    host.CollectPageEdits();
    host.CollectSettingsPages();
    expectKept("with the FTP page shown");

    Show<CEmailPage>(kEmailPage);
    host.CollectSettingsPages();
    expectKept("after the E-Mail page was shown too");
}

// The frame offers minimise and close; a maximised sheet has no meaning.
TEST_F(MainSheet, FrameOffersMinimiseAndCloseButNoMaximise) {
    const Qt::WindowFlags flags = sheet->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint)) << "the flags below are the buttons shown";
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(sheet->isWindow());
}

// A frame is moved onto the available area, and cut when larger than it;
// one already there stays as it is.
TEST(ClampToScreen, KeepsTheFrameOnTheAvailableArea) {
    const QRect screen(0, 24, 1366, 744);  // a panel at the top
    const std::pair<QRect, QRect> cases[] = {
        {QRect(100, 200, 400, 300), QRect(100, 200, 400, 300)},
        {QRect(0, -21, 400, 300), QRect(0, 24, 400, 300)},   // the title bar above the screen
        {QRect(0, 24, 400, 300), QRect(0, 24, 400, 300)},    // on the edge: unmoved
        {QRect(1200, 700, 400, 300), QRect(966, 468, 400, 300)},
        {QRect(-50, 0, 2000, 900), QRect(0, 24, 1366, 744)},
    };
    for (const auto& [frame, expected] : cases)
        EXPECT_EQ(CMainSheet::ClampToScreen(frame, screen), expected) << frame.x() << "," << frame.y();
}

// Minimise (the offscreen platform has no tray, so the window stays minimised
// in place) and restore, as the desktop or the tray's "&Open Zelmar" does.
void MinimiseAndRestore(CMainSheet& sheet, bool byDesktop) {
    sheet.showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(sheet.isMinimized());
    if (byDesktop)
        sheet.setWindowState(sheet.windowState() & ~Qt::WindowMinimized);
    else
        sheet.RestoreMainWindow();
    QApplication::processEvents();
    ASSERT_FALSE(sheet.isMinimized());
}

// A restore keeps the place and size the window has: it is not moved by
// anything of its own (the frame's place is the window manager's, tested
// under a real one in the end-to-end tests).
TEST_F(MainSheet, RestoresKeepThePlaceAndSizeTheWindowHas) {
    for (bool byDesktop : {false, true}) {
        const QRect chosen(QPoint(50, 60), sheet->minimumSizeHint() + QSize(40, 30));
        sheet->setGeometry(chosen);
        QApplication::processEvents();
        MinimiseAndRestore(*sheet, byDesktop);
        EXPECT_EQ(sheet->geometry(), chosen) << byDesktop;
    }
}

// Started minimised (here, without a tray, in the task bar), the window is
// not up before the first restore, which brings it up.
TEST_F(MainSheet, FirstRestoreAfterStartingMinimisedShowsTheWindow) {
    sheet = std::make_unique<CMainSheet>(*core, false);
    host.Attach(core.get(), sheet.get());
    host.ShowMainWindow(true);
    QApplication::processEvents();
    EXPECT_TRUE(!sheet->isVisible() || sheet->isMinimized());
    host.RestoreMainWindow();
    QApplication::processEvents();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_FALSE(sheet->isMinimized());
}

// A window back in the tray gives up its pages; an unsaved change survives
// that, "&Save" is still offered, and the pages come back at the next show.
TEST_F(MainSheet, ReleasedPagesKeepTheirUnsavedMark) {
    auto* ftp = Show<CLocalSettings>(kFtpPage);
    ftp->enableFtp->click();
    sheet->hide();
    sheet->ReleaseContent();
    EXPECT_FALSE(sheet->contentMade());
    EXPECT_TRUE(host.SaveEnabled());
    EXPECT_EQ(FtpPageOf(core->settings()).EnableFTP, 1) << "the edit is in the settings";
    sheet->RestoreMainWindow();
    QApplication::processEvents();
    ASSERT_TRUE(sheet->contentMade());
    EXPECT_TRUE(sheet->saveButton()->isEnabled());
    sheet->Save();
    EXPECT_FALSE(host.SaveEnabled());
    EXPECT_EQ(core->ini().GetString("LocalSettings", "EnableFTP"), "1");
}

// After a refresh from the button, the focus is back on "&Refresh" (not on
// the next button, where disabling it had put the focus).
TEST_F(MainSheet, FocusReturnsToRefreshAfterARefresh) {
    sheet->activateWindow();
    sheet->refreshButton()->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(sheet->refreshButton()->hasFocus());
    host.SetRefreshEnabled(false);
    host.SetRefreshEnabled(true);
    EXPECT_TRUE(sheet->refreshButton()->hasFocus());
}

// A box that only informs holds nothing: a refresh asked for while it is
// open (a network change) runs, "&Refresh" comes back, and what the second
// refresh says goes to the message bar instead of a second box.
TEST_F(MainSheet, AnOpenErrorBoxHoldsNoRefresh) {
    host.scriptedBoxes = nullptr;
    std::atomic<int> runs{0};
    RefreshServices services;
    services.Refresh = [&runs](Core& c, std::shared_ptr<IniBatch>, RefreshStart) {
        MessageBoxRequest box;
        box.text = "Upload failed " + std::to_string(runs + 1);
        box.page = MessageBoxRequest::Page::Ftp;
        c.ErrorBox(box);
        ++runs;
        c.EndUpload(false);
    };
    core->SetServices(services);
    core->ManualRefreshCommand();
    QTimer::singleShot(500, sheet.get(), [this] { core->RefreshNow(); });
    // A box that would hold the refresh is closed late, so that the test ends.
    QTimer::singleShot(4000, sheet.get(), [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) b->done(QMessageBox::Ok);
    });
    for (int i = 0; i < 300 && runs < 2; ++i) QTest::qWait(10);
    for (int i = 0; i < 100 && core->WorkerRunning(); ++i) QTest::qWait(10);
    QApplication::processEvents();
    EXPECT_EQ(runs, 2) << "the second refresh ran while the first box was open";
    ASSERT_NE(host.openInformingBox(), nullptr);
    EXPECT_EQ(host.openInformingBox()->text(), "Upload failed 1");
    EXPECT_EQ(sheet->message(), "Upload failed 2");
    EXPECT_TRUE(sheet->refreshButton()->isEnabled());
}

TEST_F(MainSheet, BlockingSendsFromAWorkerRunOnTheWindowThread) {
    std::thread::id ranOn;
    bool finished = false;
    host.StartWorker([&] {
        host.SendToMain([&] { ranOn = std::this_thread::get_id(); });
        finished = true;
    });
    for (int i = 0; i < 500 && !finished; ++i) QTest::qWait(10);
    host.Shutdown();
    EXPECT_TRUE(finished);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(MainSheet, ABlockingSendAfterTheLoopEndedDoesNotHang) {
    host.Shutdown();
    bool ran = false;
    std::thread worker([&] { host.SendToMain([&] { ran = true; }); });
    worker.join();
    EXPECT_FALSE(ran);
}

// The end of the desktop session with "IsUpdateOnShut" = 1: the offline
// publication runs on a worker while the window thread handles its status
// lines, never beside a refresh, and is given up after its time bound.
class EndOfSession : public MainSheet {
protected:
    void Publication(std::function<int(Core&)> publish) {
        RefreshServices services;
        services.PublishOffline = [this, publish](Core& c) {
            ++runs;
            publishedOn = std::this_thread::get_id();
            return publish(c);
        };
        core->SetServices(services);
    }
    void UpdateOnShut(int on, int timeout = 15) {
        core->EditSettings([&](Settings& s) {
            s.IsUpdateOnShut = on;
            s.Timeout = timeout;
        });
    }
    std::atomic<int> runs{0};
    std::thread::id publishedOn;
    std::atomic<bool> release{false};
};

// Told to end by a signal while a refresh runs: no question is asked, the
// refresh is let end, then the offline page goes out; its failure ends the
// program without a box when "NotifyErrorOnShut" is off.
TEST_F(EndOfSession, ASignalDuringARefreshLetsItEndThenPublishesWithoutABox) {
    RefreshServices services;
    services.Refresh = [this](Core& c, std::shared_ptr<IniBatch>, RefreshStart) {
        for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.EndUpload(true);
    };
    services.PublishOffline = [this](Core& c) {
        ++runs;
        MessageBoxRequest box;
        box.text = "The FTP server refused the login: 530 Authentication failed.";
        c.ErrorBox(box);
        return -1;
    };
    core->SetServices(services);
    UpdateOnShut(1);
    core->EditSettings([](Settings& s) { s.NotifyErrorOnShut = 0; });
    core->ManualRefreshCommand();
    host.ExitOnSignal();
    QTimer::singleShot(300, sheet.get(), [this] { release = true; });
    for (int i = 0; i < 1000 && !core->closed(); ++i) QTest::qWait(10);
    EXPECT_TRUE(core->closed());
    EXPECT_EQ(runs, 1) << "the offline page, once the refresh was over";
    EXPECT_TRUE(boxes.empty());
}

TEST_F(EndOfSession, WithoutUpdateOnShutTheSessionEndsAtOnce) {
    Publication([](Core&) { return 1; });
    UpdateOnShut(0);
    EXPECT_TRUE(host.EndSession());
    EXPECT_EQ(runs, 0);
}

TEST_F(EndOfSession, ARefreshAtWorkRefusesTheEnd) {
    Publication([](Core&) { return 1; });
    UpdateOnShut(1);
    core->state().TransferInProgress = 1;
    EXPECT_FALSE(host.EndSession());
    EXPECT_EQ(runs, 0) << "the working files are in use";
}

TEST_F(EndOfSession, StatusLinesOfThePublicationReachTheWindow) {
    Publication([](Core& c) {
        c.PostStatusMessage("P10004 Attempting to connect to FTP Server...");
        c.PostStatusMessage("P10006 System Offline.");
        return 1;
    });
    UpdateOnShut(1);
    EXPECT_TRUE(host.EndSession());
    EXPECT_EQ(runs, 1);
    EXPECT_NE(publishedOn, std::this_thread::get_id()) << "not on the window thread";
    EXPECT_EQ(sheet->statusLine(), "System Offline.");
}

TEST_F(EndOfSession, AFailedPublicationRefusesTheEnd) {
    Publication([](Core&) { return -1; });
    UpdateOnShut(1);
    EXPECT_FALSE(host.EndSession());
}

TEST_F(EndOfSession, APublicationThatHangsIsGivenUp) {
    Publication([this](Core&) {
        for (int i = 0; i < 6000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 1;
    });
    UpdateOnShut(1, 1);  // bound: 2 x Timeout and the margin (0 would be the default 15)
    host.SetEndSessionMargin(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(host.EndSession());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "well before the hang ends";
    release = true;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

// Opening a dynamic-DNS entry and pressing OK keeps its time-to-live, also
// one longer than the day the field offers (written in the file by hand).
TEST_F(MainSheet, DdnsEntryDialogKeepsTheStoredTtl) {
    DdnsPageModel model(core->ini(), core->scrambleKey());
    for (const int ttl : {1, 86400, 86401, 604800}) {
        DdnsEntry e;
        e.name = "home";
        e.protocol = DdnsProtocol::DuckDns;
        e.hosts = {"home"};
        e.ttl = ttl;
        std::string error;
        ASSERT_TRUE(model.Save(e, "token", ttl == 1, error)) << error;
        CDdnsEntryDlg dialog(model, model.Load("home"), false, sheet.get());
        dialog.accept();
        EXPECT_EQ(model.Load("home").ttl, ttl);
    }
}

// The record types survive the dialog: an entry opened and confirmed keeps
// them, and one added with them has them.
TEST_F(MainSheet, DdnsEntryDialogKeepsTheRecordTypes) {
    DdnsPageModel model(core->ini(), core->scrambleKey());
    for (const int adding : {0, 1})
        for (const auto& [a, aaaa] : {std::pair{true, false}, {false, true}, {true, true}}) {
            DdnsEntry e;
            e.name = "home";
            e.protocol = DdnsProtocol::DuckDns;
            e.hosts = {"home"};
            e.wantA = a;
            e.wantAAAA = aaaa;
            std::string error;
            model.Remove("home");
            ASSERT_TRUE(adding || model.Save(e, "token", true, error)) << error;
            CDdnsEntryDlg dialog(model, adding ? e : model.Load("home"), adding, sheet.get());
            for (QLineEdit* field : dialog.findChildren<QLineEdit*>())
                if (field->echoMode() == QLineEdit::Password) field->setText("token");
            dialog.accept();
            EXPECT_EQ(std::pair(model.Load("home").wantA, model.Load("home").wantAAAA), std::pair(a, aaaa)) << adding;
        }
}

// The dialog offers the catalogue's providers by name and shows only the
// fields the chosen one reads, with where its secret is made.
TEST_F(MainSheet, DdnsEntryDialogShowsTheChosenProvidersFields) {
    DdnsPageModel model(core->ini(), core->scrambleKey());
    CDdnsEntryDlg dialog(model, DdnsEntry{}, true, sheet.get());
    auto* providers = dialog.findChild<QComboBox*>();
    auto* form = dialog.findChild<QFormLayout*>();
    ASSERT_TRUE(providers && form);
    auto shown = [&](const QString& label) {
        for (int row = 0; row < form->rowCount(); ++row) {
            const QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole);
            auto* l = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
            if (l && l->text() == label) return form->isRowVisible(row);
        }
        ADD_FAILURE() << label.toStdString();
        return false;
    };
    providers->setCurrentIndex(providers->findText("Porkbun", Qt::MatchStartsWith));
    EXPECT_TRUE(shown("&Login"));
    EXPECT_FALSE(shown("&Key name"));
    bool linked = false;
    for (const QLabel* l : dialog.findChildren<QLabel*>()) linked = linked || l->text().contains("porkbun.com/account/api");
    EXPECT_TRUE(linked);
    providers->setCurrentIndex(providers->findText("RFC 2136", Qt::MatchStartsWith));
    EXPECT_TRUE(shown("&Key name"));
    EXPECT_FALSE(shown("&Login"));
    EXPECT_FALSE(shown("CA &file"));
}

}  // namespace
