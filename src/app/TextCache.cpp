#include "app/TextCache.h"

#include "app/QtCanvas.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <mutex>
#include <utility>

namespace zelmora {

namespace {

// The graph uses one font and a few dozen distinct labels; a program that
// drew ever new texts would start over at these sizes rather than grow.
constexpr std::size_t kMostFonts = 16;
constexpr std::size_t kMostStampsPerFont = 4096;

struct Store {
    std::mutex mutex;
    std::vector<std::pair<FontDescription, std::shared_ptr<CTextCache::Font>>> fonts;
};

// Never destroyed: fonts must not outlive Qt's font database, which goes
// with the application object, before static destructors run.
Store& TheStore() {
    static Store* const store = new Store;
    return *store;
}

std::shared_ptr<const CTextCache::Stamp> MakeStamp(const CTextCache::Font& font,
                                                   const QString& text) {
    const QFontMetrics metrics(font.font);
    // Room for glyphs that reach out of their advance or above the ascent.
    const int margin = metrics.height() + metrics.maxWidth();
    const QRect bounds = metrics.boundingRect(text);
    const int width = std::max(bounds.right(), metrics.horizontalAdvance(text)) + 2 * margin;
    const int height = metrics.height() + 2 * margin;
    if (width > 4096 || height > 4096) {
        return nullptr;
    }
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setFont(font.font);
        painter.setPen(Qt::white);
        painter.drawText(margin, margin + font.ascent, text);
    }
    auto stamp = std::make_shared<CTextCache::Stamp>();
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const int alpha = qAlpha(row[x]);
            if (alpha == 255) {
                stamp->pixels.emplace_back(x - margin, y - margin);
            } else if (alpha != 0) {
                return nullptr; // a shade: QPainter blends it with what lies below
            }
        }
    }
    return stamp;
}

} // namespace

std::shared_ptr<CTextCache::Font> CTextCache::FontFor(const FontDescription& description) {
    Store& store = TheStore();
    const std::lock_guard lock(store.mutex);
    for (const auto& [known, font] : store.fonts) {
        if (known == description) {
            return font;
        }
    }
    if (store.fonts.size() == kMostFonts) {
        store.fonts.clear();
    }
    auto font = std::make_shared<Font>();
    font->font = CQtCanvas::ToQFont(description);
    font->ascent = QFontMetrics(font->font).ascent();
    store.fonts.emplace_back(description, font);
    return font;
}

std::shared_ptr<const CTextCache::Stamp> CTextCache::StampOf(Font& font, std::string_view text) {
    Store& store = TheStore();
    const std::lock_guard lock(store.mutex);
    if (const auto known = font.stamps.find(text); known != font.stamps.end()) {
        return known->second;
    }
    if (font.stamps.size() == kMostStampsPerFont) {
        font.stamps.clear();
    }
    auto stamp =
        MakeStamp(font, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    font.stamps.emplace(std::string(text), stamp);
    return stamp;
}

} // namespace zelmora
