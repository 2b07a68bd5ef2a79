// The bench view: tiles that fill the window at any size, keys and clicks
// for every action, and each tile's drawing checked to the pixel on the
// recording canvas in every mode.

#include "window/BenchView.h"

#include "graph/RecordingCanvas.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zelmora {
namespace {

using Text = CRecordingCanvas::Text;
using Segment = CRecordingCanvas::Segment;
using View = CBenchView;

MeterSample Watts(double power, int ms, SampleStatus status = SampleStatus::Ok) {
    MeterSample sample;
    sample.power = power;
    sample.status = status;
    sample.unit = PowerUnit::Watt;
    sample.range = 2; // "KV" range 2: 5 W full scale, "%.3lfW"
    sample.monotonicTime = std::chrono::steady_clock::time_point{} + std::chrono::hours(1) +
                           std::chrono::milliseconds(ms);
    return sample;
}

CBenchView ViewOf(int tiles, int width, int height) {
    CBenchView view;
    for (int i = 0; i < tiles; ++i) {
        view.AddTile(CBenchTile(std::to_string(100000001 + i), "KV", "KV50"));
    }
    view.SetSize(width, height);
    return view;
}

const Text* FindText(const std::vector<Text>& texts, const std::string& text) {
    const auto it =
        std::find_if(texts.begin(), texts.end(), [&](const Text& t) { return t.text == text; });
    return it != texts.end() ? &*it : nullptr;
}

std::vector<Text> Draw(const CBenchView& view) {
    CRecordingCanvas canvas;
    view.Draw(canvas);
    return canvas.Texts();
}

TEST(BenchViewLayout, TilesFillTheWindowWithoutOverlap) {
    struct Case {
        int tiles;
        int width;
        int height;
        int columns;
    };
    const Case cases[] = {{1, 640, 400, 1},   {3, 1200, 400, 3}, {3, 400, 1200, 1},
                          {3, 800, 600, 2},   {4, 1000, 640, 2}, {15, 1600, 900, 4},
                          {15, 3840, 600, 8}, {2, 13, 11, 1}};
    for (const Case& c : cases) {
        const std::string where = std::to_string(c.tiles) + " tiles on " + std::to_string(c.width) +
                                  "x" + std::to_string(c.height);
        CBenchView view = ViewOf(c.tiles, c.width, c.height);
        EXPECT_EQ(view.Columns(), c.columns) << where;
        const std::vector<BenchRect> rects = view.TileRects();
        ASSERT_EQ(rects.size(), static_cast<std::size_t>(c.tiles)) << where;
        int right = 0;
        int bottom = 0;
        for (std::size_t i = 0; i < rects.size(); ++i) {
            const BenchRect& r = rects[i];
            EXPECT_GE(r.x, View::kGap) << where;
            EXPECT_GE(r.y, View::kGap) << where;
            EXPECT_LE(r.x + r.width, c.width - View::kGap) << where;
            EXPECT_LE(r.y + r.height, c.height - View::kGap) << where;
            right = std::max(right, r.x + r.width);
            bottom = std::max(bottom, r.y + r.height);
            for (std::size_t j = 0; j < i; ++j) {
                const BenchRect& o = rects[j];
                const bool apart = r.x >= o.x + o.width || o.x >= r.x + r.width ||
                                   r.y >= o.y + o.height || o.y >= r.y + r.height;
                EXPECT_TRUE(apart) << where << ": tiles " << j << " and " << i;
            }
        }
        // The grid reaches the window's edges.
        EXPECT_EQ(right, c.width - View::kGap) << where;
        EXPECT_EQ(bottom, c.height - View::kGap) << where;
        // Drawing a view too small for its tiles is harmless.
        CRecordingCanvas canvas;
        view.Draw(canvas);
    }
}

TEST(BenchViewInput, KeysReachEveryActionAndEveryTile) {
    CBenchView view = ViewOf(3, 1200, 400);
    EXPECT_EQ(view.Focus(), 0u);
    EXPECT_TRUE(view.OnKey(kBenchKeyTab));
    EXPECT_TRUE(view.OnKey(kBenchKeyRight));
    EXPECT_EQ(view.Focus(), 2u);
    EXPECT_TRUE(view.OnKey(kBenchKeyDown));
    EXPECT_EQ(view.Focus(), 0u);
    EXPECT_TRUE(view.OnKey(kBenchKeyBackTab));
    EXPECT_EQ(view.Focus(), 2u);
    EXPECT_TRUE(view.OnKey(kBenchKeyLeft));
    EXPECT_TRUE(view.OnKey(kBenchKeyUp));
    EXPECT_EQ(view.Focus(), 0u);
    EXPECT_TRUE(view.OnKey('2'));
    EXPECT_EQ(view.Focus(), 1u);
    EXPECT_FALSE(view.OnKey('4'));
    EXPECT_EQ(view.Focus(), 1u);
    EXPECT_FALSE(view.OnKey('x'));

    CBenchTile& tile = view.Tiles()[1];
    tile.OnSample(Watts(2.0, 0));
    EXPECT_TRUE(view.OnKey('R'));
    EXPECT_EQ(tile.Reference(), 2.0);
    EXPECT_EQ(tile.Mode(), BenchMode::Relative);
    EXPECT_TRUE(view.OnKey('m'));
    EXPECT_EQ(tile.Mode(), BenchMode::RangeUnit);
    EXPECT_TRUE(view.OnKey('M'));
    EXPECT_EQ(tile.Mode(), BenchMode::Dbm);
    EXPECT_TRUE(view.OnKey('z'));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Taking);
    EXPECT_TRUE(view.OnKey('Z'));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
    EXPECT_TRUE(tile.Describe().hasPeak);
    EXPECT_TRUE(view.OnKey('p'));
    EXPECT_FALSE(tile.Describe().hasPeak);
    tile.OnSample(Watts(2.0, 100));
    EXPECT_TRUE(view.OnKey(' '));
    EXPECT_FALSE(tile.Describe().hasPeak);
    // The other tiles were left alone.
    EXPECT_EQ(view.Tiles()[0].Mode(), BenchMode::RangeUnit);
    EXPECT_EQ(view.Tiles()[2].Zero(), CBenchTile::ZeroState::Off);

