// Measures, with the real library over "Local (Memory)":
//  - the frame rate the window's sender reaches for a 640x480 24-bit picture at FPS 15, 30
//    and 100, counted by a decoder of the bench's own;
//  - the GUI thread's cost of handling one received 1920x1080 24-bit frame: frameReceived with
//    the receive picture updated, the same with the label painted at once, and without Update.
// Usage: windowrates [seconds per rate, default 5]

#include "windowtestkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kRateChannel = 75;
constexpr int kFrameChannel = 76;

template<typename Widget>
Widget *widget(QWidget &window, const char *name)
{
    return window.findChild<Widget *>(QLatin1String(name));
}

void runEvents(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Counts frames arriving on a port, on a thread of its own.
class FrameCounter
{
public:
    explicit FrameCounter(uint32_t port)
    {
        StreamFormat hint{640, 480, 1, 1};
        mDecoder = zunGetDecoder(ZUN_PROTOCOL_MEMORY, &hint);
        zunSetSourceAddress(mDecoder, port);
        mThread = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                if (zunLockReadBuffer(mDecoder, 0)) {
                    zunUnlockReadBuffer(mDecoder);
                    mFrames.fetch_add(1);
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
    }
    ~FrameCounter()
    {
        mThread.request_stop();
        mThread.join();
        zunDeleteDecoder(mDecoder);
    }
    bool ok() const { return mDecoder != 0; }
    int64_t frames() const { return mFrames.load(); }

private:
    uint32_t mDecoder = 0;
    std::atomic<int64_t> mFrames{0};
    std::jthread mThread;
};

void measureSendRate(int fps, int seconds)
{
    FrameCounter counter(kRateChannel + 10588);
    MainWindow window;
    widget<QComboBox>(window, "mSendProtocol")->setCurrentIndex(2);
    widget<QSpinBox>(window, "mSendChannel")->setValue(kRateChannel);
    widget<QSpinBox>(window, "mSendWidth")->setValue(640);
    widget<QSpinBox>(window, "mSendHeight")->setValue(480);
    widget<QComboBox>(window, "mSendDepth")->setCurrentIndex(1);
    widget<QComboBox>(window, "mSendCompressionType")->setCurrentIndex(0);
    widget<QSpinBox>(window, "mSendFPS")->setValue(fps);
    widget<QPushButton>(window, "mSendButton")->setChecked(true);
    if (!counter.ok() || MainWindowProbe::encoder(window) == 0) {
        std::printf("FPS %3d: could not open encoder or decoder\n", fps);
        return;
    }
    runEvents(1000); // past the first tick and into the steady rate
    const int64_t before = counter.frames();
    QElapsedTimer timer;
    timer.start();
    runEvents(seconds * 1000);
    const double elapsed = timer.elapsed() / 1000.0;
    const double reached = double(counter.frames() - before) / elapsed;
    widget<QPushButton>(window, "mSendButton")->setChecked(false);
    // What a frame takes beyond the tick interval: the tick's own work plus the timer's lateness.
    const double overhead = reached > 0 ? 1000.0 / reached - 1000 / fps : 0;
    std::printf("FPS %3d (interval %3d ms): %6.1f frames/s received, %5.1f%% of the setting, "
                "%.2f ms per frame beyond the interval\n",
                fps, 1000 / fps, reached, 100.0 * reached / fps, overhead);
}

void measureReceiveCost(bool update, bool paint)
{
    constexpr int kCalls = 200;
    MainWindow window;
    window.show();
    auto *display = widget<QWidget>(window, "mReceiveDisplay");
    widget<QCheckBox>(window, "mReceiveUpdate")->setChecked(update);
    widget<QSpinBox>(window, "mReceiveChannel")->setValue(kFrameChannel);
    widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);

    // A 1080p source of the bench's own, 30 frames a second.
    StreamFormat format{1920, 1080, 1, 1};
    QImage picture(1920, 1080, QImage::Format_RGB888);
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x)
            picture.setPixel(x, y, qRgb(x & 255, y & 255, (x ^ y) & 255));
    const uint32_t encoder = zunGetEncoder(ZUN_PROTOCOL_MEMORY, &format);
    zunSetDestFormat(encoder, &format, 0, 0);
    zunSetDestAddress(encoder, "", kFrameChannel + 10588);
    std::jthread source([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            zunEncode(encoder, picture.constBits());
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });

    QElapsedTimer wait;
    wait.start();
    while (MainWindowProbe::recvFrames(window) == 0 && wait.elapsed() < 5000)
        runEvents(10);
    if (MainWindowProbe::recvFrames(window) == 0) {
        std::printf("1080p receive: no frame arrived\n");
    } else {
        std::vector<double> costs;
        for (int i = 0; i < kCalls; ++i) {
            QElapsedTimer timer;
            timer.start();
            MainWindowProbe::frameReceived(window);
            if (paint)
                display->repaint();
            costs.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::sort(costs.begin(), costs.end());
        double sum = 0;
        for (double c : costs)
            sum += c;
        std::printf("1080p frameReceived%s, Update %s: median %.2f ms, mean %.2f ms, 95th %.2f ms (%d calls)\n",
                    paint ? " + repaint" : "", update ? "on " : "off", costs[kCalls / 2], sum / kCalls,
                    costs[kCalls * 95 / 100], kCalls);
    }
    source.request_stop();
    source.join();
    zunDeleteEncoder(encoder);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    std::printf("cores: %d\n", QThread::idealThreadCount());
    for (int fps : {15, 30, 100})
        measureSendRate(fps, seconds);
    measureReceiveCost(true, false);
    measureReceiveCost(true, true);
    measureReceiveCost(false, false);
    return 0;
}
