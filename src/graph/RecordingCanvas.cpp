#include "graph/RecordingCanvas.h"

#include <algorithm>
#include <cstdlib>

namespace zelmora {

void CRecordingCanvas::SetTransparentBackground() {
    Call call;
    call.kind = CallKind::TransparentBackground;
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::SelectPen(const PenDescription& pen) {
    Call call;
    call.kind = CallKind::SelectPen;
    call.pen = pen;
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::MoveTo(int x, int y) {
    Call call;
    call.kind = CallKind::MoveTo;
    call.x = x;
    call.y = y;
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::LineTo(int x, int y) {
    Call call;
    call.kind = CallKind::LineTo;
    call.x = x;
    call.y = y;
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::SetTextColor(ColorRef color) {
    Call call;
    call.kind = CallKind::SetTextColor;
    call.color = color;
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::SelectFont(const FontDescription& font) {
    const auto known = std::find(m_fonts.begin(), m_fonts.end(), font);
    Call call;
    call.kind = CallKind::SelectFont;
    call.font = static_cast<std::size_t>(known - m_fonts.begin());
    if (known == m_fonts.end()) {
        m_fonts.push_back(font);
    }
    m_calls.push_back(std::move(call));
    m_font = font;
}

int CRecordingCanvas::MeasureText(std::string_view text) {
    int characters = 0;
    for (const char byte : text) {
        // Every byte that does not continue a UTF-8 sequence starts a
        // character.
        characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    }
    const int width = m_font.width > 0 ? m_font.width : std::abs(m_font.height) / 2;
    return width * characters;
}

void CRecordingCanvas::WriteText(int x, int y, std::string_view text) {
    Call call;
    call.kind = CallKind::WriteText;
    call.x = x;
    call.y = y;
    call.text = std::string(text);
    m_calls.push_back(std::move(call));
}

void CRecordingCanvas::Clear() {
    m_calls.clear();
}

std::vector<CRecordingCanvas::Segment> CRecordingCanvas::Segments() const {
    std::vector<Segment> segments;
    // A fresh device context starts at the origin with a black pen.
    int x = 0;
    int y = 0;
    PenDescription pen;
    for (const Call& call : m_calls) {
        switch (call.kind) {
        case CallKind::SelectPen:
            pen = call.pen;
            break;
        case CallKind::MoveTo:
            x = call.x;
            y = call.y;
            break;
        case CallKind::LineTo:
            segments.push_back(Segment{x, y, call.x, call.y, pen});
            x = call.x;
            y = call.y;
            break;
        default:
            break;
        }
    }
    return segments;
}

std::vector<CRecordingCanvas::Segment> CRecordingCanvas::SegmentsOfColor(ColorRef color) const {
    std::vector<Segment> segments = Segments();
    std::erase_if(segments, [color](const Segment& s) { return s.pen.color != color; });
    return segments;
}

std::vector<CRecordingCanvas::Text> CRecordingCanvas::Texts() const {
    std::vector<Text> texts;
    ColorRef color = Rgb(0, 0, 0);
    FontDescription font;
    for (const Call& call : m_calls) {
        switch (call.kind) {
        case CallKind::SetTextColor:
            color = call.color;
            break;
        case CallKind::SelectFont:
            font = m_fonts[call.font];
            break;
        case CallKind::WriteText:
            texts.push_back(Text{call.x, call.y, call.text, color, font});
            break;
        default:
            break;
        }
    }
    return texts;
}

} // namespace zelmora
