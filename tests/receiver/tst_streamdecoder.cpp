// The receive worker on its own thread, against the recording stand-in of the library.

#include "windowtestkit.h"
#include "zunstreamdecoder.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

StreamFormat makeFormat(int width, int height, int depth, int orientation = 1)
{
    return StreamFormat{uint16_t(width), uint16_t(height), uint16_t(depth), uint16_t(orientation)};
}

std::vector<uint8_t> patternBytes(size_t count, uint8_t seed)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

uint32_t paddedSize(const StreamFormat &format)
{
    return zunGetByteSize(&format);
}

// A worker running on its thread, wired as the window wires it.
struct RunningWorker {
    std::unique_ptr<zunStreamDecoder> worker;
    std::unique_ptr<QThread> thread;
    int frames = 0; // notifications delivered to the test's thread

    RunningWorker(QObject *context, int protocol, int channel)
        : worker(std::make_unique<zunStreamDecoder>(protocol, makeFormat(320, 240, 1), channel))
        , thread(std::make_unique<QThread>())
    {
        QObject::connect(thread.get(), &QThread::started, worker.get(), &zunStreamDecoder::decoderThread);
        worker->moveToThread(thread.get());
        QObject::connect(worker.get(), &zunStreamDecoder::frameReceived, context, [this] { ++frames; });
        thread->start();
    }

    void stop()
    {
        if (!thread)
            return;
        worker->endDecoder();
        thread->quit();
        thread->wait();
        worker.reset();
        thread.reset();
    }

    ~RunningWorker() { stop(); }
};

} // namespace