    CBenchView empty;
    EXPECT_FALSE(empty.OnKey(kBenchKeyTab));
    EXPECT_FALSE(empty.OnKey('p'));
}

TEST(BenchViewInput, AClickSelectsATileAndPressesItsButtons) {
    CBenchView view = ViewOf(3, 1200, 400);
    const std::vector<BenchRect> rects = view.TileRects();
    const View::TileLayout layout = View::LayOutTile(rects[2]);
    const auto centre = [](const BenchRect& r) {
        return std::pair{r.x + r.width / 2, r.y + r.height / 2};
    };

    auto [x, y] = centre(layout.trend);
    EXPECT_TRUE(view.OnClick(x, y));
    EXPECT_EQ(view.Focus(), 2u);
    EXPECT_EQ(view.Tiles()[2].Zero(), CBenchTile::ZeroState::Off);

    std::tie(x, y) = centre(layout.buttons[static_cast<int>(BenchAction::Zero)]);
    EXPECT_TRUE(view.OnClick(x, y));
    EXPECT_EQ(view.Tiles()[2].Zero(), CBenchTile::ZeroState::Taking);

    std::tie(x, y) =
        centre(View::LayOutTile(rects[0]).buttons[static_cast<int>(BenchAction::Mode)]);
    EXPECT_TRUE(view.OnClick(x, y));
    EXPECT_EQ(view.Focus(), 0u);
    EXPECT_EQ(view.Tiles()[0].Mode(), BenchMode::Dbm);

    // Between the tiles nothing happens.
    EXPECT_FALSE(view.OnClick(rects[1].x - 1, rects[1].y + 10));
    EXPECT_EQ(view.Focus(), 0u);
}

// One tile of 600 x 300 pixels, checked in each mode.
class BenchTileDrawing : public ::testing::Test {
protected:
    BenchTileDrawing() : view(ViewOf(1, 600 + 2 * View::kGap, 300 + 2 * View::kGap)) {
        layout = View::LayOutTile(view.TileRects()[0]);
    }

    CBenchTile& Tile() { return view.Tiles()[0]; }

