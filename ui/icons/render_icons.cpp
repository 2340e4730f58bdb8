// Renders the SVG masters of the program's pictures into the PNG sizes the
// window uses. The window draws PNGs so that it needs neither the SVG module
// nor a font at run time (the masters' lettering is text). Run it after
// changing a master:
//   cmake --build build --target zelmar_render_icons
//   build/ui/zelmar_render_icons ui/icons
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ICON_FOLDER\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int sizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
    for (const char* name : {"zelmar-online", "zelmar-offline", "zelmar-symbolic", "zelmar-offline-symbolic"}) {
        QSvgRenderer svg(folder + "/" + name + ".svg");
        if (!svg.isValid()) {
            std::fprintf(stderr, "cannot read %s/%s.svg\n", argv[1], name);
            return 1;
        }
        for (int size : sizes) {
            QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            svg.render(&painter);
            painter.end();
            const QString out = QString("%1/%2-%3.png").arg(folder, name).arg(size);
            if (!image.save(out, "PNG", 9)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
                return 1;
            }
        }
    }
    return 0;
}
