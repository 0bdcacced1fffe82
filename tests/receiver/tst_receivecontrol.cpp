// The receive controls: when a worker exists, and how one is replaced by the next.

#include "windowtestkit.h"

#include <QComboBox>
#include <QLabel>
#include <QSpinBox>
#include <QtTest>

using windowtest::callNames;
using windowtest::widget;

class tst_ReceiveControl : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void noneMakesNoWorker()
    {
        MainWindow window;
        QVERIFY(!MainWindowProbe::streamDecoder(window));
        QVERIFY(!MainWindowProbe::decoderThread(window));
        widget<QSpinBox>(window, "mReceiveChannel")->setValue(50);
        widget<QSpinBox>(window, "mReceiveChannel")->setValue(51);
        QVERIFY(!MainWindowProbe::streamDecoder(window));
        QVERIFY(!MainWindowProbe::decoderThread(window));
        QCOMPARE(callNames(), QStringList{});
    }

    void protocolChoiceStartsWorker_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::newRow("multicast") << 1;
        QTest::newRow("tcp") << 2;
        QTest::newRow("memory") << 3;
    }

    void protocolChoiceStartsWorker()
    {
        QFETCH(int, protocol);
        MainWindow window;
        window.resize(700, 500);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        widget<QSpinBox>(window, "mReceiveChannel")->setValue(52);
        recording::reset();
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(protocol);

        QVERIFY(MainWindowProbe::streamDecoder(window));
        QVERIFY(MainWindowProbe::decoderThread(window));
        QTRY_VERIFY(MainWindowProbe::decoderThread(window)->isRunning());
        const auto calls = recording::calls();
        QCOMPARE(windowtest::names(calls),
                 (QStringList{"zunGetDecoder", "zunSetSourceAddress", "zunSetAdaptiveBuffer"}));
        QCOMPARE(calls[0].args[0], protocol);
        const auto *display = widget<QLabel>(window, "mReceiveDisplay");
        QCOMPARE(calls[0].format.width, display->width());
        QCOMPARE(calls[0].format.height, display->height());
        QCOMPARE(calls[0].format.depth, 1);
        QCOMPARE(calls[0].format.orientation, 1);
        QCOMPARE(calls[1].args, (std::vector<int64_t>{2, 52 + 10588}));

        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(0);
        QVERIFY(!MainWindowProbe::streamDecoder(window));
        QVERIFY(!MainWindowProbe::decoderThread(window));
        QCOMPARE(callNames().mid(3), QStringList{"zunDeleteDecoder"});
    }

    void channelChangeStopsWorkerBeforeNewDecoder()
    {
        MainWindow window;
        auto *channel = widget<QSpinBox>(window, "mReceiveChannel");
        channel->setValue(53);
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);
        QThread *first = MainWindowProbe::decoderThread(window);
        QVERIFY(first);
        QTRY_VERIFY(recording::emptyPolls() > 0); // polling
        connect(first, &QThread::finished, first, [] { recording::note("thread finished"); },
                Qt::DirectConnection);
        recording::reset();
        recording::setDecoderResult(9);

        channel->setValue(54);
        const auto calls = recording::calls();
        QCOMPARE(windowtest::names(calls),
                 (QStringList{"thread finished", "zunDeleteDecoder", "zunGetDecoder", "zunSetSourceAddress",
                              "zunSetAdaptiveBuffer"}));
        QCOMPARE(calls[1].args, std::vector<int64_t>{2});
        QCOMPARE(calls[3].args, (std::vector<int64_t>{9, 54 + 10588}));
        QCOMPARE(MainWindowProbe::streamDecoder(window)->decoderHandle(), 9u);
        QTRY_VERIFY(MainWindowProbe::decoderThread(window)->isRunning());
    }

    void failedDecoderStillRunsWorker()
    {
        MainWindow window;
        recording::setDecoderResult(0);
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(1);
        QVERIFY(MainWindowProbe::streamDecoder(window));
        QTRY_VERIFY(MainWindowProbe::decoderThread(window)->isRunning());
        widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(0);
        QCOMPARE(callNames(), QStringList{"zunGetDecoder"});
    }

    void closingWhileReceivingStopsWorker()
    {
        {
            MainWindow window;
            widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);
            QThread *thread = MainWindowProbe::decoderThread(window);
            QTRY_VERIFY(recording::emptyPolls() > 0);
            connect(thread, &QThread::finished, thread, [] { recording::note("thread finished"); },
                    Qt::DirectConnection);
        }
        QCOMPARE(callNames().mid(3), (QStringList{"thread finished", "zunDeleteDecoder"}));
    }
};

WINDOW_TEST_MAIN(tst_ReceiveControl)
#include "tst_receivecontrol.moc"
