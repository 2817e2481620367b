// The symbol icons, drawn offscreen: every name draws inside its box, the pictures differ from each
// other, and size, colour and device pixel ratio are honoured.

#include <gtest/gtest.h>

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/ui/SymbolImage.h"

using namespace velunto;

namespace {

const std::vector<std::string> kRequiredNames = {
    "mic.fill",
    "sparkles",
    "power",
    "power.circle",
    "slider.vertical.3",
    "slider.horizontal.3",
    "headphones",
    "speaker.wave.2",
    "video.fill",
    "video.badge.exclamationmark",
    "timer",
    "macwindow",
    "stopwatch",
    "arrow.triangle.2.circlepath",
    "envelope",
    "xmark.circle",
    "exclamationmark.triangle",
    "exclamationmark.triangle.fill",
    "ear.trianglebadge.exclamationmark",
    "arrow.uturn.backward",
    "minus.circle",
    "plus.circle",
    "checkmark.circle",
    "info.circle",
    "chevron.up.chevron.down",
    "keyboard",
    "Logo",
};

class SymbolImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QGuiApplication::instance() != nullptr)
            return;
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char program[] = "velunto_ui_symbol_tests";
        static char* argv[] = {program, nullptr};
        new QGuiApplication(argc, argv);  // lives until the process ends
    }

    static QImage render(const std::string& name, int points, qreal ratio = 1, const QColor& color = Qt::black) {
        return SymbolImage::pixmap(name, points, color, ratio).toImage().convertToFormat(QImage::Format_ARGB32);
    }

    static QImage canvas(int width, int height) {
        QImage image(width, height, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        return image;
    }

    static int inkCount(const QImage& image, int minAlpha = 128) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += qAlpha(image.pixel(x, y)) >= minAlpha ? 1 : 0;
        return count;
    }

    static QRect inkBounds(const QImage& image) {
        QRect bounds;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) > 0)
                    bounds |= QRect(x, y, 1, 1);
        return bounds;
    }

    // Pixels whose coverage differs clearly between two images of the same size.
    static int differingPixels(const QImage& a, const QImage& b) {
        int count = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                count += std::abs(qAlpha(a.pixel(x, y)) - qAlpha(b.pixel(x, y))) > 96 ? 1 : 0;
        return count;
    }

    // The mean coverage difference, 0 (same) to 1 (opposite).
    static double meanDifference(const QImage& a, const QImage& b) {
        double sum = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                sum += std::abs(qAlpha(a.pixel(x, y)) - qAlpha(b.pixel(x, y)));
        return sum / (255.0 * a.width() * a.height());
    }

    // Averages 2x2 blocks of coverage.
    static QImage halved(const QImage& image) {
        QImage result = canvas(image.width() / 2, image.height() / 2);
        for (int y = 0; y < result.height(); ++y)
            for (int x = 0; x < result.width(); ++x) {
                const int alpha =
                    (qAlpha(image.pixel(2 * x, 2 * y)) + qAlpha(image.pixel(2 * x + 1, 2 * y)) +
                     qAlpha(image.pixel(2 * x, 2 * y + 1)) + qAlpha(image.pixel(2 * x + 1, 2 * y + 1)) + 2) /
                    4;
                result.setPixel(x, y, qRgba(0, 0, 0, alpha));
            }
        return result;
    }
};

