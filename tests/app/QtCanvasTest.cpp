// The Qt canvas paints the pixels the recorded drawing calls name.

#include "app/QtCanvas.h"

#include "app/TextCache.h"
#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"
#include "graph/ThinLine.h"

#include <QGuiApplication>
#include <QImage>
#include <climits>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <set>
#include <utility>

namespace zelmora {
namespace {

constexpr ColorRef kRed = Rgb(255, 0, 0);
constexpr ColorRef kGreen = Rgb(0, 255, 0);

QImage BlackImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

bool Is(const QImage& image, int x, int y, ColorRef color) {
    return image.pixel(x, y) == qRgb(RedOf(color), GreenOf(color), BlueOf(color));
}

std::set<std::pair<int, int>> PixelsOf(const QImage& image, ColorRef color) {
    std::set<std::pair<int, int>> pixels;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (Is(image, x, y, color)) {
                pixels.insert({x, y});
            }
        }
    }
    return pixels;
}

TEST(QtCanvas, LinesLeaveOutTheirEndPixel) {
    QImage image = BlackImage(20, 20);
    {
        CQtCanvas canvas(image);
        canvas.SelectPen({kRed, 1});
        canvas.MoveTo(2, 2);
        canvas.LineTo(2, 10);
        canvas.LineTo(12, 10);
        canvas.MoveTo(15, 0);
        canvas.LineTo(19, 4);
    }
    std::set<std::pair<int, int>> expected;
    for (int y = 2; y < 10; ++y) {
        expected.insert({2, y});
    }
    for (int x = 2; x < 12; ++x) {
        expected.insert({x, 10});
    }
    for (int i = 0; i < 4; ++i) {
        expected.insert({15 + i, i});
    }
    EXPECT_EQ(PixelsOf(image, kRed), expected);
}

// A line clipped at the surface's edges paints exactly the pixels the same
// line paints where the surface is large enough to hold it whole.
TEST(QtCanvas, ClippingKeepsThePixelsOfTheWholeLine) {
    constexpr int kOffset = 400;
    const int lines[][4] = {
        {-300, -250, 340, 290}, {-10, 15, 50, 16}, {35, -200, 5, 300},
        {-300, 29, 300, -1},    {20, 10, -37, 10}, {0, -300, 39, 299},
        {39, 29, -301, -17},    {-5, -5, 45, 35},  {12, 35, 13, -40},
    };
    for (const auto& line : lines) {
        QImage small = BlackImage(40, 30);
        QImage large = BlackImage(2 * kOffset, 2 * kOffset);
        {
            CQtCanvas smallCanvas(small);
            CQtCanvas largeCanvas(large);
            smallCanvas.SelectPen({kGreen, 1});
            largeCanvas.SelectPen({kGreen, 1});
            smallCanvas.MoveTo(line[0], line[1]);
            smallCanvas.LineTo(line[2], line[3]);
            largeCanvas.MoveTo(line[0] + kOffset, line[1] + kOffset);
            largeCanvas.LineTo(line[2] + kOffset, line[3] + kOffset);
        }
        EXPECT_EQ(small, large.copy(kOffset, kOffset, 40, 30))
            << line[0] << "," << line[1] << " to " << line[2] << "," << line[3];
    }

    // Far outside, even near the int limits: nothing painted, no hang.
    QImage image = BlackImage(40, 30);
    {
        CQtCanvas canvas(image);
        canvas.SelectPen({kGreen, 1});
        canvas.MoveTo(-100000000, 5);
        canvas.LineTo(100000000, 6);
        canvas.MoveTo(INT_MIN, INT_MIN);
        canvas.LineTo(INT_MAX, INT_MAX);
    }
    const auto painted = PixelsOf(image, kGreen);
    EXPECT_LE(painted.size(), 40u);
    for (const auto& [x, y] : painted) {
        EXPECT_TRUE(y == 5 || y == 6);
    }
}

