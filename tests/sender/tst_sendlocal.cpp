// The sender through the real library: frames sent over "Local (Memory)" reach a decoder that
// the test opens itself, with the picture's format and exact pixels.

#include "windowtestkit.h"

#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <cstring>

using windowtest::widget;

namespace {

struct Frame {
    StreamFormat format{};
    QByteArray pixels;
};

// Owns a decoder on one port for the length of a test.
class TestDecoder
{
public:
    explicit TestDecoder(uint32_t port)
    {
        StreamFormat hint{64, 64, 1, 1};
        mHandle = zunGetDecoder(ZUN_PROTOCOL_MEMORY, &hint);
        if (mHandle)
            zunSetSourceAddress(mHandle, port);
    }
    ~TestDecoder()
    {
        if (mHandle)
            zunDeleteDecoder(mHandle);
    }
    uint32_t handle() const { return mHandle; }

    // The next frame, while the GUI thread goes on running the sender; false after the timeout.
    bool next(Frame &frame, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (const void *pixels = zunLockReadBuffer(mHandle, 0)) {
                frame.format = StreamFormat{uint16_t(zunGetRecvWidth(mHandle)), uint16_t(zunGetRecvHeight(mHandle)),
                                            uint16_t(zunGetRecvDepth(mHandle)),
                                            uint16_t(zunGetRecvOrientation(mHandle))};
                frame.pixels = QByteArray(static_cast<const char *>(pixels), int(zunGetByteSize(&frame.format)));
                zunUnlockReadBuffer(mHandle);
                return true;
            }
            QTest::qWait(1);
        }
        return false;
    }

private:
    uint32_t mHandle = 0;
};

QByteArray bytesOf(const QImage &picture)
{
    return QByteArray(reinterpret_cast<const char *>(picture.constBits()), int(picture.sizeInBytes()));
}

} // namespace

class tst_SendLocal : public QObject
{
    Q_OBJECT

private slots:
    void framesArriveWithExactPixels_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("channel");
        QTest::newRow("16-bit") << 0 << 63;
        QTest::newRow("24-bit") << 1 << 64;
        QTest::newRow("32-bit") << 2 << 65;
    }

    void framesArriveWithExactPixels()
    {
        QFETCH(int, depth);
        QFETCH(int, channel);
        TestDecoder decoder(uint32_t(channel + 10588));
        QVERIFY(decoder.handle() != 0);

        MainWindow window;
        widget<QComboBox>(window, "mSendProtocol")->setCurrentIndex(2);
        widget<QSpinBox>(window, "mSendChannel")->setValue(channel);
        // Odd width: 16- and 24-bit rows carry padding.
        widget<QSpinBox>(window, "mSendWidth")->setValue(101);
        widget<QSpinBox>(window, "mSendHeight")->setValue(37);
        widget<QComboBox>(window, "mSendDepth")->setCurrentIndex(depth);
        widget<QComboBox>(window, "mSendCompressionType")->setCurrentIndex(0);
        // One frame a second: the picture then stays as sent for a second after each frame.
        widget<QSpinBox>(window, "mSendFPS")->setValue(1);
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QVERIFY(MainWindowProbe::encoder(window) != 0);

        // A frame matches the picture as it stood when the frame arrived; a tick that drew in
        // between (a very slow machine) only moves the check on to the next frame.
        bool matched = false;
        Frame frame;
        for (int attempt = 0; attempt < 4 && !matched; ++attempt) {
            QVERIFY(decoder.next(frame, 5000));
            QCOMPARE(frame.format.width, 101);
            QCOMPARE(frame.format.height, 37);
            QCOMPARE(frame.format.depth, depth);
            matched = frame.pixels == bytesOf(MainWindowProbe::sendImage(window));
        }
        button->setChecked(false);
        QVERIFY2(matched, "no received frame equals the sent picture");
        // The picture holds a line, so this is not a grey frame matching a grey picture.
        const QImage &picture = MainWindowProbe::sendImage(window);
        QImage grey(1, 1, picture.format());
        grey.fill(Qt::gray);
        int lined = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                lined += picture.pixel(x, y) != grey.pixel(0, 0);
        QVERIFY(lined > 0);
    }
};

WINDOW_TEST_MAIN(tst_SendLocal)
#include "tst_sendlocal.moc"
