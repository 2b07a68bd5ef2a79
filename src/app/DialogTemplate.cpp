#include "app/DialogTemplate.h"

#include <QFontMetrics>
#include <QWidget>
#include <mutex>

// The icons live in the library's resource file; a static library has to
// register it by hand (outside any namespace, as the macro requires).
static void RegisterZelmoraResources() {
    Q_INIT_RESOURCE(zelmora);
}

namespace zelmora {

namespace {

const QStringList& SansFaces() {
    static const QStringList faces{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                   QStringLiteral("DejaVu Sans")};
    return faces;
}

const QStringList& CjkFaces() {
    static const QStringList faces{QStringLiteral("WenQuanYi Micro Hei"),
                                   QStringLiteral("Noto Sans CJK SC"),
                                   QStringLiteral("WenQuanYi Zen Hei")};
    return faces;
}

} // namespace

CDialogTemplate::CDialogTemplate(const QString& face, int points, QPoint origin)
    : m_origin(origin) {
    static std::once_flag resources;
    std::call_once(resources, RegisterZelmoraResources);
    RegisterFontSubstitutions();
    m_font = QFont(face, points);
    const QFontMetrics metrics(m_font);
    // The classic desktop rounds the average of the 52 letters to the
    // nearest pixel.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_cx = (letters / 26 + 1) / 2;
    m_cy = metrics.height();
}

int CDialogTemplate::ToPixelsX(int du) const {
    return du * m_cx / 4;
}

int CDialogTemplate::ToPixelsY(int du) const {
    return du * m_cy / 8;
}

QRect CDialogTemplate::ToPixels(int x, int y, int width, int height) const {
    const int left = ToPixelsX(x);
    const int top = ToPixelsY(y);
    // Both edges are converted, as the classic desktop does, so adjacent
    // controls stay adjacent.
    return {m_origin.x() + left, m_origin.y() + top, ToPixelsX(x + width) - left,
            ToPixelsY(y + height) - top};
}

QSize CDialogTemplate::ToPixelSize(int width, int height) const {
    return {ToPixelsX(width), ToPixelsY(height)};
}

void CDialogTemplate::Place(QWidget& widget, int x, int y, int width, int height) const {
    widget.setGeometry(ToPixels(x, y, width, height));
}

void CDialogTemplate::RegisterFontSubstitutions() {
    static const bool registered = [] {
        for (const char* face : {"宋体", "SimSun", "新宋体", "NSimSun"}) {
            QFont::insertSubstitutions(QString::fromUtf8(face), CjkFaces());
        }
        for (const char* face : {"Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2",
                                 "MS Sans Serif", "Tahoma"}) {
            QFont::insertSubstitutions(QString::fromUtf8(face), SansFaces() + CjkFaces());
        }
        return true;
    }();
    (void)registered;
}

} // namespace zelmora