class tst_StreamDecoder : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void opensDecoderOnChannelPort()
    {
        const StreamFormat requested = makeFormat(321, 123, 1);
        {
            zunStreamDecoder worker(3, requested, 41);
            QCOMPARE(worker.decoderHandle(), 2u);
            QCOMPARE(worker.frameFormat().width, 0);
            QCOMPARE(worker.frameFormat().height, 0);
            QCOMPARE(worker.frameFormat().depth, 0);
            QCOMPARE(worker.frameFormat().orientation, 0);
            QVERIFY(worker.image().isNull());
        }
        const auto calls = recording::calls();
        QCOMPARE(calls.size(), size_t(4));
        QCOMPARE(calls[0].name, "zunGetDecoder");
        QCOMPARE(calls[0].args[0], 3);
        QCOMPARE(calls[0].format.width, 321);
        QCOMPARE(calls[0].format.height, 123);
        QCOMPARE(calls[1].name, "zunSetSourceAddress");
        QCOMPARE(calls[1].args, (std::vector<int64_t>{2, 41 + 10588}));
        QCOMPARE(calls[2].name, "zunSetAdaptiveBuffer");
        QCOMPARE(calls[2].args, (std::vector<int64_t>{2, 1}));
        QCOMPARE(calls[3].name, "zunDeleteDecoder");
        QCOMPARE(calls[3].args, (std::vector<int64_t>{2}));
    }

    void failedDecoderOnlySleeps()
    {
        recording::setDecoderResult(0);
        recording::queueFrame(makeFormat(4, 4, 1), patternBytes(48, 1), 48);
        {
            RunningWorker running(this, 1, 42);
            QTest::qWait(50);
            QCOMPARE(running.frames, 0);
        }
        QCOMPARE(recording::callNames(), std::vector<std::string>{"zunGetDecoder"});
        QCOMPARE(recording::queuedFrames(), size_t(1));
    }

    void depthCodesGiveImageFormats_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("format");
        QTest::newRow("16-bit") << 0 << int(QImage::Format_RGB16);
        QTest::newRow("24-bit") << 1 << int(QImage::Format_RGB888);
        QTest::newRow("32-bit") << 2 << int(QImage::Format_RGB32);
        QTest::newRow("8-bit") << 3 << int(QImage::Format_Invalid);
        QTest::newRow("code 4") << 4 << int(QImage::Format_Invalid);
    }

    void depthCodesGiveImageFormats()
    {
        QFETCH(int, depth);
        QFETCH(int, format);
        // An odd width, so 16- and 24-bit rows carry padding.
        const StreamFormat sent = makeFormat(13, 7, depth, 1);
        const size_t size = depth <= 3 ? paddedSize(sent) : 64;
        const auto pixels = patternBytes(size, uint8_t(depth));
        recording::queueFrame(sent, pixels, 99);

        RunningWorker running(this, 3, 43);
        QTRY_COMPARE(running.frames, 1);
        const StreamFormat got = running.worker->frameFormat();
        QCOMPARE(got.width, 13);
        QCOMPARE(got.height, 7);
        QCOMPARE(got.depth, depth);
        QCOMPARE(got.orientation, 1);

        const QImage image = running.worker->image();
        if (format == QImage::Format_Invalid) {
            QVERIFY(image.isNull());
            return;
        }
        QCOMPARE(int(image.format()), format);
        QCOMPARE(image.size(), QSize(13, 7));
        QCOMPARE(size_t(image.sizeInBytes()), size);
        QVERIFY(std::equal(pixels.begin(), pixels.end(), image.constBits()));
    }

    void formatReadsKeepLowBits()
    {
        // Width and height keep 16 bits, depth and orientation 8: 0x103 becomes code 3.
        const StreamFormat sent{uint16_t(8), uint16_t(2), uint16_t(0x103), uint16_t(0x201)};
        recording::queueFrame(sent, patternBytes(16, 3), 16);
        RunningWorker running(this, 3, 44);
        QTRY_COMPARE(running.frames, 1);
        QCOMPARE(running.worker->frameFormat().depth, 3);
        QCOMPARE(running.worker->frameFormat().orientation, 1);
        QVERIFY(running.worker->image().isNull());
    }

    void shortFrameGivesNullImage()
    {
        const StreamFormat sent = makeFormat(10, 10, 1);
        recording::setByteSizeShortfall(1);
        recording::queueFrame(sent, patternBytes(paddedSize(sent), 5), 10);
        RunningWorker running(this, 3, 45);
        QTRY_COMPARE(running.frames, 1);
        QCOMPARE(running.worker->frameFormat().width, 10);
        QVERIFY(running.worker->image().isNull());
    }

    void heldImageStaysWholeWhileFramesArrive()
    {
        const StreamFormat sent = makeFormat(64, 48, 2);
        const size_t size = paddedSize(sent);
        RunningWorker running(this, 3, 46);
        recording::queueFrame(sent, patternBytes(size, 10), 1);
        QTRY_COMPARE(running.frames, 1);
        const QImage first = running.worker->image();
        QVERIFY(!first.isNull());

        for (int i = 0; i < 20; ++i)
            recording::queueFrame(sent, patternBytes(size, uint8_t(20 + i)), 1);
        QTRY_COMPARE(running.frames, 21);

        const auto firstPixels = patternBytes(size, 10);
        QVERIFY(std::equal(firstPixels.begin(), firstPixels.end(), first.constBits()));
        const auto lastPixels = patternBytes(size, 39);
        const QImage last = running.worker->image();
        QVERIFY(std::equal(lastPixels.begin(), lastPixels.end(), last.constBits()));
    }

    void readersNeverSeeTornFrames()
    {
        // Frame k: every byte k, size by k. Readers spin on image() and frameFormat() while the
        // worker copies frames back to back; neither side touches the stand-in's lock meanwhile,
        // so only the worker's own hand-over orders them (which a race detector then checks).
        constexpr int kFrames = 400;
        auto formatFor = [](int k) { return makeFormat(16 + (k & 255) % 5, 8 + (k & 255) % 3, 2); };
        for (int k = 0; k < kFrames; ++k) {
            const StreamFormat format = formatFor(k);
            recording::queueFrame(format, std::vector<uint8_t>(paddedSize(format), uint8_t(k)), 1);
        }
        std::atomic<int> copied{0};
        zunStreamDecoder worker(3, makeFormat(1, 1, 1), 50);
        QThread thread;
        connect(&thread, &QThread::started, &worker, &zunStreamDecoder::decoderThread);
        worker.moveToThread(&thread);
        connect(&worker, &zunStreamDecoder::frameReceived, &worker,
                [&copied] { copied.fetch_add(1, std::memory_order_relaxed); }, Qt::DirectConnection);
        thread.start();

        int checked = 0;
        auto checkNewest = [&worker, &checked, &formatFor] {
            const StreamFormat format = worker.frameFormat();
            const QImage image = worker.image();
            if (format.width != 0)
                QVERIFY(format.width >= 16 && format.width < 21 && format.height >= 8 && format.height < 11);
            if (image.isNull())
                return;
            const uchar value = image.constBits()[0];
            const StreamFormat expected = formatFor(value);
            QCOMPARE(image.width(), int(expected.width));
            QCOMPARE(image.height(), int(expected.height));
            const auto *bytes = image.constBits();
            QVERIFY(std::all_of(bytes, bytes + image.sizeInBytes(), [value](uchar b) { return b == value; }));
            ++checked;
        };
        QElapsedTimer timer;
        timer.start();
        while (copied.load(std::memory_order_relaxed) < kFrames && timer.elapsed() < 60000
               && !QTest::currentTestFailed())
            checkNewest();
        // A descheduled reader may miss every frame in flight; the newest one stays readable.
        if (!QTest::currentTestFailed())
            checkNewest();
        worker.endDecoder();
        thread.quit();
        thread.wait();
        QCOMPARE(copied.load(), kFrames);
        QVERIFY(checked > 0);
    }

    void imageOutlivesWorker()
    {
        const StreamFormat sent = makeFormat(16, 16, 1);
        const auto pixels = patternBytes(paddedSize(sent), 77);
        recording::queueFrame(sent, pixels, 1);
        QImage kept;
        {
            RunningWorker running(this, 3, 47);
            QTRY_COMPARE(running.frames, 1);
            kept = running.worker->image();
        }
        QVERIFY(std::equal(pixels.begin(), pixels.end(), kept.constBits()));
    }

    void stopIsPromptWithoutFrames()
    {
        RunningWorker running(this, 3, 48);
        QTRY_VERIFY(recording::emptyPolls() > 2);
        QElapsedTimer timer;
        timer.start();
        running.stop();
        // Generous: the loop sleeps 1 ms per empty poll, so anything near this bound means a hang.
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }

    void quitDuringLoopStillEndsThread()
    {
        RunningWorker running(this, 3, 49);
        QTRY_VERIFY(recording::emptyPolls() > 2);
        running.thread->quit(); // arrives while the polling loop holds the thread
        QTest::qWait(20);
        QVERIFY(running.thread->isRunning());
        running.worker->endDecoder();
        QVERIFY(running.thread->wait(QDeadlineTimer(10000)));
        QVERIFY(running.thread->isFinished());
    }
};

WINDOW_TEST_MAIN(tst_StreamDecoder)
#include "tst_streamdecoder.moc"