    // The large text and the unit beside it.
    void ExpectDigits(const std::string& value, const std::string& unit, ColorRef color) {
        const std::vector<Text> texts = Draw(view);
        const Text* digits = FindText(texts, value);
        ASSERT_NE(digits, nullptr) << value;
        EXPECT_EQ(digits->x, layout.bar.x);
        EXPECT_EQ(digits->y, layout.digitsY);
        EXPECT_EQ(digits->color, color);
        // Readable from across the bench: the digits' cell is at least a
        // third of the tile, and the text fits the tile.
        EXPECT_GE(digits->font.height * 3, layout.frame.height);
        EXPECT_EQ(digits->font.weight, 700);
        const int right = layout.frame.x + layout.frame.width;
        EXPECT_LE(digits->x + digits->font.width * static_cast<int>(value.size()), right);
        if (unit.empty()) {
            return;
        }
        const Text* unitText = FindText(texts, unit);
        ASSERT_NE(unitText, nullptr) << unit;
        EXPECT_GT(unitText->x, digits->x + digits->font.width * static_cast<int>(value.size()) - 1);
        EXPECT_LE(unitText->x + unitText->font.width * static_cast<int>(unit.size()), right);
        // Bottom-aligned with the digits' cell.
        EXPECT_EQ(unitText->y + unitText->font.height, layout.digitsY + layout.digitsHeight);
        EXPECT_EQ(unitText->color, color);
    }

    // The bar's filled rows, as drawn.
    std::vector<Segment> BarFill(ColorRef color) {
        CRecordingCanvas canvas;
        view.Draw(canvas);
        return canvas.SegmentsOfColor(color);
    }

    CBenchView view;
    View::TileLayout layout;
};

TEST_F(BenchTileDrawing, RangeUnitWithBarAndPeak) {
    Tile().OnSample(Watts(4.0, 0));
    Tile().OnSample(Watts(2.0, 100));
    ExpectDigits("2.000", "W", View::kDigitColor);

    // 2 W of 5 W fills two fifths of the bar's inside, every inside row.
    const int inside = layout.bar.width - 2;
    const std::vector<Segment> fill = BarFill(View::kBarColor);
    ASSERT_EQ(fill.size(), static_cast<std::size_t>(layout.bar.height - 2));
    for (std::size_t row = 0; row < fill.size(); ++row) {
        const int y = layout.bar.y + 1 + static_cast<int>(row);
        EXPECT_EQ(
            fill[row],
            (Segment{
                layout.bar.x + 1, y, layout.bar.x + 1 + inside * 2 / 5, y, {View::kBarColor, 1}}));
    }
    // The peak marker, three pixels wide, at 4 W of 5 W, above and below
    // the bar.
    const std::vector<Segment> peak = BarFill(View::kPeakColor);
    ASSERT_EQ(peak.size(), 3u);
    const int peakX = layout.bar.x + 1 + inside * 4 / 5;
    EXPECT_EQ(peak[1], (Segment{peakX,
                                layout.bar.y - 2,
                                peakX,
                                layout.bar.y + layout.bar.height + 2,
                                {View::kPeakColor, 1}}));
    const std::vector<Text> texts = Draw(view);
    ASSERT_NE(FindText(texts, "50.0% of peak"), nullptr);
    ASSERT_NE(FindText(texts, "Range unit"), nullptr);
    ASSERT_NE(FindText(texts, "mean 3.000W  std 33.33%  min 2.000W  max 4.000W"), nullptr);
    ASSERT_NE(FindText(texts, "100000001  KV50"), nullptr);
    for (const char* button : {"P Reset", "M Mode", "Z Zero", "R Ref"}) {
        EXPECT_NE(FindText(texts, button), nullptr) << button;
    }
    // The trend: one step from 4 W down to 2 W across its last tenth of a
    // second.
    CRecordingCanvas canvas;
    view.Draw(canvas);
    const std::vector<Segment> trend = canvas.SegmentsOfColor(View::kTrendColor);
    ASSERT_EQ(trend.size(), 1u);
    const BenchRect& t = layout.trend;
    EXPECT_EQ(trend[0].x1, t.x + t.width - 1);
    EXPECT_EQ(trend[0].y0, t.y);
    EXPECT_EQ(trend[0].y1, t.y + t.height - 1);
}

TEST_F(BenchTileDrawing, Dbm) {
    Tile().SetMode(BenchMode::Dbm);
    Tile().OnSample(Watts(1.0, 0));
    ExpectDigits("30.00", "dBm", View::kDigitColor);
    Tile().OnSample(Watts(0, 100));
    ExpectDigits("---", "dBm", View::kDigitColor);
}

