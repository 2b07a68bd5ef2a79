#pragma once

// The graph of power against sample number.
//
// It keeps up to 20001 points in two fixed arrays, shows a window of
// m_window sample numbers that scrolls forward as values arrive, scales
// both axes (from the data in view, or from limits the operator set) and
// draws axes, tick labels and the curve onto a Canvas.
//
// It is a plain object used from one thread (the window's); it has no lock.
//
// Drawing is not read-only: DrawCurve rewrites the visible slot range
// (m_first, m_last) and, in autoscale, some limits, and the next append
// continues from what the drawing left there. One visible consequence is
// deliberate and kept: with a drawing between every two samples, the
// newest point enters the curve and the scaling only with the next sample.

#include "graph/Canvas.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace zelmora {

class CImageDisplay {
public:
    static constexpr std::int32_t kCapacity = 20001;
    static constexpr std::size_t kMaxTicks = 30;

    CImageDisplay();
    virtual ~CImageDisplay();

    CImageDisplay(const CImageDisplay&) = delete;
    CImageDisplay& operator=(const CImageDisplay&) = delete;

    // Data and scaling.

    // Appends the value unless a fixed collection already holds its
    // m_window + 1 points.
    void AddSample(double value);
    // Empties the series; limits, ticks, mode and autoscale stay.
    void ClearData();
    // 1 to 20000 points; anything else is ignored.
    void SetSampleWindow(int points);
    int GetSampleWindow() const { return m_window; }
    // 0 fixed, 1 continuous; another value keeps the mode. Always clears.
    void SetCollectionMode(int mode);
    void UpdateScales();
    void SetAutoscale(bool on);
    // Manual limits, each pair in either order. They show only while
    // autoscale is off.
    void SetLimits(int xFrom, int xTo, double yFrom, double yTo);
    void GetXLimits(double& from, double& to) const;
    void GetYLimits(double& from, double& to) const;

    // Rendering.

    // The surface size in pixels, given once before the first drawing.
    void SetDisplaySize(int width, int height);
    // The surface's pixels per inch (96 unless told): the margins around
    // the plot, the labels' font and their offsets are given for 96 and
    // grow with it, so the text keeps its size on the screen; lines stay
    // one pixel wide, and the curve uses every pixel.
    void SetDisplayDpi(int dpi);
    int GetDisplayDpi() const { return m_dpi; }
    // Draws axes, labels and curve onto a surface of the size given to
    // SetDisplaySize that is already black. Leaves the canvas's pen, font
    // and text colour as it set them.
    void Draw(Canvas& canvas);

    // What the axes currently show, for the window and for tests.
    std::span<const double> GetXTicks() const { return {m_xTicks.data(), m_xTickCount}; }
    std::span<const double> GetYTicks() const { return {m_yTicks.data(), m_yTickCount}; }
    int GetXDecimals() const { return m_xDecimals; }
    int GetYDecimals() const { return m_yDecimals; }
    // Sample number of the newest point, -1 when empty.
    int GetLastIndex() const { return m_lastIndex; }

    // Moves on with every change that can make the next drawing differ from
    // the last one, in its pixels or in the state it leaves: data, limits,
    // window, mode, autoscale, size, and a drawing that moved the limits its
    // labels were placed by. While it stands still, drawing again repeats
    // the last drawing exactly, so a caller that keeps that drawing may
    // skip it.
    std::uint64_t GetRevision() const { return m_revision; }

private:
    void AppendPoint(double value);
    void DrawAxes(Canvas& canvas);
    void DrawTickLabels(Canvas& canvas);
    void DrawCurve(Canvas& canvas);
    // A length given for 96 pixels per inch, at the surface's.
    int Scaled(int length) const;
    void LayOut();

    std::int32_t m_xStart = 0;
    std::int32_t m_xEnd = 200;
    std::int32_t m_xMin = 0;
    std::int32_t m_xMax = 200;
    double m_dataMin = 0.0;
    double m_dataMax = 0.001;
    double m_yMin = 0.0;
    double m_yMax = 0.001;
    double m_minSpan = 0.001;
    std::int32_t m_window = 200;
    std::int32_t m_lastIndex = -1;
    std::int32_t m_first = 0;
    std::int32_t m_last = 0;
    std::unique_ptr<double[]> m_xValues;
    std::unique_ptr<double[]> m_yValues;
    std::int32_t m_capacity = kCapacity;
    std::int32_t m_mode = 1;
    bool m_hasData = false;
    bool m_autoscale = true;
    ColorRef m_axisColor = Rgb(255, 0, 0);
    std::int32_t m_plotTop = 0;
    std::int32_t m_plotBottom = 0;
    std::int32_t m_plotLeft = 0;
    std::int32_t m_plotRight = 0;
    std::int32_t m_labelTop = 0;
    std::int32_t m_labelBottom = 0;
    std::int32_t m_labelLeft = 0;
    std::int32_t m_labelRight = 0;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_dpi = 96;
    std::array<double, kMaxTicks> m_xTicks{};
    std::uint16_t m_xTickCount = 0;
    std::int32_t m_xDecimals = 0;
    FontDescription m_xLabelFont;
    std::array<double, kMaxTicks> m_yTicks{};
    std::uint16_t m_yTickCount = 0;
    std::int32_t m_yDecimals = 0;
    FontDescription m_yLabelFont;
    ColorRef m_textColor = Rgb(255, 255, 255);
    ColorRef m_curveColor = Rgb(0, 255, 0);
    std::uint64_t m_revision = 0;
};

} // namespace zelmora
