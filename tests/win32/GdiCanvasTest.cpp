// The GDI canvas paints what the recording canvas records: the same graph
// frames are drawn through both, the recorded lines are rasterised with the
// platform's line rule (Bresenham with the diamond bias of octants 3, 5, 6
// and 8, the end pixel left out), and every line pixel must match exactly;
// text must lie in the cells the recording places it in. The bench view's
// tiles are held to the same rule in every display mode. Runs under Wine.

#include "win32/GdiCanvas.h"

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"
#include "window/BenchView.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace zelmora {
namespace {

constexpr ColorRef kBlack = Rgb(0, 0, 0);
constexpr ColorRef kRed = Rgb(255, 0, 0);
constexpr ColorRef kGreen = Rgb(0, 255, 0);

// A black 32-bit surface with a memory context for GDI to draw on.
class Surface {
public:
    Surface(int width, int height) : m_width(width), m_height(height) {
        BITMAPINFO info = TopDownBitmapInfo(width, height);
        m_dc = CreateCompatibleDC(nullptr);
        m_bitmap = CreateDIBSection(m_dc, &info, DIB_RGB_COLORS, &m_bits, nullptr, 0);
        m_previous = SelectObject(m_dc, m_bitmap);
    }
    ~Surface() {
        SelectObject(m_dc, m_previous);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    HDC Dc() const { return m_dc; }
    bool IsValid() const { return m_bits != nullptr; }
    ColorRef At(int x, int y) const {
        GdiFlush();
        const std::uint32_t pixel =
            static_cast<const std::uint32_t*>(m_bits)[y * m_width + x] & 0xFFFFFF;
        // The surface holds blue in the low byte.
        return Rgb(static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
                   static_cast<std::uint8_t>(pixel));
    }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

private:
    int m_width;
    int m_height;
    HDC m_dc = nullptr;
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_previous = nullptr;
    void* m_bits = nullptr;
};

// The pixels of a line as the platform paints them: one per step along the
// major axis, the end pixel left out; the minor axis steps when the error
// term (with a bias of one in octants 3, 5, 6 and 8) is positive.
template <class Plot>
void RasteriseLikeGdi(int x0, int y0, int x1, int y1, Plot plot) {
    const int dx = x1 - x0;
    const int dy = y1 - y0;
    int octant = 0;
    if (dy > 0) {
        octant = dx > 0 ? (dx > dy ? 1 : 2) : (-dx > dy ? 4 : 3);
    } else {
        octant = dx < 0 ? (-dx > -dy ? 5 : 6) : (dx > -dy ? 8 : 7);
    }
    const int bias = (octant == 3 || octant == 5 || octant == 6 || octant == 8) ? 1 : 0;
    const bool xMajor = std::abs(dx) > std::abs(dy);
    const int major = xMajor ? std::abs(dx) : std::abs(dy);
    const int minor = xMajor ? std::abs(dy) : std::abs(dx);
    const int xStep = dx < 0 ? -1 : 1;
    const int yStep = dy < 0 ? -1 : 1;
    int err = 2 * minor - major;
    int x = x0;
    int y = y0;
    for (int i = 0; i < major; ++i) {
        plot(x, y);
        if (err + bias > 0) {
            if (xMajor) {
                y += yStep;
            } else {
                x += xStep;
            }
            err += 2 * minor - 2 * major;
        } else {
            err += 2 * minor;
        }
        if (xMajor) {
            x += xStep;
        } else {
            y += yStep;
        }
    }
}

// The recorded lines painted into an image of colours with the line rule.
std::vector<ColorRef> RasteriseRecording(const CRecordingCanvas& recording, int width, int height) {
    std::vector<ColorRef> image(static_cast<std::size_t>(width) * height, kBlack);
    for (const CRecordingCanvas::Segment& segment : recording.Segments()) {
        RasteriseLikeGdi(segment.x0, segment.y0, segment.x1, segment.y1, [&](int x, int y) {
            if (x >= 0 && y >= 0 && x < width && y < height) {
                image[static_cast<std::size_t>(y) * width + x] = segment.pen.color;
            }
        });
    }
    return image;
}

// Draws `graph` both ways and compares them pixel by pixel.
void ExpectSameFrame(CImageDisplay& graph, int width, int height, const char* frame) {
    CRecordingCanvas recording;
    graph.Draw(recording);
    Surface surface(width, height);
    ASSERT_TRUE(surface.IsValid());
    {
        CGdiCanvas canvas(surface.Dc());
        graph.Draw(canvas);
    }
    const std::vector<ColorRef> expected = RasteriseRecording(recording, width, height);
    const auto labels = recording.Texts();
    // A label's cell: one 10-pixel line from its top-left point, some 6
    // pixels a character.
    const auto inLabel = [&labels](int x, int y) -> int {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            const auto& label = labels[i];
            const int cellWidth = 6 * static_cast<int>(label.text.size()) + 3;
            if (x >= label.x - 1 && x < label.x + cellWidth && y >= label.y - 1 &&
                y < label.y + 12) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    std::vector<bool> shown(labels.size(), false);
    int mismatches = 0;
    int linePixels = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const ColorRef painted = surface.At(x, y);
            const ColorRef wanted = expected[static_cast<std::size_t>(y) * width + x];
            const bool paintedLine = painted == kRed || painted == kGreen;
            if (wanted != kBlack || paintedLine) {
                linePixels += wanted != kBlack ? 1 : 0;
                if (painted != wanted && mismatches++ < 10) {
                    ADD_FAILURE() << frame << ": pixel " << x << "," << y << " is " << std::hex
                                  << painted << ", the line rule gives " << wanted;
                }
            } else if (painted != kBlack) {
                const int label = inLabel(x, y);
                EXPECT_GE(label, 0) << frame << ": text outside the labels at " << x << "," << y;
                if (label >= 0) {
                    shown[static_cast<std::size_t>(label)] = true;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << frame;
    EXPECT_GT(linePixels, width) << frame;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        EXPECT_TRUE(shown[i]) << frame << ": label " << labels[i].text << " not drawn";
    }
}

// A recording whose texts measure as the GDI canvas measures them.
class GdiMeasuredRecording : public CRecordingCanvas {
public:
    explicit GdiMeasuredRecording(CGdiCanvas& measuring) : m_measuring(measuring) {}
    void SelectFont(const FontDescription& font) override {
        CRecordingCanvas::SelectFont(font);
        m_measuring.SelectFont(font);
    }
    int MeasureText(std::string_view text) override { return m_measuring.MeasureText(text); }

private:
    CGdiCanvas& m_measuring;
};

// A bench view drawn both ways: the recorded lines rasterised with the
// line rule must be painted exactly where no text lies over them, every
// other painted pixel must lie in a text's cell (as wide as the GDI canvas
// measures the text, a pixel of slack each side, one cell height from its
// top-left point), and every text must show ink.
void ExpectSameBench(const CBenchView& view, const char* frame) {
    const int width = view.Width();
    const int height = view.Height();
    // The view lays its texts out by their measured widths: the recording
    // measures them as the GDI canvas does, on a surface of its own.
    Surface scratch(8, 8);
    ASSERT_TRUE(scratch.IsValid());
    CGdiCanvas measuring(scratch.Dc());
    GdiMeasuredRecording recording(measuring);
    view.Draw(recording);
    Surface surface(width, height);
    ASSERT_TRUE(surface.IsValid());
    {
        CGdiCanvas canvas(surface.Dc());
        view.Draw(canvas);
    }
    const std::vector<ColorRef> expected = RasteriseRecording(recording, width, height);
    const auto texts = recording.Texts();
    std::vector<int> measured;
    for (const auto& text : texts) {
        measuring.SelectFont(text.font);
        measured.push_back(measuring.MeasureText(text.text));
    }
    // The text drawn last over a pixel, as it shows on top.
    const auto inText = [&texts, &measured](int x, int y) -> int {
        for (std::size_t i = texts.size(); i-- > 0;) {
            const auto& text = texts[i];
            const int cellWidth = measured[i] + 2;
            if (x >= text.x - 1 && x < text.x + cellWidth && y >= text.y - 1 &&
                y < text.y + text.font.height + 2) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    std::vector<bool> shown(texts.size(), false);
    int mismatches = 0;
    int linePixels = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const ColorRef painted = surface.At(x, y);
            const ColorRef wanted = expected[static_cast<std::size_t>(y) * width + x];
            const int text = inText(x, y);
            if (text >= 0) {
                if (painted != kBlack && painted != wanted) {
                    shown[static_cast<std::size_t>(text)] = true;
                }
                continue;
            }
            linePixels += wanted != kBlack ? 1 : 0;
            if (painted != wanted && mismatches++ < 10) {
                ADD_FAILURE() << frame << ": pixel " << x << "," << y << " is " << std::hex
                              << painted << ", the recording gives " << wanted;
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << frame;
    EXPECT_GT(linePixels, width) << frame;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_TRUE(shown[i]) << frame << ": text \"" << texts[i].text << "\" not drawn";
    }
}

MeterSample BenchWatts(double power, int ms, SampleStatus status = SampleStatus::Ok) {
    MeterSample sample;
    sample.power = power;
    sample.status = status;
    sample.unit = PowerUnit::Watt;
    sample.range = 2; // "KV" range 2: 5 W full scale
    sample.monotonicTime = std::chrono::steady_clock::time_point{} + std::chrono::hours(1) +
                           std::chrono::milliseconds(ms);
    return sample;
}

TEST(GdiCanvas, DrawsTheBenchTilesTheRecordingHolds) {
    // Two tiles side by side, the second selected, each mode in turn on it:
    // the first keeps streaming in the range's unit beside it.
    const auto makeView = [] {
        CBenchView view;
        view.AddTile(CBenchTile("100000001", "KV", "KV50"));
        view.AddTile(CBenchTile("100000002", "KV", "KV50"));
        view.SetSize(2 * 600 + 3 * CBenchView::kGap, 300 + 2 * CBenchView::kGap);
        for (int i = 0; i < 40; ++i) {
            const double power = 2.0 + std::sin(i * 0.3);
            view.Tiles()[0].OnSample(BenchWatts(power, i * 100));
            view.Tiles()[1].OnSample(BenchWatts(power * 0.5, i * 100));
        }
        view.OnKey(kBenchKeyTab);
        return view;
    };

    CBenchView rangeUnit = makeView();
    ExpectSameBench(rangeUnit, "range unit");

    CBenchView dbm = makeView();
    dbm.OnKey('m');
    ASSERT_EQ(dbm.Tiles()[1].Mode(), BenchMode::Dbm);
    ExpectSameBench(dbm, "dBm");

    CBenchView relative = makeView();
    relative.OnKey('r');
    relative.Tiles()[1].OnSample(BenchWatts(0.6, 4000));
    ASSERT_EQ(relative.Tiles()[1].Mode(), BenchMode::Relative);
    ExpectSameBench(relative, "relative");

    CBenchView zero = makeView();
    zero.OnKey('z');
    for (int i = 0; i < 15; ++i) {
        zero.Tiles()[1].OnSample(BenchWatts(0.8 + 0.01 * i, 4000 + i * 100));
    }
    ASSERT_EQ(zero.Tiles()[1].Zero(), CBenchTile::ZeroState::Active);
    ExpectSameBench(zero, "zero");

    CBenchView reasons = makeView();
    reasons.Tiles()[0].OnSample(BenchWatts(7.0, 4000, SampleStatus::OverRange));
    reasons.Tiles()[1].SetConnected(false);
    ExpectSameBench(reasons, "Over Range and Disconnected");
}

TEST(GdiCanvas, LinesFollowThePlatformsRule) {
    // Lines in every octant, steep and flat, with ties, from a fixed seed.
    constexpr int kSize = 64;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(0, kSize - 1);
    for (int line = 0; line < 400; ++line) {
        const int x0 = coordinate(random);
        const int y0 = coordinate(random);
        const int x1 = coordinate(random);
        const int y1 = coordinate(random);
        Surface surface(kSize, kSize);
        {
            CGdiCanvas canvas(surface.Dc());
            canvas.SelectPen({kGreen, 1});
            canvas.MoveTo(x0, y0);
            canvas.LineTo(x1, y1);
        }
        std::vector<bool> expected(kSize * kSize, false);
        RasteriseLikeGdi(x0, y0, x1, y1, [&](int x, int y) { expected[y * kSize + x] = true; });
        for (int y = 0; y < kSize; ++y) {
            for (int x = 0; x < kSize; ++x) {
                ASSERT_EQ(surface.At(x, y) == kGreen, expected[y * kSize + x])
                    << x0 << "," << y0 << " to " << x1 << "," << y1 << " at " << x << "," << y;
            }
        }
    }
}

TEST(GdiCanvas, DrawsTheGraphFramesTheRecordingHolds) {
    // Autoscaled: a sine within the band.
    CImageDisplay sine;
    sine.SetDisplaySize(300, 200);
    for (int i = 0; i < 150; ++i) {
        sine.AddSample(1.0 + 0.5 * std::sin(i * 0.2));
    }
    ExpectSameFrame(sine, 300, 200, "autoscaled sine");

    // Manual limits that cut the curve: segments clipped at both edges.
    sine.SetAutoscale(false);
    sine.SetLimits(20, 140, 0.8, 1.3);
    ExpectSameFrame(sine, 300, 200, "clipped sine");

    // The window's graph area with the whole array of noisy samples.
    CImageDisplay full;
    full.SetDisplaySize(612, 232);
    full.SetSampleWindow(20000);
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.012, 0.0004);
    for (int i = 0; i < 20500; ++i) {
        full.AddSample(noise(random));
    }
    ExpectSameFrame(full, 612, 232, "20000 noisy samples");
}

TEST(GdiCanvas, LabelFontFitsItsCell) {
    FontDescription description;
    description.height = 10;
    description.width = 5;
    description.charSet = 134;
    description.faceName = "宋体";
    HFONT font = CGdiCanvas::MakeFont(description);
    ASSERT_NE(font, nullptr);
    Surface surface(8, 8);
    HGDIOBJ previous = SelectObject(surface.Dc(), font);
    TEXTMETRICW metrics{};
    ASSERT_TRUE(GetTextMetricsW(surface.Dc(), &metrics));
    SIZE digits{};
    ASSERT_TRUE(GetTextExtentPoint32W(surface.Dc(), L"0123456789", 10, &digits));
    SelectObject(surface.Dc(), previous);
    DeleteObject(font);
    EXPECT_LE(metrics.tmHeight, 11);
    EXPECT_NEAR(digits.cx / 10.0, 5.0, 1.5);
}

} // namespace
} // namespace zelmora