// First in the file, so that the icons are built here, by several threads at once.
TEST_F(SymbolImageTest, PaintsFromSeveralThreadsAtOnce) {
    std::vector<std::vector<QImage>> results(4);
    std::vector<std::thread> threads;
    for (auto& images : results) {
        threads.emplace_back([&images] {
            for (const auto& name : kRequiredNames) {
                QImage image = canvas(24, 24);
                QPainter painter(&image);
                SymbolImage::paint(painter, name, QRectF(0, 0, 24, 24), Qt::black);
                painter.end();
                images.push_back(image);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const auto& images : results) {
        ASSERT_EQ(images.size(), kRequiredNames.size());
        for (size_t i = 0; i < images.size(); ++i)
            EXPECT_EQ(images[i], render(kRequiredNames[i], 24)) << kRequiredNames[i];
    }
}

TEST_F(SymbolImageTest, KnowsExactlyTheNamesTheViewsUse) {
    const std::vector<std::string> names = SymbolImage::names();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              std::set<std::string>(kRequiredNames.begin(), kRequiredNames.end()));
    for (const auto& name : kRequiredNames)
        EXPECT_TRUE(SymbolImage::hasSymbol(name)) << name;
    for (const char* unknown : {"", "mic", "MIC.FILL", "mic.fill ", "logo", "exclamationmark.triangle.fill.fill"})
        EXPECT_FALSE(SymbolImage::hasSymbol(unknown)) << unknown;
}

TEST_F(SymbolImageTest, EveryIconDrawsCentredInsideItsBox) {
    for (const auto& name : kRequiredNames) {
        for (int points : {16, 24, 32}) {
            for (qreal ratio : {1.0, 2.0}) {
                SCOPED_TRACE(name + " at " + std::to_string(points) + "pt x" + std::to_string(ratio));
                const QImage image = render(name, points, ratio);
                const int side = qRound(points * ratio);
                ASSERT_EQ(image.size(), QSize(side, side));
                // Solid ink: at least a sixteenth of the box, and not all of it.
                const int ink = inkCount(image);
                EXPECT_GE(ink, side * side / 16);
                EXPECT_LE(ink, side * side * 3 / 4);
                // A clear border, and the ink's middle near the box's middle.
                const QRect bounds = inkBounds(image);
                EXPECT_TRUE(QRect(1, 1, side - 2, side - 2).contains(bounds)) << bounds.x() << "," << bounds.y();
                const QPointF offset = QRectF(bounds).center() - QPointF(side / 2.0, side / 2.0);
                EXPECT_LE(std::abs(offset.x()), side * 0.08);
                EXPECT_LE(std::abs(offset.y()), side * 0.08);
            }
        }
    }
}

TEST_F(SymbolImageTest, PaintStaysInItsBoxAndCentresInWideBoxes) {
    for (const auto& name : kRequiredNames) {
        SCOPED_TRACE(name);
        // The 32x32 square in the middle of a 64x32 box, at an offset on a larger canvas.
        QImage image = canvas(100, 60);
        {
            QPainter painter(&image);
            SymbolImage::paint(painter, name, QRectF(10, 20, 64, 32), Qt::black);
        }
        const QRect bounds = inkBounds(image);
        EXPECT_TRUE(QRect(26, 20, 32, 32).contains(bounds));
        EXPECT_EQ(image.copy(26, 20, 32, 32), render(name, 32));
    }
}

TEST_F(SymbolImageTest, DifferentNamesGiveDifferentPictures) {
    std::vector<QImage> images;
    for (const auto& name : kRequiredNames)
        images.push_back(render(name, 32));
    for (size_t i = 0; i < images.size(); ++i)
        for (size_t j = i + 1; j < images.size(); ++j)
            // At least a 4x4 block's worth of pixels differs, even between plus and minus.
            EXPECT_GE(differingPixels(images[i], images[j]), 16) << kRequiredNames[i] << " vs " << kRequiredNames[j];
}

TEST_F(SymbolImageTest, PaintsInTheGivenColourWithoutDarkeningWhereLinesMeet) {
    for (const auto& name : kRequiredNames) {
        SCOPED_TRACE(name);
        const QImage black = render(name, 24);
        const QImage orange = render(name, 24, 1, QColor(255, 140, 0));
        const QColor halfBlue(20, 60, 230, 128);
        const QImage translucent = render(name, 24, 1, halfBlue);
        int maxAlpha = 0;
        for (int y = 0; y < 24; ++y) {
            for (int x = 0; x < 24; ++x) {
                const QRgb o = orange.pixel(x, y);
                // The shape does not depend on the colour.
                ASSERT_EQ(qAlpha(o), qAlpha(black.pixel(x, y)));
                if (qAlpha(o) == 255) {
                    EXPECT_EQ(o, qRgb(255, 140, 0));
                }
                const QRgb t = translucent.pixel(x, y);
                maxAlpha = std::max(maxAlpha, qAlpha(t));
                if (qAlpha(t) >= 120) {
                    EXPECT_LE(std::abs(qBlue(t) - 230) + std::abs(qGreen(t) - 60) + std::abs(qRed(t) - 20), 12);
                }
            }
        }
        // One fill for the whole icon: overlapping strokes do not add up to more than the colour's alpha.
        EXPECT_NEAR(maxAlpha, 128, 1);
    }
}

TEST_F(SymbolImageTest, TwiceTheRatioGivesTwiceThePixelsAndTheSameLook) {
    for (const auto& name : kRequiredNames) {
        SCOPED_TRACE(name);
        const QPixmap sharp = SymbolImage::pixmap(name, 24, Qt::black, 2);
        EXPECT_EQ(sharp.size(), QSize(48, 48));
        EXPECT_DOUBLE_EQ(sharp.devicePixelRatio(), 2);
        EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(24, 24));
        const QImage single = render(name, 24);
        const double same = meanDifference(halved(sharp.toImage().convertToFormat(QImage::Format_ARGB32)), single);
        EXPECT_LT(same, 0.05);
        // Far closer to its own 1x picture than the nearest other icon is.
        for (const auto& other : kRequiredNames) {
            if (other != name) {
                EXPECT_LT(same * 2, meanDifference(render(other, 24), single)) << other;
            }
        }
    }
    EXPECT_EQ(SymbolImage::pixmap("power", 16, Qt::black, 1.5).size(), QSize(24, 24));
}

TEST_F(SymbolImageTest, StrokesAreATwelfthOfTheSize) {
    // Down the middle of minus.circle: the ring's top, the bar and the ring's bottom.
    for (int points : {24, 48, 96}) {
        SCOPED_TRACE(points);
        const QImage image = render("minus.circle", points);
        std::vector<int> runs;
        int run = 0;
        for (int y = 0; y < points; ++y) {
            if (qAlpha(image.pixel(points / 2, y)) >= 128) {
                ++run;
            } else if (run > 0) {
                runs.push_back(run);
                run = 0;
            }
        }
        ASSERT_EQ(runs.size(), 3u);
        for (int length : runs)
            EXPECT_NEAR(length, points / 12.0, 1.0);
    }
}

TEST_F(SymbolImageTest, FilledVariantIsFilledAroundItsCutOutMark) {
    const QImage outline = render("exclamationmark.triangle", 32);
    const QImage filled = render("exclamationmark.triangle.fill", 32);
    EXPECT_GT(inkCount(filled), inkCount(outline) * 3 / 2);
    // The exclamation mark's bar: ink in the outline, a hole in the filled triangle; the space beside it
    // the other way round.
    const QPoint bar(16, 16);
    const QPoint beside(13, 16);
    EXPECT_EQ(qAlpha(outline.pixel(bar)), 255);
    EXPECT_EQ(qAlpha(filled.pixel(bar)), 0);
    EXPECT_EQ(qAlpha(outline.pixel(beside)), 0);
    EXPECT_EQ(qAlpha(filled.pixel(beside)), 255);
}

TEST_F(SymbolImageTest, IconHoldsTheSharpPixmapsForEverySizeAndRatio) {
    const QIcon icon = SymbolImage::icon("sparkles", Qt::darkGreen);
    ASSERT_FALSE(icon.isNull());
    for (int size : {16, 20, 24, 32}) {
        for (qreal ratio : {1.0, 2.0}) {
            SCOPED_TRACE(std::to_string(size) + " x" + std::to_string(ratio));
            const QPixmap fromIcon = icon.pixmap(QSize(size, size), ratio);
            EXPECT_DOUBLE_EQ(fromIcon.devicePixelRatio(), ratio);
            EXPECT_EQ(fromIcon.toImage().convertToFormat(QImage::Format_ARGB32),
                      render("sparkles", size, ratio, Qt::darkGreen));
        }
    }
}

TEST_F(SymbolImageTest, UnknownNamesDrawNothing) {
    const QPixmap pixmap = SymbolImage::pixmap("no.such.symbol", 20, Qt::black, 2);
    EXPECT_EQ(pixmap.size(), QSize(40, 40));
    EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), 2);
    EXPECT_EQ(inkCount(pixmap.toImage().convertToFormat(QImage::Format_ARGB32), 1), 0);
    EXPECT_TRUE(SymbolImage::icon("no.such.symbol", Qt::black).isNull());

    QImage image = canvas(32, 32);
    image.fill(Qt::white);
    const QImage before = image;
    {
        QPainter painter(&image);
        SymbolImage::paint(painter, "no.such.symbol", QRectF(0, 0, 32, 32), Qt::black);
        SymbolImage::paint(painter, "power", QRectF(0, 0, 0, 32), Qt::black);
    }
    EXPECT_EQ(image, before);
    EXPECT_TRUE(SymbolImage::pixmap("power", 0, Qt::black, 1).isNull());
}