// The graph drawn through the Qt canvas: axes, curve and labels stand where
// the recording says.
TEST(QtCanvas, DrawsTheGraphWhereTheRecordingSays) {
    CImageDisplay graph;
    graph.SetDisplaySize(300, 200);
    for (int i = 0; i < 150; ++i) {
        graph.AddSample(1.0 + 0.5 * std::sin(i * 0.2));
    }
    CRecordingCanvas recording;
    graph.Draw(recording);
    QImage image = BlackImage(300, 200);
    {
        CQtCanvas canvas(image);
        graph.Draw(canvas);
    }

    // Axes: down the left edge, then along the bottom, end pixels left out.
    for (int y = 10; y < 170; ++y) {
        EXPECT_TRUE(Is(image, 50, y, kRed) || Is(image, 50, y, kGreen)) << y;
    }
    EXPECT_TRUE(Is(image, 50, 9, Rgb(0, 0, 0)));
    for (int x = 51; x < 260; ++x) {
        EXPECT_FALSE(Is(image, x, 170, Rgb(0, 0, 0))) << x;
    }
    EXPECT_TRUE(Is(image, 260, 170, Rgb(0, 0, 0)));

    // Every curve segment starts on a painted pixel; the last one's end is
    // left out.
    const auto curve = recording.SegmentsOfColor(kGreen);
    ASSERT_GT(curve.size(), 100u);
    for (const auto& s : curve) {
        EXPECT_TRUE(Is(image, s.x0, s.y0, kGreen)) << s.x0 << "," << s.y0;
    }
    const auto& end = curve.back();
    EXPECT_FALSE(Is(image, end.x1, end.y1, kGreen));

    // Label text lies in the cells the recording places it in: one 10-pixel
    // line from its top-left point, about 6 pixels a character, and each
    // label shows.
    const auto labels = recording.Texts();
    ASSERT_FALSE(labels.empty());
    const auto inLabel = [&labels](int x, int y) {
        for (const auto& label : labels) {
            const int width = 6 * static_cast<int>(label.text.size()) + 2;
            if (x >= label.x && x < label.x + width && y >= label.y && y < label.y + 11) {
                return true;
            }
        }
        return false;
    };
    std::set<std::size_t> shown;
    for (const auto& [x, y] : PixelsOf(image, Rgb(255, 255, 255))) {
        EXPECT_TRUE(inLabel(x, y)) << x << "," << y;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (x >= labels[i].x && y >= labels[i].y && y < labels[i].y + 11 &&
                x < labels[i].x + 6 * static_cast<int>(labels[i].text.size()) + 2) {
                shown.insert(i);
            }
        }
    }
    EXPECT_EQ(shown.size(), labels.size());
}

// A line drawn again after text covered it is painted again, whole.
TEST(QtCanvas, LineOverTextIsPaintedAgain) {
    QImage image = BlackImage(40, 30);
    {
        CQtCanvas canvas(image);
        canvas.SetTransparentBackground();
        canvas.SetTextColor(Rgb(255, 255, 255));
        canvas.SelectPen({kGreen, 1});
        canvas.MoveTo(6, 0);
        canvas.LineTo(6, 29);
        canvas.WriteText(0, 5, "WWWW");
        canvas.MoveTo(6, 0);
        canvas.LineTo(6, 29);
    }
    for (int y = 0; y < 29; ++y) {
        EXPECT_TRUE(Is(image, 6, y, kGreen)) << y;
    }
}

// Replays a recorded drawing with every line painted on its own by the rule
// and the text through the Qt canvas, in the recorded order.
QImage DrawnLineByLine(const CRecordingCanvas& recording, int width, int height) {
    QImage image = BlackImage(width, height);
    const PixelSurface surface{reinterpret_cast<std::uint32_t*>(image.bits()),
                               image.bytesPerLine() / 4, width, height};
    std::uint32_t pixel = 0;
    ColorRef textColor = 0;
    std::size_t font = 0;
    int x = 0;
    int y = 0;
    for (const auto& call : recording.Calls()) {
        switch (call.kind) {
        case CRecordingCanvas::CallKind::SelectPen:
            pixel = qRgb(RedOf(call.pen.color), GreenOf(call.pen.color), BlueOf(call.pen.color));
            break;
        case CRecordingCanvas::CallKind::MoveTo:
            x = call.x;
            y = call.y;
            break;
        case CRecordingCanvas::CallKind::LineTo:
            PaintThinLine(surface, pixel, x, y, call.x, call.y);
            x = call.x;
            y = call.y;
            break;
        case CRecordingCanvas::CallKind::SetTextColor:
            textColor = call.color;
            break;
        case CRecordingCanvas::CallKind::SelectFont:
            font = call.font;
            break;
        case CRecordingCanvas::CallKind::WriteText: {
            CQtCanvas text(image);
            text.SetTransparentBackground();
            text.SetTextColor(textColor);
            text.SelectFont(recording.Fonts()[font]);
            text.WriteText(call.x, call.y, call.text);
            break;
        }
        case CRecordingCanvas::CallKind::TransparentBackground:
            break;
        }
    }
    return image;
}