TEST_F(BenchTileDrawing, RelativeInDbAndPercent) {
    Tile().OnSample(Watts(2.0, 0));
    ASSERT_TRUE(Tile().TakeReference());
    Tile().OnSample(Watts(1.0, 100));
    ExpectDigits("-3.01", "dB", View::kDigitColor);
    const std::vector<Text> texts = Draw(view);
    ASSERT_NE(FindText(texts, "50.0%"), nullptr);
    ASSERT_NE(FindText(texts, "Relative to 2.000W"), nullptr);
}

TEST_F(BenchTileDrawing, ZeroIsMarkedWhileTakenAndInForce) {
    Tile().OnSample(Watts(0.5, 0));
    Tile().ToggleZero();
    const Text* mark = nullptr;
    std::vector<Text> texts = Draw(view);
    mark = FindText(texts, "ZEROING");
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->color, View::kZeroColor);
    Tile().OnSample(Watts(0.5, 100));
    Tile().OnSample(Watts(1.5, 1100));
    ExpectDigits("1.000", "W", View::kDigitColor);
    texts = Draw(view);
    mark = FindText(texts, "ZERO 0.500W");
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->color, View::kZeroColor);
    EXPECT_EQ(mark->y, layout.lineY);
}

TEST_F(BenchTileDrawing, ReasonsInLargeText) {
    ExpectDigits("Waiting", "", View::kReasonColor);
    Tile().OnSample(Watts(7.0, 0, SampleStatus::OverRange));
    ExpectDigits("Over Range", "", View::kOverRangeColor);
    // The bar full, in the colour of the warning.
    EXPECT_EQ(BarFill(View::kOverRangeColor).size(),
              static_cast<std::size_t>(layout.bar.height - 2));
    EXPECT_TRUE(BarFill(View::kBarColor).empty());
    Tile().SetConnected(false);
    ExpectDigits("Disconnected", "", View::kReasonColor);
    Tile().OnSample(Watts(1.0, 100, SampleStatus::NoConversion));
    ExpectDigits("No conversion", "", View::kReasonColor);
}

TEST_F(BenchTileDrawing, TextSizesFollowTheTile) {
    Tile().OnSample(Watts(1.0, 0));
    for (const auto& [width, height] : {std::pair{200, 120}, std::pair{1900, 1000}}) {
        view.SetSize(width, height);
        layout = View::LayOutTile(view.TileRects()[0]);
        ExpectDigits("1.000", "W", View::kDigitColor);
    }
}

// A face narrower than the stand-in: three fifths of the width asked for.
class NarrowFaceCanvas : public CRecordingCanvas {
public:
    int MeasureText(std::string_view text) override {
        return CRecordingCanvas::MeasureText(text) * 3 / 5;
    }
};

TEST_F(BenchTileDrawing, TheUnitFollowsTheDigitsAsTheCanvasMeasuresThem) {
    Tile().OnSample(Watts(2.0, 0));
    NarrowFaceCanvas canvas;
    view.Draw(canvas);
    const std::vector<Text> texts = canvas.Texts();
    const Text* digits = FindText(texts, "2.000");
    const Text* unit = FindText(texts, "W");
    ASSERT_NE(digits, nullptr);
    ASSERT_NE(unit, nullptr);
    // Where the digits end on this face, with a quarter of the unit's
    // height between: not where the stand-in width would end them.
    const int digitsEnd = digits->x + digits->font.width * 5 * 3 / 5;
    EXPECT_EQ(unit->x, digitsEnd + unit->font.height / 4);
}

TEST_F(BenchTileDrawing, ATextTooWideForItsRoomIsNarrowedUntilItFits) {
    // A face wider than asked for: each narrowing falls short of the room
    // it aims at, so the text is measured again.
    class WideFaceCanvas : public CRecordingCanvas {
    public:
        int MeasureText(std::string_view text) override {
            return CRecordingCanvas::MeasureText(text) * 3 / 2 + 7;
        }
    } canvas;
    Tile().OnSample(Watts(2.0, 0));
    view.SetSize(200, 120);
    layout = View::LayOutTile(view.TileRects()[0]);
    view.Draw(canvas);
    const int right = layout.frame.x + layout.frame.width;
    for (const Text& text : canvas.Texts()) {
        const int width = (text.font.width * static_cast<int>(text.text.size())) * 3 / 2 + 7;
        if (text.font.width > 1) {
            EXPECT_LE(text.x + width, right) << text.text;
        }
    }
}

} // namespace
} // namespace zelmora