// All icons at 16, 24 and 32 points, at 1x and 2x (one device pixel per sheet pixel), 16 points enlarged
// four times, and light on dark; written for a person to look at.
TEST_F(SymbolImageTest, WritesAContactSheet) {
    struct Column {
        int points;
        qreal ratio;
        int magnify;
        bool dark;
    };
    const Column columns[] = {{16, 1, 1, false}, {24, 1, 1, false}, {32, 1, 1, false},
                              {16, 2, 1, false}, {24, 2, 1, false}, {32, 2, 1, false},
                              {16, 1, 4, false}, {16, 1, 1, true},  {32, 2, 1, true}};
    const int labelWidth = 250, cell = 72, header = 28;
    QImage sheet(labelWidth + cell * static_cast<int>(std::size(columns)),
                 header + cell * static_cast<int>(kRequiredNames.size()), QImage::Format_ARGB32);
    sheet.fill(QColor(250, 250, 250));
    QPainter painter(&sheet);
    QFont font = painter.font();
    font.setPixelSize(13);
    painter.setFont(font);
    for (size_t c = 0; c < std::size(columns); ++c) {
        const Column& column = columns[c];
        const int left = labelWidth + static_cast<int>(c) * cell;
        if (column.dark)
            painter.fillRect(left, 0, cell, sheet.height(), QColor(40, 40, 44));
        painter.setPen(column.dark ? Qt::lightGray : Qt::darkGray);
        const QString title = column.magnify > 1 ? QStringLiteral("%1 x%2").arg(column.points).arg(column.magnify)
                                                 : QStringLiteral("%1@%2x").arg(column.points).arg(column.ratio);
        painter.drawText(left + 4, 18, title);
        for (size_t row = 0; row < kRequiredNames.size(); ++row) {
            const QColor color = column.dark ? QColor(235, 235, 240) : Qt::black;
            QImage image = SymbolImage::pixmap(kRequiredNames[row], column.points, color, column.ratio).toImage();
            image.setDevicePixelRatio(1);
            const QSize size = image.size() * column.magnify;
            const QPoint at(left + (cell - size.width()) / 2,
                            header + static_cast<int>(row) * cell + (cell - size.height()) / 2);
            painter.drawImage(QRect(at, size), image);
        }
    }
    painter.setPen(Qt::black);
    for (size_t row = 0; row < kRequiredNames.size(); ++row)
        painter.drawText(QRect(8, header + static_cast<int>(row) * cell, labelWidth - 16, cell), Qt::AlignVCenter,
                         QString::fromStdString(kRequiredNames[row]));
    painter.end();
    EXPECT_TRUE(sheet.save(QStringLiteral("/tmp/velunto-symbols.png")));
}

}  // namespace
