// The test pattern generator: one random line per call, drawn onto the send picture.

#include "windowtestkit.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {

struct Line {
    int x1, y1, x2, y2;
    QColor colour;
};

// The line that the generator draws for the next seven values of engine, on a W x H picture.
Line predictLine(std::minstd_rand &engine, int64_t width, int64_t height)
{
    auto draw = [&engine] { return int64_t(engine() % 32768); };
    Line line{};
    line.x1 = int(draw() * width / 32767);
    line.y1 = int(draw() * height / 32767);
    line.x2 = int(draw() * width / 32767);
    line.y2 = int(draw() * height / 32767);
    const int red = int(draw() * 255 / 32767);
    const int green = int(draw() * 255 / 32767);
    const int blue = int(draw() * 255 / 32767);
    line.colour = QColor(red, green, blue);
    return line;
}

double distanceToSegment(double px, double py, const Line &line)
{
    const double dx = line.x2 - line.x1, dy = line.y2 - line.y1;
    const double lengthSquared = dx * dx + dy * dy;
    double t = lengthSquared > 0 ? ((px - line.x1) * dx + (py - line.y1) * dy) / lengthSquared : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (line.x1 + t * dx), py - (line.y1 + t * dy));
}

// A colour as a picture of the given format stores it.
QRgb stored(const QColor &colour, QImage::Format format)
{
    QImage pixel(1, 1, format);
    pixel.fill(colour);
    return pixel.pixel(0, 0);
}

QImage greyPicture(int width, int height, QImage::Format format)
{
    QImage picture(width, height, format);
    picture.fill(Qt::gray);
    return picture;
}

// The engine state whose next value is `value`: minstd_rand multiplies by 48271 modulo 2^31 - 1.
std::minstd_rand engineGiving(uint32_t value)
{
    const int64_t modulus = 2147483647, multiplier = 48271;
    // inverse of the multiplier by Fermat: a^(m-2) mod m
    int64_t inverse = 1, base = multiplier, exponent = modulus - 2;
    while (exponent > 0) {
        if (exponent & 1)
            inverse = inverse * base % modulus;
        base = base * base % modulus;
        exponent >>= 1;
    }
    return std::minstd_rand(uint32_t(int64_t(value) * inverse % modulus));
}

const QImage::Format kFormats[] = {QImage::Format_RGB16, QImage::Format_RGB888, QImage::Format_RGB32};

} // namespace

class tst_TestPattern : public QObject
{
    Q_OBJECT

private slots:
    void twoCallsLeaveTwoLinesOnGrey_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("16-bit") << int(QImage::Format_RGB16);
        QTest::newRow("24-bit") << int(QImage::Format_RGB888);
        QTest::newRow("32-bit") << int(QImage::Format_RGB32);
    }

    void twoCallsLeaveTwoLinesOnGrey()
    {
        QFETCH(int, format);
        const auto imageFormat = QImage::Format(format);
        MainWindow window;
        QImage &picture = MainWindowProbe::sendImage(window);
        picture = greyPicture(200, 150, imageFormat);
        const uchar *pixelsBefore = picture.constBits();

        std::minstd_rand engine;
        const Line lines[] = {predictLine(engine, 200, 150), predictLine(engine, 200, 150)};
        MainWindowProbe::drawEncoderImage(window);
        MainWindowProbe::drawEncoderImage(window);
        QCOMPARE(picture.constBits(), pixelsBefore); // drawn in place
        QCOMPARE(picture.format(), imageFormat);

        const QRgb grey = stored(Qt::gray, imageFormat);
        const QRgb colours[] = {stored(lines[0].colour, imageFormat), stored(lines[1].colour, imageFormat)};
        int painted[2] = {0, 0};
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const double near0 = distanceToSegment(x + 0.5, y + 0.5, lines[0]);
                const double near1 = distanceToSegment(x + 0.5, y + 0.5, lines[1]);
                const QRgb pixel = picture.pixel(x, y);
                if (near0 > 3 && near1 > 3) {
                    QVERIFY2(pixel == grey, qPrintable(QStringLiteral("stray pixel at %1,%2").arg(x).arg(y)));
                    continue;
                }
                if (pixel == colours[1] && near1 <= 3)
                    ++painted[1];
                else if (pixel == colours[0] && near0 <= 3)
                    ++painted[0];
                else
                    QVERIFY2(pixel == grey, qPrintable(QStringLiteral("wrong colour at %1,%2").arg(x).arg(y)));
            }
        }
        // The first line may be partly covered by the second, never wholly by a longer one here.
        QVERIFY(painted[0] > 0);
        QVERIFY(painted[1] > 0);
    }

    void largestDrawReachesTheEdge()
    {
        MainWindow window;
        QImage &picture = MainWindowProbe::sendImage(window);
        picture = greyPicture(128, 128, QImage::Format_RGB32);
        // x1 comes from 32767 and so lies at 128, one past the last column; the painter clips it.
        MainWindowProbe::random(window) = engineGiving(32767);
        std::minstd_rand engine = engineGiving(32767);
        const Line line = predictLine(engine, 128, 128);
        QCOMPARE(line.x1, 128);
        MainWindowProbe::drawEncoderImage(window);

        const QRgb colour = stored(line.colour, QImage::Format_RGB32);
        bool edgeReached = false;
        for (int y = std::max(0, line.y1 - 2); y <= std::min(127, line.y1 + 2); ++y)
            edgeReached = edgeReached || picture.pixel(127, y) == colour;
        QVERIFY(edgeReached);
        // Nothing wraps round to the other side.
        if (line.x2 > 4) {
            for (int y = 0; y < 128; ++y)
                QCOMPARE(picture.pixel(0, y), stored(Qt::gray, QImage::Format_RGB32));
        }
    }

    void sameDrawsSameLinesInEveryFormat()
    {
        QImage pictures[3];
        for (int i = 0; i < 3; ++i) {
            MainWindow window;
            QImage &picture = MainWindowProbe::sendImage(window);
            picture = greyPicture(96, 64, kFormats[i]);
            for (int call = 0; call < 25; ++call)
                MainWindowProbe::drawEncoderImage(window);
            pictures[i] = picture;
        }
        // 24- and 32-bit hold the colours exactly; 16-bit holds them with 5, 6 and 5 bits.
        QCOMPARE(pictures[1].convertToFormat(QImage::Format_RGB32), pictures[2]);
        QCOMPARE(pictures[2].convertToFormat(QImage::Format_RGB16), pictures[0]);
    }
};

WINDOW_TEST_MAIN(tst_TestPattern)
#include "tst_testpattern.moc"
