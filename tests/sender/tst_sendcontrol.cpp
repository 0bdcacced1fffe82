// Send start and stop: the library calls they make and the controls they disable and enable.

#include "windowtestkit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QtTest>

using windowtest::callNames;
using windowtest::widget;

namespace {

// The controls that a start disables, in the order it disables them.
const char *const kStreamControls[] = {"mSendConfig", "mSendAddress", "mSendChannel", "mSendDepth",
                                       "mSendHeight", "mSendProtocol", "mSendWidth",
                                       "mSendCompressionType", "mSendCompressionLevel"};
const char *const kLiveControls[] = {"mSendFPS", "mSendUpdate", "mSendSave", "mSendButton"};

QStringList disabledControls(QWidget &window)
{
    QStringList disabled;
    for (const char *name : kStreamControls)
        if (!widget<QWidget>(window, name)->isEnabled())
            disabled << QLatin1String(name);
    for (const char *name : kLiveControls)
        if (!widget<QWidget>(window, name)->isEnabled())
            disabled << QLatin1String(name);
    return disabled;
}

// What is disabled while not sending: only the address field, and only for "Local (Memory)".
QStringList disabledWhenIdle(QWidget &window)
{
    return widget<QComboBox>(window, "mSendProtocol")->currentIndex() == 2 ? QStringList{"mSendAddress"}
                                                                             : QStringList{};
}

} // namespace

