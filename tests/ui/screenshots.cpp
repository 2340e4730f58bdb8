// zelmar_screenshots OUTDIR: draws the main window on each of its six pages,
// the window at a first run (with its note), the About box, "Add/Remove
// Programs", "SMTP Authentication", the log viewer and the question after a
// failed offline publication into PNG files, with a settings file of its own
// in a scratch folder. Run it under Xvfb (scripts/screenshots.sh, also at
// 200 % with QT_SCALE_FACTOR=2) or on the offscreen platform.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QMessageBox>
#include <cstdio>
#include <fstream>
#include <memory>

#include "app/core/core.h"
#include "app/ddns/ddns_page_model.h"
#include "app/monitor/program_monitor.h"
#include "ui/ddns_page.h"
#include "ui/dialogs.h"
#include "ui/main_sheet.h"
#include "ui/qt_host.h"

using namespace zelmar;

namespace {

// A desktop with a few windows to offer in "Add/Remove Programs".
class SampleDesktop : public DesktopWindows {
public:
    bool Available() const override { return true; }
    std::vector<TopLevelWindow> TopLevelWindows() override {
        return {{"Mail Server Console", true, false, false, false},
                {"Game Server", true, false, false, false},
                {"Text Editor - notes.txt", true, false, false, false}};
    }
};

bool Save(QWidget* w, const QDir& out, const QString& name) {
    QApplication::processEvents();
    const QString path = out.filePath(name + ".png");
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "zelmar_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: zelmar_screenshots OUTDIR\n", stderr);
        return 2;
    }
    QDir out(argv[1]);
    if (!out.mkpath(".")) return 1;
    QTemporaryDir scratch;
    const std::string dir = scratch.path().toStdString();
    std::ofstream(dir + "/Zelmar.ini")
        << "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=My FTP Site\nUserID=myname\nPassword=p\n"
           "OnlineFile=samples/online.htm\nOfflineFile=samples/offline.htm\nRemoteFile=status/mypage.htm\n"
           "Port=21\nEnableFTP=1\nStatusIndicators=RUNNING/NOT RUNNING\n"
           "[Preferences]\nIsLogging=1\nLogFilename=Zelmar.log\nRefreshIntv=60\nTimeout=15\nMaxLog=7\n"
           "UseProxy=1\nLogonType=2\nProxyAddress=proxy.example.org\nEnableMail=1\nEmailOnIPChangeOnly=1\n"
           "EmailServer=mail.example.org\nEmailFrom=me@example.org\nEmailTo=you@example.org;them@example.org\n"
           "EmailSubject=My address\nEmailInput=samples/mail.txt\nEnableSMTPAuth=1\n"
           "[Processes]\nProcessName0=Mail Server Console\nProcessName1=Game Server\n"
           "[DDNS home]\nProtocol=rfc2136\nHost=home.example.org\nServer=ns1.example.org\nZone=example.org\n"
           "KeyName=home-key\nRecords=A,AAAA\nDeliveredAt=1800000000\n"
           "[DDNS duck]\nProtocol=duckdns\nHost=myhome.duckdns.org\nEnabled=0\n";
    SetMonitorDesktop(std::make_shared<SampleDesktop>());

    QtHost host;
    Core core(host, dir, dir + "/Zelmar.ini", "ab1234567");
    core.LoadOrCreateSettings();
    CheckProgramStatuses(core);
    CMainSheet sheet(core, false);
    host.Attach(&core, &sheet);
    core.ShowAddresses({"203.0.113.7", "192.168.1.20", "2001:db8::7", "fd00::20"});
    core.state().OnlineState = 1;
    core.PostStatusMessage(std::string("P10005 System Online:   "));
    sheet.resize(sheet.sizeHint().expandedTo(QSize(560, 520)));
    sheet.show();

    bool ok = true;
    const char* names[6] = {"1-ftp", "2-advanced-options", "3-status", "4-program-monitor", "5-proxy-firewall",
                            "6-email-options"};
    for (int i = 0; i < 6; ++i) {
        sheet.ShowPage(i);
        ok = Save(&sheet, out, names[i]) && ok;
    }
    {
        CAboutDlg about(&sheet);
        about.show();
        ok = Save(&about, out, "about") && ok;
    }
    {
        CAddRemoveProgramsDlg dialog(core, &sheet);
        dialog.show();
        ok = Save(&dialog, out, "add-remove-programs") && ok;
    }
    {
        CDdnsPage page(core);
        page.resize(640, 300);
        page.show();
        ok = Save(&page, out, "7-dynamic-dns") && ok;
        DdnsPageModel model(core.ini(), core.scrambleKey());
        CDdnsEntryDlg dialog(model, model.Load("home"), false, &sheet);
        dialog.show();
        ok = Save(&dialog, out, "dynamic-dns-entry") && ok;
    }
    {
        CSmtpAuthDlg dialog(core, &sheet);
        dialog.show();
        ok = Save(&dialog, out, "smtp-authentication") && ok;
    }
    {
        std::ofstream(dir + "/Zelmar.log") << "12/07/2026 09:00:01 Attempting to connect to FTP Server...\n"
                                              "12/07/2026 09:00:02 Successfully changed folder.\n"
                                              "12/07/2026 09:00:03 System Online:   LAN IP: 192.168.1.20, WAN IP: "
                                              "203.0.113.7\n";
        CLogViewer viewer;
        viewer.Open(QString::fromStdString(dir + "/Zelmar.log"));
        viewer.show();
        ok = Save(&viewer, out, "log-viewer") && ok;
    }
    {
        host.StatusLine(StatusMessage{}, "Unable to connect to ftp.example.org port 21: Connection refused");
        MessageBoxRequest question;
        question.text = "There was an error uploading page. Exit anyway?";
        question.buttons = MbButtons::YesNo;
        const std::unique_ptr<QMessageBox> box = host.MakeBox(question, &sheet);
        box->show();
        ok = Save(box.get(), out, "exit-question") && ok;
    }
    host.Attach(nullptr, nullptr);
    host.Shutdown();

    // A first run: nothing entered yet, so the window says where the
    // settings live and what to set first.
    QTemporaryDir firstDir;
    const std::string first = firstDir.path().toStdString();
    QtHost firstHost;
    Core firstCore(firstHost, first, first + "/Zelmar.ini", "ab1234567");
    firstCore.LoadOrCreateSettings();
    CMainSheet firstSheet(firstCore, false);
    firstHost.Attach(&firstCore, &firstSheet);
    firstSheet.resize(firstSheet.sizeHint().expandedTo(QSize(560, 520)));
    firstSheet.show();
    ok = Save(&firstSheet, out, "0-first-run") && ok;
    firstHost.Attach(nullptr, nullptr);
    firstHost.Shutdown();
    return ok ? 0 : 1;
}
