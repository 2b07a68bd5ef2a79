#pragma once

// What a dialog template gives a window on the classic desktop: a font and
// positions in dialog units, which that desktop turns into pixels with the
// font's base units (the average width of "A".."Z", "a".."z" and the line
// height): x pixels = du × cx / 4, y pixels = du × cy / 8. Placing the
// controls the same way keeps every proportion of the original layout,
// whatever face the font falls back to here.

#include <QFont>
#include <QRect>
#include <QString>

class QWidget;

namespace zelmora {

class CDialogTemplate {
public:
    // The template's font, `points` point size, with its face mapped onto
    // installed faces (see RegisterFontSubstitutions). `origin` is where
    // dialog unit (0, 0) lands in the window, below a menu bar for example.
    CDialogTemplate(const QString& face, int points, QPoint origin = {});

    const QFont& GetFont() const { return m_font; }
    int GetBaseUnitX() const { return m_cx; }
    int GetBaseUnitY() const { return m_cy; }

    int ToPixelsX(int du) const;
    int ToPixelsY(int du) const;
    // A rectangle in dialog units as window pixels, shifted by the origin.
    QRect ToPixels(int x, int y, int width, int height) const;
    // The size of a whole client area of width × height dialog units.
    QSize ToPixelSize(int width, int height) const;
    // Sets the widget's geometry from dialog units.
    void Place(QWidget& widget, int x, int y, int width, int height) const;

    // The faces the resources name are those of the classic desktop: map
    // them onto installed faces once per process. "宋体" (and its Latin name)
    // goes to a CJK face, so the Chinese texts render; "Microsoft Sans
    // Serif" and "MS Shell Dlg" go to a metric-compatible sans face.
    static void RegisterFontSubstitutions();

private:
    QFont m_font;
    QPoint m_origin;
    int m_cx = 0;
    int m_cy = 0;
};

} // namespace zelmora
