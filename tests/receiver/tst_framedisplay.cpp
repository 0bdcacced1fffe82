// Received frames: shown in the receive picture while Update is ticked, and counted.

#include "windowtestkit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSpinBox>
#include <QtTest>

using windowtest::widget;

namespace {

// A 24-bit picture with a distinct colour per pixel, as the library would hand it out.
QImage testPicture(int width, int height, int seed)
{
    QImage picture(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            picture.setPixel(x, y, qRgb((x * 9 + seed) & 255, (y * 5 + seed) & 255, (x + y + seed) & 255));
    return picture;
}

std::vector<uint8_t> bytesOf(const QImage &picture)
{
    return {picture.constBits(), picture.constBits() + picture.sizeInBytes()};
}

StreamFormat formatOf(int width, int height, int depth)
{
    return StreamFormat{uint16_t(width), uint16_t(height), uint16_t(depth), 1};
}

QImage shown(MainWindow &window)
{
    return widget<QLabel>(window, "mReceiveDisplay")->pixmap().toImage();
}

void startReceiving(MainWindow &window, int channel)
{
    widget<QSpinBox>(window, "mReceiveChannel")->setValue(channel);
    widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);
}

} // namespace

class tst_FrameDisplay : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void framesAreShownAndCounted()
    {
        MainWindow window;
        startReceiving(window, 60);
        const QImage picture = testPicture(41, 30, 3);
        recording::queueFrame(formatOf(41, 30, 1), bytesOf(picture), 1234);
        QTRY_COMPARE(MainWindowProbe::recvFrames(window), int64_t(1));
        QCOMPARE(MainWindowProbe::recvCompressedBytes(window), int64_t(1234));
        QCOMPARE(MainWindowProbe::recvImageBytes(window), int64_t(picture.sizeInBytes()));
        QCOMPARE(shown(window).convertToFormat(QImage::Format_RGB888), picture);

        // 8-bit frames clear the picture but count in all three counters.
        recording::queueFrame(formatOf(40, 30, 3), std::vector<uint8_t>(1200, 9), 600);
        QTRY_COMPARE(MainWindowProbe::recvFrames(window), int64_t(2));
        QCOMPARE(MainWindowProbe::recvCompressedBytes(window), int64_t(1234 + 600));
        QCOMPARE(MainWindowProbe::recvImageBytes(window), int64_t(picture.sizeInBytes() + 1200));
        QVERIFY(shown(window).isNull());
    }

    void uncheckedUpdateKeepsPictureWhileCounting()
    {
        MainWindow window;
        startReceiving(window, 61);
        const QImage first = testPicture(20, 10, 1);
        recording::queueFrame(formatOf(20, 10, 1), bytesOf(first), 10);
        QTRY_COMPARE(MainWindowProbe::recvFrames(window), int64_t(1));
        widget<QCheckBox>(window, "mReceiveUpdate")->setChecked(false);

        for (int i = 0; i < 3; ++i) {
            recording::queueFrame(formatOf(20, 10, 1), bytesOf(testPicture(20, 10, 50 + i)), 10);
            QTRY_COMPARE(MainWindowProbe::recvFrames(window), int64_t(2 + i));
        }
        QCOMPARE(MainWindowProbe::recvCompressedBytes(window), int64_t(40));
        QCOMPARE(shown(window).convertToFormat(QImage::Format_RGB888), first);

        widget<QCheckBox>(window, "mReceiveUpdate")->setChecked(true);
        const QImage next = testPicture(20, 10, 99);
        recording::queueFrame(formatOf(20, 10, 1), bytesOf(next), 10);
        QTRY_COMPARE(MainWindowProbe::recvFrames(window), int64_t(5));
        QCOMPARE(shown(window).convertToFormat(QImage::Format_RGB888), next);
    }

    void notificationAfterSwitchOffChangesNothing()
    {
        MainWindow window;
        startReceiving(window, 62);
        int emitted = 0;
        connect(MainWindowProbe::streamDecoder(window), &zunStreamDecoder::frameReceived, this,
                [&emitted] { ++emitted; }, Qt::DirectConnection);
        recording::queueFrame(formatOf(8, 8, 1), bytesOf(testPicture(8, 8, 0)), 77);
        // Without letting the GUI thread handle events: the worker takes the frame, then receiving
        // is switched off, which waits for the worker's pass and its notification to finish.
        QElapsedTimer timer;
        timer.start();
        while (recording::queuedFrames() > 0 && timer.elapsed() < 10000)
            QThread::msleep(1);
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(0);
        QCOMPARE(emitted, 1);

        QCoreApplication::processEvents(); // the queued notification arrives now
        QCOMPARE(MainWindowProbe::recvFrames(window), int64_t(0));
        QCOMPARE(MainWindowProbe::recvCompressedBytes(window), int64_t(0));
        QCOMPARE(MainWindowProbe::recvImageBytes(window), int64_t(0));
        QVERIFY(shown(window).isNull());
    }
};

WINDOW_TEST_MAIN(tst_FrameDisplay)
#include "tst_framedisplay.moc"
