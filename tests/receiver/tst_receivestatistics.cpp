// Receive statistics: the once-a-second refresh of the eight labels.

#include "windowtestkit.h"

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QSpinBox>
#include <QtTest>

using windowtest::widget;

namespace {

const char *const kLabels[] = {"mReceiveTransferBytesPerFrame", "mReceiveImageBytesPerFrame",
                               "mReceiveBytesPerSecond", "mCompressedSize", "mWidth", "mHeight",
                               "mDepth", "mFPS"};

QStringList labelTexts(MainWindow &window)
{
    QStringList texts;
    for (const char *name : kLabels)
        texts << widget<QLabel>(window, name)->text();
    return texts;
}

int64_t now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Keeps the window's own statistics tick from refreshing while a test feeds frames.
void holdRefresh(MainWindow &window)
{
    MainWindowProbe::statsStartTime(window) = now() + 3600 * 1000;
}

// A refresh that is due now, made directly; returns the start time the window had.
int64_t refreshNow(MainWindow &window)
{
    const int64_t start = now() - 1000;
    MainWindowProbe::statsStartTime(window) = start;
    MainWindowProbe::updateWindow(window);
    return start;
}

void receiveOne(MainWindow &window, const StreamFormat &format, uint32_t compressed)
{
    const int64_t before = MainWindowProbe::recvFrames(window);
    // At least one byte: the stand-in hands out an empty frame as no frame.
    recording::queueFrame(format, std::vector<uint8_t>(std::max(1u, zunGetByteSize(&format)), 0x55), compressed);
    QTRY_COMPARE(MainWindowProbe::recvFrames(window), before + 1);
}

void startReceiving(MainWindow &window, int channel)
{
    widget<QSpinBox>(window, "mReceiveChannel")->setValue(channel);
    widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);
}

const QStringList kInitialTexts{"0", "0", "0", "0", "0", "0", "N/A", "0"};

} // namespace

class tst_ReceiveStatistics : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void nothingChangesWithinFirstSecond()
    {
        MainWindow window;
        QCOMPARE(labelTexts(window), kInitialTexts);
        MainWindowProbe::recvFrames(window) = 5;
        const int64_t start = MainWindowProbe::statsStartTime(window);
        QVERIFY(now() - start < 1000);
        MainWindowProbe::updateWindow(window);
        QCOMPARE(labelTexts(window), kInitialTexts);
        QCOMPARE(MainWindowProbe::recvFrames(window), int64_t(5));
        QCOMPARE(MainWindowProbe::statsStartTime(window), start);
    }

    void oneSecondOfFrames()
    {
        MainWindow window;
        startReceiving(window, 70);
        holdRefresh(window);
        const StreamFormat vga{640, 480, 1, 1};
        for (int i = 0; i < 24; ++i)
            receiveOne(window, vga, 40);
        receiveOne(window, vga, 39); // 999 bytes in 25 frames

        const int64_t start = refreshNow(window);
        QCOMPARE(labelTexts(window),
                 (QStringList{"39", "921600", QString::number(25 * 921600), "999", "640", "480", "24-bit", "25"}));
        QCOMPARE(MainWindowProbe::statsStartTime(window), start + 1000);
        QCOMPARE(MainWindowProbe::recvFrames(window), int64_t(0));
        QCOMPARE(MainWindowProbe::recvCompressedBytes(window), int64_t(0));
        QCOMPARE(MainWindowProbe::recvImageBytes(window), int64_t(0));

        // A depth code without a name leaves the depth label as it was.
        holdRefresh(window);
        receiveOne(window, StreamFormat{320, 240, 4, 1}, 10);
        refreshNow(window);
        QCOMPARE(labelTexts(window), (QStringList{"10", "0", "0", "10", "320", "240", "24-bit", "1"}));

        holdRefresh(window);
        receiveOne(window, StreamFormat{16, 8, 0, 1}, 256);
        receiveOne(window, StreamFormat{16, 8, 3, 1}, 128);
        refreshNow(window);
        QCOMPARE(labelTexts(window), (QStringList{"192", "128", "384", "384", "16", "8", "8-bit", "2"}));
    }

    void withoutFramesOnlyFpsChanges()
    {
        MainWindow window;
        startReceiving(window, 71);
        holdRefresh(window);
        receiveOne(window, StreamFormat{100, 50, 2, 1}, 5000);
        refreshNow(window);
        const QStringList withFrames{"5000", "20000", "20000", "5000", "100", "50", "32-bit", "1"};
        QCOMPARE(labelTexts(window), withFrames);

        // A stream that stopped: worker there, no frames.
        refreshNow(window);
        QStringList expected = withFrames;
        expected.last() = "0";
        QCOMPARE(labelTexts(window), expected);

        // Receiving off, with counts left over from before.
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(0);
        MainWindowProbe::recvFrames(window) = 3;
        refreshNow(window);
        expected.last() = "3";
        QCOMPARE(labelTexts(window), expected);
        refreshNow(window);
        expected.last() = "0";
        QCOMPARE(labelTexts(window), expected);
    }

    void startTimeAdvancesByExactlyOneSecond()
    {
        MainWindow window;
        const int64_t start = now() - 5432;
        MainWindowProbe::statsStartTime(window) = start;
        MainWindowProbe::updateWindow(window);
        QCOMPARE(MainWindowProbe::statsStartTime(window), start + 1000);
        // Still behind the clock: the next refresh acts at once and advances again.
        MainWindowProbe::updateWindow(window);
        QCOMPARE(MainWindowProbe::statsStartTime(window), start + 2000);
    }

    void largeAverageDoesNotWrap()
    {
        MainWindow window;
        startReceiving(window, 72);
        holdRefresh(window);
        receiveOne(window, StreamFormat{4, 4, 1, 1}, 1);
        MainWindowProbe::recvFrames(window) = 2;
        MainWindowProbe::recvCompressedBytes(window) = int64_t(3000000000) * 2 + 1;
        refreshNow(window);
        QCOMPARE(widget<QLabel>(window, "mReceiveTransferBytesPerFrame")->text(), QString("3000000000"));
        QCOMPARE(widget<QLabel>(window, "mCompressedSize")->text(), QString("6000000001"));
    }
};

WINDOW_TEST_MAIN(tst_ReceiveStatistics)
#include "tst_receivestatistics.moc"
