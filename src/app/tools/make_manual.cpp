// Turns an operation manual written in Markdown into the PDF that the Help
// menu opens:  zelmora_make_manual <source.md> <output.pdf> <title>
// Runs at build time on the offscreen platform.

#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: zelmora_make_manual <source.md> <output.pdf> <title>\n", stderr);
        return 2;
    }
    QFile source(arguments[1]);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "zelmora_make_manual: cannot read %s\n", qPrintable(arguments[1]));
        return 1;
    }
    const QString markdown = QString::fromUtf8(source.readAll());

    QPdfWriter writer(arguments[2]);
    writer.setTitle(arguments[3]);
    writer.setCreator(QStringLiteral("Zelmora"));
    writer.setResolution(300);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(20, 18, 20, 18), QPageLayout::Millimeter));

    QTextDocument document;
    // A face with both Latin and Chinese glyphs, so either manual renders.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("DejaVu Sans")});
    font.setPointSize(10);
    document.setDefaultFont(font);
    document.setMarkdown(markdown);
    document.print(&writer);
    return 0;
}
