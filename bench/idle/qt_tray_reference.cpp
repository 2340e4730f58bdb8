// The floor for the idle window's memory: a bare Qt 6 Widgets program that
// sits in the tray with a small menu and does nothing else. Built once with
// Qt alone and once also linked with the network libraries the program links
// (libcurl, OpenSSL), so that the benchmark can say what the toolkit and those
// libraries cost before any of our own code runs.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>

#ifdef ZELMAR_REFERENCE_NETWORK
#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#endif

int main(int argc, char** argv) {
#ifdef ZELMAR_REFERENCE_NETWORK
    // A call into each library, so that the linker keeps them and the loader
    // maps them as it does for the program; printed only on request.
    const char* curl = curl_version();
    const char* crypto = OpenSSL_version(OPENSSL_VERSION);
    const SSL_METHOD* tls = TLS_client_method();
    if (std::getenv("ZELMAR_REFERENCE_VERSIONS") != nullptr)
        std::printf("%s\n%s\n%s\n", curl, crypto, tls != nullptr ? "TLS client method present" : "no TLS");
#endif
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QPixmap pixmap(16, 16);
    pixmap.fill(QColor(0, 128, 0));

    QMenu menu;
    QAction* refresh = menu.addAction(QStringLiteral("Refresh"));
    QAction* quit = menu.addAction(QStringLiteral("Exit"));
    QObject::connect(quit, &QAction::triggered, &app, &QApplication::quit);
    (void)refresh;

    const QIcon icon(pixmap);
    QSystemTrayIcon tray(icon);
    tray.setToolTip(QStringLiteral("Qt tray reference"));
    tray.setContextMenu(&menu);
    tray.show();
    return app.exec();
}
