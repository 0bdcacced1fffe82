// The encode loop: one tick chain while sending, the preview, and the end of the chain.

#include "windowtestkit.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using windowtest::countCalls;
using windowtest::widget;

namespace {

QImage preview(MainWindow &window)
{
    return widget<QLabel>(window, "mSendDisplay")->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage pictureAsShown(MainWindow &window)
{
    return MainWindowProbe::sendImage(window).convertToFormat(QImage::Format_RGB32);
}

} // namespace

class tst_EncodeLoop : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void ticksDrawPreviewAndEncode()
    {
        MainWindow window;
        widget<QSpinBox>(window, "mSendFPS")->setValue(100);
        widget<QSpinBox>(window, "mSendWidth")->setValue(64);
        widget<QSpinBox>(window, "mSendHeight")->setValue(48);
        recording::setEncoderResult(5);
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QTRY_VERIFY(countCalls("zunEncode") >= 3);
        for (const auto &call : recording::calls()) {
            if (call.name == "zunEncode")
                QCOMPARE(call.args, (std::vector<int64_t>{5, 1}));
        }
        button->setChecked(false);

        // The preview shows the frame last encoded and keeps it after the stop.
        const QImage last = pictureAsShown(window);
        QCOMPARE(preview(window), last);
        const int encoded = countCalls("zunEncode");
        QTest::qWait(150);
        QCOMPARE(countCalls("zunEncode"), encoded);
        QCOMPARE(pictureAsShown(window), last);
        QCOMPARE(preview(window), last);
    }

    void uncheckedUpdateFreezesPreview()
    {
        MainWindow window;
        widget<QSpinBox>(window, "mSendFPS")->setValue(100);
        auto *update = widget<QCheckBox>(window, "mSendUpdate");
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QTRY_VERIFY(countCalls("zunEncode") >= 2);
        update->setChecked(false);
        const QImage frozen = preview(window);
        const int encoded = countCalls("zunEncode");
        QTRY_VERIFY(countCalls("zunEncode") >= encoded + 3);
        QCOMPARE(preview(window), frozen);
        QVERIFY(pictureAsShown(window) != frozen); // lines were still drawn

        update->setChecked(true);
        const int again = countCalls("zunEncode");
        QTRY_VERIFY(countCalls("zunEncode") >= again + 1);
        button->setChecked(false);
        QCOMPARE(preview(window), pictureAsShown(window));
    }

    void stopEndsChainAfterOneIdleTick()
    {
        MainWindow window;
        widget<QSpinBox>(window, "mSendFPS")->setValue(50);
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QTRY_VERIFY(countCalls("zunEncode") >= 1);
        button->setChecked(false);
        const size_t calls = recording::calls().size();
        const QImage picture = pictureAsShown(window);
        QTest::qWait(300);
        QCOMPARE(recording::calls().size(), calls);
        QCOMPARE(pictureAsShown(window), picture);
    }

    void restartsKeepOneChain()
    {
        MainWindow window;
        // 4 frames per second: one chain makes about 5 frames in 1.3 s; two chains would make twice
        // as many. A loaded machine only makes fewer.
        widget<QSpinBox>(window, "mSendFPS")->setValue(4);
        auto *button = widget<QPushButton>(window, "mSendButton");
        button->setChecked(true);
        QTRY_VERIFY(countCalls("zunEncode") >= 1);
        for (int restart = 0; restart < 3; ++restart) {
            button->setChecked(false);
            button->setChecked(true);
        }
        const int before = countCalls("zunEncode");
        QTest::qWait(1300);
        const int made = countCalls("zunEncode") - before;
        QVERIFY2(made <= 7, qPrintable(QStringLiteral("%1 frames in 1.3 s at 4 FPS").arg(made)));
        QVERIFY(made >= 1);
        button->setChecked(false);
    }
};

WINDOW_TEST_MAIN(tst_EncodeLoop)
#include "tst_encodeloop.moc"
