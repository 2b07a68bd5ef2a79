#pragma once

// A canvas that paints nothing and keeps every call, so that tests can
// check the exact pixel coordinates a drawing produces and the benchmark
// can measure the drawing without a real surface.

#include "graph/Canvas.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zelmora {

class CRecordingCanvas : public Canvas {
public:
    enum class CallKind {
        TransparentBackground,
        SelectPen,
        MoveTo,
        LineTo,
        SetTextColor,
        SelectFont,
        WriteText,
    };

    // One call as it was made; only the fields of its kind are meaningful.
    struct Call {
        CallKind kind = CallKind::MoveTo;
        int x = 0;
        int y = 0;
        PenDescription pen;
        ColorRef color = 0;
        std::size_t font = 0; // index into Fonts() for SelectFont
        std::string text;
    };

    // A line as it reached the surface: from the current position to the
    // LineTo point, with the pen selected at the time.
    struct Segment {
        int x0 = 0;
        int y0 = 0;
        int x1 = 0;
        int y1 = 0;
        PenDescription pen;

        bool operator==(const Segment&) const = default;
    };

    // A text as it reached the surface, with the colour and font in force.
    struct Text {
        int x = 0;
        int y = 0;
        std::string text;
        ColorRef color = 0;
        FontDescription font;
    };

    void SetTransparentBackground() override;
    void SelectPen(const PenDescription& pen) override;
    void MoveTo(int x, int y) override;
    void LineTo(int x, int y) override;
    void SetTextColor(ColorRef color) override;
    void SelectFont(const FontDescription& font) override;
    void WriteText(int x, int y, std::string_view text) override;
    // Without a real font, a text is as wide as its characters times the
    // selected font's character width (half its height where the font
    // leaves the width to the face): a stand-in that tests can compute.
    int MeasureText(std::string_view text) override;

    // Forgets the calls but keeps the storage, so a benchmark can record
    // the same drawing again without allocating.
    void Clear();

    const std::vector<Call>& Calls() const { return m_calls; }
    const std::vector<FontDescription>& Fonts() const { return m_fonts; }

    std::vector<Segment> Segments() const;
    std::vector<Segment> SegmentsOfColor(ColorRef color) const;
    std::vector<Text> Texts() const;

private:
    std::vector<Call> m_calls;
    // Every distinct font selected, so a call refers to it by index instead
    // of copying the face name each time.
    std::vector<FontDescription> m_fonts;
    // The font selected now, for MeasureText.
    FontDescription m_font;
};

} // namespace zelmora