// A dense curve, through the canvas's column reduction, has exactly the
// pixels of every segment painted on its own, labels and axes included.
TEST(QtCanvas, DenseCurveHasThePixelsOfEverySegment) {
    CImageDisplay graph;
    graph.SetDisplaySize(459, 189);
    graph.SetSampleWindow(20000);
    for (int i = 0; i < 20100; ++i) {
        graph.AddSample(i % 331 == 0 ? 2.0 : 1.0 + 0.3 * std::sin(i * 0.7) * std::sin(i * 0.0013));
    }
    CRecordingCanvas recording;
    graph.Draw(recording);
    QImage image = BlackImage(459, 189);
    {
        CQtCanvas canvas(image);
        graph.Draw(canvas);
    }
    EXPECT_GT(PixelsOf(image, kGreen).size(), 10000u);
    EXPECT_EQ(image, DrawnLineByLine(recording, 459, 189));
}

FontDescription LabelFont() {
    FontDescription description;
    description.height = 10;
    description.width = 5;
    description.weight = 400;
    description.charSet = 134;
    description.faceName = "宋体";
    return description;
}

// Text stamped from the cache has exactly QPainter's pixels: in the label
// font, near and across the image's edges, over what is already there; an
// antialiased font is left to QPainter.
TEST(QtCanvas, CachedTextHasQPaintersPixels) {
    FontDescription smooth = LabelFont();
    smooth.height = 24;
    smooth.quality = 4;
    const char* texts[] = {"0.0012", "20000", "-5", "宋体 Wg|", "", "0.000"};
    const int places[][2] = {{3, 4}, {-7, 10}, {30, -6}, {50, 25}, {-20, -20}, {58, 31}};
    for (const FontDescription& font : {LabelFont(), smooth}) {
        const QFont qfont = CQtCanvas::ToQFont(font);
        const int ascent = QFontMetrics(qfont).ascent();
        for (const char* text : texts) {
            for (const auto& place : places) {
                QImage ours = BlackImage(64, 36);
                QImage qt = BlackImage(64, 36);
                ours.fill(qRgb(0, 0, 90));
                qt.fill(qRgb(0, 0, 90));
                {
                    CQtCanvas canvas(ours);
                    canvas.SetTransparentBackground();
                    canvas.SetTextColor(Rgb(255, 200, 0));
                    canvas.SelectFont(font);
                    canvas.WriteText(place[0], place[1], text);
                    QPainter painter(&qt);
                    painter.setRenderHint(QPainter::TextAntialiasing, false);
                    painter.setFont(qfont);
                    painter.setPen(QColor(255, 200, 0));
                    painter.drawText(place[0], place[1] + ascent, QString::fromUtf8(text));
                }
                EXPECT_EQ(ours, qt) << text << " at " << place[0] << "," << place[1]
                                    << " in height " << font.height;
            }
        }
    }
    const auto labelFont = CTextCache::FontFor(LabelFont());
    EXPECT_NE(CTextCache::StampOf(*labelFont, "0.0012"), nullptr);
    EXPECT_EQ(CTextCache::StampOf(*CTextCache::FontFor(smooth), "0.0012"), nullptr);
}

TEST(QtCanvas, LabelFontFitsItsCell) {
    const QFont font = CQtCanvas::ToQFont(LabelFont());
    const QFontMetrics metrics(font);
    EXPECT_LE(metrics.height(), 10);
    EXPECT_GE(metrics.height(), 8);
    EXPECT_NEAR(metrics.horizontalAdvance(QStringLiteral("0123456789")) / 10.0, 5.0, 1.5);
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
