// A settings file a person or another program spoiled: garbage lines, numbers too large for
// any field, values of the wrong type, binary bytes and missing groups. The window starts and
// loads every entry without a crash, and every send widget stays within its range.

#include "windowtestkit.h"
#include "recordingstream.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestBadSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void spoiledEntriesLoadWithinRange_data();
    void spoiledEntriesLoadWithinRange();
    void randomBytesLoadWithinRange();

private:
    QString iniPath() const { return mConfigHome->path() + QStringLiteral("/tarvel/zunStream.ini"); }
    void writeIni(const QByteArray &bytes);
    // Empty if every send widget holds a value it allows, else which one does not.
    QString outOfRange(MainWindow &window) const;

    std::unique_ptr<QTemporaryDir> mConfigHome;
};

void TestBadSettings::init()
{
    mConfigHome = std::make_unique<QTemporaryDir>();
    QVERIFY(mConfigHome->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfigHome->path()));
    recording::reset();
}

void TestBadSettings::cleanup()
{
    mConfigHome.reset();
}

void TestBadSettings::writeIni(const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(iniPath()).path()));
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QString TestBadSettings::outOfRange(MainWindow &window) const
{
    for (const char *name : {"mSendChannel", "mSendWidth", "mSendHeight", "mSendConfig", "mSendFPS"}) {
        const auto *box = windowtest::widget<QSpinBox>(window, name);
        if (!box || box->value() < box->minimum() || box->value() > box->maximum())
            return QString::fromLatin1(name);
    }
    for (const char *name : {"mSendProtocol", "mSendDepth", "mSendCompressionType"}) {
        const auto *box = windowtest::widget<QComboBox>(window, name);
        // -1 (nothing selected) is what an unknown stored code gives.
        if (!box || box->currentIndex() < -1 || box->currentIndex() >= box->count())
            return QString::fromLatin1(name);
    }
    const auto *level = windowtest::widget<QSlider>(window, "mSendCompressionLevel");
    if (!level || level->value() < level->minimum() || level->value() > level->maximum())
        return QStringLiteral("mSendCompressionLevel");
    if (!windowtest::widget<QLineEdit>(window, "mSendAddress"))
        return QStringLiteral("mSendAddress");
    return {};
}

void TestBadSettings::spoiledEntriesLoadWithinRange_data()
{
    QTest::addColumn<QByteArray>("ini");
    const QByteArray keys[] = {"protocol", "channel", "width", "height", "depth", "compressiontype",
                               "compressionlevel", "address"};
    auto everyKey = [&keys](const QByteArray &group, const QByteArray &value) {
        QByteArray text = "[" + group + "]\n";
        for (const QByteArray &key : keys)
            text += key + "=" + value + "\n";
        return text;
    };
    QTest::newRow("huge numbers") << everyKey("0", "99999999999999999999999999") + everyKey("1", "2147483648")
                                         + everyKey("2", "-2147483649") + everyKey("3", "1e308")
                                         + everyKey("4", "-2147483648") + everyKey("5", "2147483647");
    QTest::newRow("wrong types") << everyKey("0", "@Rect(1 2 3 4)") + everyKey("1", "a, b, c")
                                        + everyKey("2", "@ByteArray(\\0\\x1\\xff)") + everyKey("3", "true")
                                        + everyKey("4", "\"quoted\"");
    QTest::newRow("corrupt serialized values")
        << everyKey("0", "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\xffgarbage)")
               + everyKey("1", "@Variant(\\0\\0\\x4\\0\\xff\\xff\\xff\\xff)") + everyKey("2", "@Variant(")
               + everyKey("3", "@Invalid()") + everyKey("4", "@DateTime(\\0\\0\\0\\x10)");
    QTest::newRow("garbage lines") << QByteArray("[0\nwidth\n=\n===\n[[[]]]\n;;;\n\\\\\\\nchannel=\\\n[\n]\n"
                                                 "[1]width=3\n[2]\n\n\n%%%=%%%\n[3]\nwidth=1\nwidth=2\nwidth=\n");
    QByteArray binary = everyKey("0", "x");
    for (int i = 0; i < 256; ++i)
        binary += char(i);
    binary += "\n[1]\nwidth=" + QByteArray(1, '\0') + "12\nchannel=\xff\xfe\n[\xc3\x28]\nwidth=5\n";
    QTest::newRow("binary bytes") << binary;
    QTest::newRow("long lines") << "[0]\nwidth=" + QByteArray(1 << 20, '9') + "\naddress=" + QByteArray(1 << 20, 'a')
                                       + "\n[" + QByteArray(100000, 'g') + "]\nwidth=1\n";
    QTest::newRow("missing groups") << QByteArray("[General]\nwidth=1\n[99]\nwidth=2\n[-1]\nwidth=3\n");
}

void TestBadSettings::spoiledEntriesLoadWithinRange()
{
    QFETCH(QByteArray, ini);
    writeIni(ini);
    MainWindow window; // loads entry 0 at start
    QCOMPARE(outOfRange(window), QString());
    auto *entry = windowtest::widget<QSpinBox>(window, "mSendConfig");
    QVERIFY(entry);
    for (int i : {1, 2, 3, 4, 5, 50, entry->maximum(), 0}) {
        entry->setValue(i);
        QCOMPARE(outOfRange(window), QString());
    }
    QVERIFY(window.isEnabled());
}

void TestBadSettings::randomBytesLoadWithinRange()
{
    // Seeded, so a failure repeats; each file mixes valid lines with noise.
    QRandomGenerator random(20261207);
    const QByteArray pieces[] = {"[0]\n", "[1]\n", "[2]\n", "width=", "height=", "channel=", "depth=",
                                 "protocol=", "compressionlevel=", "compressiontype=", "@Variant(", "\n",
                                 "=", "\\", "99999999999", "-7", "3"};
    for (int file = 0; file < 40; ++file) {
        QByteArray bytes;
        const int parts = int(random.bounded(1, 200));
        for (int p = 0; p < parts; ++p) {
            if (random.bounded(3) == 0) {
                for (int b = int(random.bounded(1, 16)); b > 0; --b)
                    bytes += char(random.bounded(256));
            } else {
                bytes += pieces[random.bounded(int(std::size(pieces)))];
            }
        }
        writeIni(bytes);
        MainWindow window;
        QVERIFY2(outOfRange(window).isEmpty(), qPrintable(QStringLiteral("file %1").arg(file)));
        auto *entry = windowtest::widget<QSpinBox>(window, "mSendConfig");
        for (int i : {1, 2}) {
            entry->setValue(i);
            QVERIFY2(outOfRange(window).isEmpty(), qPrintable(QStringLiteral("file %1 entry %2").arg(file).arg(i)));
        }
    }
}

WINDOW_TEST_MAIN(TestBadSettings)
#include "tst_badsettings.moc"
