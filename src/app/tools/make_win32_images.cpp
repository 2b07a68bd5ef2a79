// Turns the program's XPM images into the files the Windows resources take:
//   zelmora_make_win32_images <icon.xpm> <out.ico> <toolbar.xpm> <out.bmp>
// Runs at build time on the offscreen platform, natively, for the cross
// build of the Windows program.

#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() != 5) {
        std::fputs("usage: zelmora_make_win32_images <icon.xpm> <out.ico> <toolbar.xpm> "
                   "<out.bmp>\n",
                   stderr);
        return 2;
    }
    const QImage icon(arguments[1]);
    const QImage toolbar(arguments[3]);
    if (icon.isNull() || toolbar.isNull()) {
        std::fputs("zelmora_make_win32_images: cannot read the images\n", stderr);
        return 1;
    }
    QImageWriter iconWriter(arguments[2], "ico");
    if (!iconWriter.write(icon.convertToFormat(QImage::Format_ARGB32))) {
        std::fprintf(stderr, "zelmora_make_win32_images: %s\n",
                     qPrintable(iconWriter.errorString()));
        return 1;
    }
    // A plain 24-bit bitmap: the toolbar's image has no transparency.
    if (!toolbar.convertToFormat(QImage::Format_RGB888).save(arguments[4], "BMP")) {
        std::fprintf(stderr, "zelmora_make_win32_images: cannot write %s\n",
                     qPrintable(arguments[4]));
        return 1;
    }
    return 0;
}
