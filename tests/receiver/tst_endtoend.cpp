// One window sending and receiving through the real library over "Local (Memory)".

#include "windowtestkit.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QtTest>

using windowtest::widget;

namespace {

QString labelText(MainWindow &window, const char *name)
{
    return widget<QLabel>(window, name)->text();
}

void configureSend(MainWindow &window, int channel, int width, int height, int fps, int compression)
{
    widget<QComboBox>(window, "mSendProtocol")->setCurrentIndex(2);
    widget<QSpinBox>(window, "mSendChannel")->setValue(channel);
    widget<QSpinBox>(window, "mSendWidth")->setValue(width);
    widget<QSpinBox>(window, "mSendHeight")->setValue(height);
    widget<QComboBox>(window, "mSendDepth")->setCurrentIndex(1);
    widget<QComboBox>(window, "mSendCompressionType")->setCurrentIndex(compression);
    widget<QSlider>(window, "mSendCompressionLevel")->setValue(20);
    widget<QSpinBox>(window, "mSendFPS")->setValue(fps);
}

void receiveLocal(MainWindow &window, int channel)
{
    widget<QSpinBox>(window, "mReceiveChannel")->setValue(channel);
    widget<QComboBox>(window, "mReceiveProtocol")->setCurrentIndex(3);
}

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void rawPictureArrivesWhole()
    {
        MainWindow window;
        receiveLocal(window, 66);
        // One frame a second, so the sent picture stays put long enough to compare.
        configureSend(window, 66, 160, 90, 1, 0);
        widget<QPushButton>(window, "mSendButton")->setChecked(true);
        QVERIFY(MainWindowProbe::encoder(window) != 0);

        auto shownEqualsSent = [&window] {
            const QImage shown = widget<QLabel>(window, "mReceiveDisplay")->pixmap().toImage();
            return !shown.isNull()
                   && shown.convertToFormat(QImage::Format_RGB888) == MainWindowProbe::sendImage(window);
        };
        QTRY_VERIFY_WITH_TIMEOUT(shownEqualsSent(), 8000);
        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "mWidth"), QString("160"), 5000);
        QCOMPARE(labelText(window, "mHeight"), QString("90"));
        QCOMPARE(labelText(window, "mDepth"), QString("24-bit"));
        // Raw frames: what is carried is the picture itself.
        QCOMPARE(labelText(window, "mReceiveImageBytesPerFrame"), QString::number(160 * 3 * 90));
        QCOMPARE(labelText(window, "mReceiveTransferBytesPerFrame"), QString::number(160 * 3 * 90));
        QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "mFPS").toInt() > 0, 5000);
        widget<QPushButton>(window, "mSendButton")->setChecked(false);
    }

    void jpegCarriesFewerBytes()
    {
        MainWindow window;
        receiveLocal(window, 67);
        configureSend(window, 67, 320, 240, 15, 1);
        widget<QPushButton>(window, "mSendButton")->setChecked(true);
        QVERIFY(MainWindowProbe::encoder(window) != 0);

        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "mWidth"), QString("320"), 8000);
        QCOMPARE(labelText(window, "mDepth"), QString("24-bit"));
        const qint64 image = labelText(window, "mReceiveImageBytesPerFrame").toLongLong();
        const qint64 transfer = labelText(window, "mReceiveTransferBytesPerFrame").toLongLong();
        QCOMPARE(image, qint64(320 * 3 * 240));
        QVERIFY2(transfer > 0 && transfer < image, qPrintable(QStringLiteral("%1 of %2").arg(transfer).arg(image)));
        QVERIFY(labelText(window, "mCompressedSize").toLongLong() < labelText(window, "mReceiveBytesPerSecond").toLongLong());
        QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "mFPS").toInt() > 0, 5000);
        widget<QPushButton>(window, "mSendButton")->setChecked(false);
    }
};

WINDOW_TEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