class tst_SendControl : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void startAndStopCalls_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("expectedWidth");
        QTest::addColumn<int>("expectedHeight");
        QTest::addColumn<int>("imageFormat");

        QTest::newRow("multicast, sizes 0, 24-bit, raw")
            << 0 << 0 << 0 << 1 << 0 << 37 << 40 << "239.255.105.88" << 128 << 128 << int(QImage::Format_RGB888);
        QTest::newRow("tcp, 640x480, 16-bit, jpeg")
            << 1 << 640 << 480 << 0 << 1 << 55 << 41 << "127.0.0.1" << 640 << 480 << int(QImage::Format_RGB16);
        QTest::newRow("memory, one size 0, 32-bit, raw, address field disabled")
            << 2 << 321 << 0 << 2 << 0 << 0 << 79 << "10.1.2.3" << 321 << 128 << int(QImage::Format_RGB32);
    }

    void startAndStopCalls()
    {
        QFETCH(int, protocol);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, depth);
        QFETCH(int, compression);
        QFETCH(int, level);
        QFETCH(int, channel);
        QFETCH(QString, address);
        QFETCH(int, expectedWidth);
        QFETCH(int, expectedHeight);
        QFETCH(int, imageFormat);

        MainWindow window;
        widget<QLineEdit>(window, "mSendAddress")->setText(address);
        widget<QComboBox>(window, "mSendProtocol")->setCurrentIndex(protocol);
        widget<QSpinBox>(window, "mSendWidth")->setValue(width);
        widget<QSpinBox>(window, "mSendHeight")->setValue(height);
        widget<QComboBox>(window, "mSendDepth")->setCurrentIndex(depth);
        widget<QComboBox>(window, "mSendCompressionType")->setCurrentIndex(compression);
        widget<QSlider>(window, "mSendCompressionLevel")->setValue(level);
        widget<QSpinBox>(window, "mSendChannel")->setValue(channel);
        QCOMPARE(widget<QLineEdit>(window, "mSendAddress")->isEnabled(), protocol != 2);
        recording::reset();
        recording::setEncoderResult(7);

        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);

        const auto calls = recording::calls();
        QCOMPARE(callNames(), (QStringList{"zunGetEncoder", "zunSetDestFormat", "zunSetDestAddress"}));
        QCOMPARE(calls[0].args[0], protocol + 1);
        QCOMPARE(calls[0].format.width, expectedWidth);
        QCOMPARE(calls[0].format.height, expectedHeight);
        QCOMPARE(calls[0].format.depth, depth);
        QCOMPARE(calls[0].format.orientation, 1);
        QCOMPARE(calls[1].args, (std::vector<int64_t>{7, 1, compression, level}));
        QCOMPARE(calls[1].format.width, expectedWidth);
        QCOMPARE(calls[2].args, (std::vector<int64_t>{7, 1, channel + 10588}));
        QCOMPARE(QString::fromStdString(calls[2].text), address);

        QCOMPARE(MainWindowProbe::encoder(window), 7u);
        const QImage &picture = MainWindowProbe::sendImage(window);
        QCOMPARE(picture.size(), QSize(expectedWidth, expectedHeight));
        QCOMPARE(int(picture.format()), imageFormat);
        QImage grey(1, 1, QImage::Format(imageFormat));
        grey.fill(Qt::gray);
        QCOMPARE(picture.pixel(0, 0), grey.pixel(0, 0));
        QCOMPARE(picture.pixel(expectedWidth / 2, expectedHeight / 2), grey.pixel(0, 0));
        QCOMPARE(picture.pixel(expectedWidth - 1, expectedHeight - 1), grey.pixel(0, 0));
        QCOMPARE(disabledControls(window), QStringList(std::begin(kStreamControls), std::end(kStreamControls)));

        button->setChecked(false);
        QCOMPARE(callNames().mid(3), QStringList{"zunDeleteEncoder"});
        QCOMPARE(recording::calls()[3].args, std::vector<int64_t>{7});
        QCOMPARE(MainWindowProbe::encoder(window), 0u);
        QCOMPARE(disabledControls(window), disabledWhenIdle(window));
        QCOMPARE(disabledWhenIdle(window).size(), protocol == 2 ? 1 : 0);

        // The tick armed by the start still runs once; it finds no encoder, draws nothing and
        // calls nothing.
        const QImage before = picture.copy();
        QTest::qWait(250);
        QCOMPARE(recording::calls().size(), size_t(4));
        QCOMPARE(picture, before);
    }

    void failedEncoderLeavesControlsEnabled()
    {
        MainWindow window;
        recording::reset();
        recording::setEncoderResult(0);
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QCOMPARE(callNames(), QStringList{"zunGetEncoder"});
        QVERIFY(button->isChecked());
        QCOMPARE(disabledControls(window), disabledWhenIdle(window));
        QCOMPARE(MainWindowProbe::encoder(window), 0u);
        QTest::qWait(250); // no tick was armed
        QCOMPARE(callNames(), QStringList{"zunGetEncoder"});

        button->setChecked(false);
        QCOMPARE(callNames(), QStringList{"zunGetEncoder"});
        QCOMPARE(disabledControls(window), disabledWhenIdle(window));
    }

    void depthWithoutFormatFailsStart()
    {
        MainWindow window;
        auto *button = widget<QPushButton>(window, "mSendButton");
        auto *depth = widget<QComboBox>(window, "mSendDepth");
        // An earlier start leaves a small 16-bit picture behind.
        depth->setCurrentIndex(0);
        widget<QSpinBox>(window, "mSendWidth")->setValue(16);
        widget<QSpinBox>(window, "mSendHeight")->setValue(16);
        button->setChecked(true);
        button->setChecked(false);
        recording::reset();

        depth->setCurrentIndex(-1);
        widget<QSpinBox>(window, "mSendWidth")->setValue(64);
        widget<QSpinBox>(window, "mSendHeight")->setValue(64);
        button->setChecked(true);
        QVERIFY(button->isChecked());
        QCOMPARE(callNames(), QStringList{});
        QCOMPARE(MainWindowProbe::encoder(window), 0u);
        QCOMPARE(disabledControls(window), disabledWhenIdle(window));
        QTest::qWait(250);
        QCOMPARE(callNames(), QStringList{});
        button->setChecked(false);
        QCOMPARE(callNames(), QStringList{});
    }

    void addressFollowsSendProtocol()
    {
        MainWindow window;
        auto *protocol = widget<QComboBox>(window, "mSendProtocol");
        auto *address = widget<QLineEdit>(window, "mSendAddress");
        protocol->setCurrentIndex(2);
        QVERIFY(!address->isEnabled());
        protocol->setCurrentIndex(-1);
        QVERIFY(!address->isEnabled());
        protocol->setCurrentIndex(0);
        QVERIFY(address->isEnabled());
        protocol->setCurrentIndex(2);
        protocol->setCurrentIndex(1);
        QVERIFY(address->isEnabled());
        protocol->setCurrentIndex(-1);
        QVERIFY(address->isEnabled());
    }
};

WINDOW_TEST_MAIN(tst_SendControl)
#include "tst_sendcontrol.moc"
