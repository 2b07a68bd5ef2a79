#pragma once

// The bench view without a toolkit: one tile per meter, laid out to fill
// the window, drawn through the Canvas seam, worked by keys and clicks.
// A host presents a canvas of the view's size cleared to kBackground,
// passes its keys and clicks in, feeds the tiles their meters' samples and
// draws again when an input says so.
//
// Keys (every action has one, so the view works without a mouse):
//   Tab, Right, Down / Shift+Tab, Left, Up  the next / previous tile
//   1 to 9                                   that tile
//   P or Space                               reset the tile's peak and statistics
//   M                                        the next display mode
//   Z                                        zero (the next second), or end the zero
//   R                                        take the reference, show relative
// A click selects the tile under it; a click on one of the tile's buttons
// also does its action.
//
// Everything runs on the window's thread.

#include "graph/Canvas.h"
#include "window/BenchTile.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zelmora {

struct BenchRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool Contains(int px, int py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
    bool operator==(const BenchRect&) const = default;
};

// Keys other than the characters, which are passed as themselves.
enum BenchKey : int {
    kBenchKeyTab = 0x1001,
    kBenchKeyBackTab,
    kBenchKeyLeft,
    kBenchKeyRight,
    kBenchKeyUp,
    kBenchKeyDown,
};

// The tile's actions, as keys and as buttons.
enum class BenchAction : std::uint8_t { ResetPeak, Mode, Zero, Reference };

class CBenchView {
public:
    static constexpr ColorRef kBackground = Rgb(0, 0, 0);
    static constexpr ColorRef kTextColor = Rgb(255, 255, 255);
    static constexpr ColorRef kDigitColor = Rgb(255, 255, 0);
    static constexpr ColorRef kReasonColor = Rgb(160, 160, 160);
    static constexpr ColorRef kOverRangeColor = Rgb(255, 64, 64);
    static constexpr ColorRef kZeroColor = Rgb(255, 160, 0);
    static constexpr ColorRef kBarColor = Rgb(0, 200, 0);
    static constexpr ColorRef kPeakColor = Rgb(255, 0, 0);
    static constexpr ColorRef kFrameColor = Rgb(90, 90, 90);
    static constexpr ColorRef kFocusColor = Rgb(0, 200, 255);
    static constexpr ColorRef kTrendColor = Rgb(0, 255, 0);
    // Room between tiles and around them.
    static constexpr int kGap = 4;

    // The parts of one tile, in the view's pixels.
    struct TileLayout {
        BenchRect frame;
        int titleY = 0;
        int titleHeight = 0;
        int digitsY = 0;
        int digitsHeight = 0;
        int lineY = 0;
        int lineHeight = 0;
        BenchRect bar;
        int statsY = 0;
        int statsHeight = 0;
        BenchRect trend;
        BenchRect buttons[4]; // in the order of BenchAction
    };

    void SetSize(int width, int height);
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // The tiles in the order they are shown; a new tile goes last.
    CBenchTile& AddTile(CBenchTile tile);
    std::vector<CBenchTile>& Tiles() { return m_tiles; }
    const std::vector<CBenchTile>& Tiles() const { return m_tiles; }
    // The tile of this meter; null when none.
    CBenchTile* FindTile(const std::string& meterId);

    std::size_t Focus() const { return m_focus; }

    // True when the view must be drawn again.
    bool OnKey(int key);
    bool OnClick(int x, int y);
    void Do(BenchAction action);

    // Columns and rows of the grid, and each tile's place in it.
    int Columns() const;
    std::vector<BenchRect> TileRects() const;
    static TileLayout LayOutTile(const BenchRect& frame);

    void Draw(Canvas& canvas) const;

private:
    void DrawTile(Canvas& canvas, const CBenchTile& tile, const BenchRect& frame,
                  bool focused) const;

    int m_width = 0;
    int m_height = 0;
    std::vector<CBenchTile> m_tiles;
    std::size_t m_focus = 0;
};

} // namespace zelmora
