// Closing the window in each state of sending and receiving: what the library is told, in
// which order.

#include "windowtestkit.h"
#include "recordingstream.h"

#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <memory>

namespace {

long countOf(const std::vector<std::string> &names, const std::string &name)
{
    return std::count(names.begin(), names.end(), name);
}

// Index of the last call of that name, or -1.
long lastIndexOf(const std::vector<std::string> &names, const std::string &name)
{
    const auto found = std::find(names.rbegin(), names.rend(), name);
    return found == names.rend() ? -1 : long(names.rend() - found) - 1;
}

} // namespace

class TestShutdown : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void closingWhileSendingDeletesTheEncoderOnce();
    void closingWhileReceivingEndsTheWorkerBeforeTheEncoder();
    void closingAfterBothStoppedMakesNoFurtherCall();

private:
    void startSending();
    void startReceiving();
    void closeWindow();

    std::unique_ptr<MainWindow> mWindow;
};

void TestShutdown::init()
{
    recording::reset();
    mWindow = std::make_unique<MainWindow>();
    mWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(mWindow.get()));
}

void TestShutdown::cleanup()
{
    mWindow.reset();
}

void TestShutdown::startSending()
{
    windowtest::widget<QSpinBox>(*mWindow, "mSendWidth")->setValue(16);
    windowtest::widget<QSpinBox>(*mWindow, "mSendHeight")->setValue(8);
    windowtest::widget<QSpinBox>(*mWindow, "mSendChannel")->setValue(80);
    windowtest::widget<QPushButton>(*mWindow, "mSendButton")->click();
    QCOMPARE(MainWindowProbe::encoder(*mWindow), 1u);
    QTRY_VERIFY_WITH_TIMEOUT(countOf(recording::callNames(), "zunEncode") >= 2, 5000);
}

void TestShutdown::startReceiving()
{
    windowtest::widget<QSpinBox>(*mWindow, "mReceiveChannel")->setValue(81);
    windowtest::widget<QComboBox>(*mWindow, "mReceiveProtocol")->setCurrentIndex(3);
    QVERIFY(MainWindowProbe::hasStreamDecoder(*mWindow));
    QTRY_VERIFY_WITH_TIMEOUT(recording::emptyPolls() > 0, 5000);
}

void TestShutdown::closeWindow()
{
    QVERIFY(mWindow->close());
    mWindow.reset();
}

void TestShutdown::closingWhileSendingDeletesTheEncoderOnce()
{
    startSending();
    closeWindow();
    const std::vector<std::string> names = recording::callNames();
    QCOMPARE(countOf(names, "zunDeleteEncoder"), 1L);
    QCOMPARE(names.back(), std::string("zunDeleteEncoder"));
    QCOMPARE(recording::calls().back().args, std::vector<int64_t>({1}));
    QCOMPARE(countOf(names, "zunGetDecoder"), 0L);
}

void TestShutdown::closingWhileReceivingEndsTheWorkerBeforeTheEncoder()
{
    startSending();
    startReceiving();
    QThread *thread = MainWindowProbe::decoderThread(*mWindow);
    QVERIFY(thread && thread->isRunning());
    closeWindow();

    const std::vector<std::string> names = recording::callNames();
    QCOMPARE(countOf(names, "zunDeleteEncoder"), 1L);
    QCOMPARE(countOf(names, "zunDeleteDecoder"), 1L);
    // The worker is gone (and with it its decoder) before the encoder is released, and nothing
    // polls the decoder after it was deleted.
    QVERIFY(lastIndexOf(names, "zunDeleteDecoder") < lastIndexOf(names, "zunDeleteEncoder"));
    QCOMPARE(names.back(), std::string("zunDeleteEncoder"));
    const long decoderDeleted = lastIndexOf(names, "zunDeleteDecoder");
    for (size_t i = size_t(decoderDeleted) + 1; i < names.size(); ++i)
        QVERIFY2(names[i] == "zunDeleteEncoder" || names[i] == "zunEncode", names[i].c_str());
    const uint64_t polls = recording::emptyPolls();
    QTest::qWait(50);
    QCOMPARE(recording::emptyPolls(), polls);
}

void TestShutdown::closingAfterBothStoppedMakesNoFurtherCall()
{
    startSending();
    startReceiving();
    windowtest::widget<QPushButton>(*mWindow, "mSendButton")->click();
    windowtest::widget<QComboBox>(*mWindow, "mReceiveProtocol")->setCurrentIndex(0);
    QCOMPARE(MainWindowProbe::encoder(*mWindow), 0u);
    QVERIFY(!MainWindowProbe::hasStreamDecoder(*mWindow));
    const size_t before = recording::calls().size();
    closeWindow();
    QCOMPARE(recording::calls().size(), before);
}

WINDOW_TEST_MAIN(TestShutdown)

#include "tst_shutdown.moc"
