// Send presets: saving and loading config entries in the settings file, through the form.

#include "windowtestkit.h"
#include "recordingstream.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>

namespace {

// The eight preset values as the send widgets show them.
struct SendValues {
    int protocol;
    int channel;
    QString address;
    int width;
    int height;
    int depth;
    int compressionType;
    int compressionLevel;

    bool operator==(const SendValues &) const = default;
};

char *toString(const SendValues &v)
{
    return qstrdup(qPrintable(QStringLiteral("protocol %1 channel %2 address %3 size %4x%5 depth %6 type %7 level %8")
                                  .arg(v.protocol).arg(v.channel).arg(v.address).arg(v.width).arg(v.height)
                                  .arg(v.depth).arg(v.compressionType).arg(v.compressionLevel)));
}

const SendValues kInitial{2, 0, QStringLiteral("127.0.0.1"), 0, 0, 1, 0, 0};

// Sets or clears the immutable flag, which stops even root from writing; false if unsupported.
bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

} // namespace

class TestSendPresets : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void savedEntryLoadsBackAndLeavesTheRestOfTheFile();
    void noFileKeepsTheFormValues();
    void protocolCodeDecidesTheAddressField();
    void storedValuesAreBoundedByTheWidgets();
    void steppingTheEntryLoadsEveryEntryOnTheWay();
    void presetWithoutDepthMakesSendFailSafely();
    void entryZeroOpensTheNextStart();
    void unwritableFileChangesNothing();
    void readOnlyFolderChangesNothing();
    void emptyPathReadsAndWritesNothing();

private:
    MainWindow &window();
    QString iniPath() const { return mConfigHome->path() + QStringLiteral("/tarvel/zunStream.ini"); }
    void writeIni(const QByteArray &text);
    QByteArray readIni() const;
    SendValues shown();
    void show(const SendValues &values);
    void selectEntry(int entry);
    void save();
    template <typename T>
    T *field(const char *name)
    {
        return windowtest::widget<T>(window(), name);
    }

    std::unique_ptr<QTemporaryDir> mConfigHome;
    std::unique_ptr<MainWindow> mWindow;
};

void TestSendPresets::init()
{
    mConfigHome = std::make_unique<QTemporaryDir>();
    QVERIFY(mConfigHome->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfigHome->path()));
    recording::reset();
}

void TestSendPresets::cleanup()
{
    mWindow.reset();
    mConfigHome.reset();
}

MainWindow &TestSendPresets::window()
{
    if (!mWindow)
        mWindow = std::make_unique<MainWindow>();
    return *mWindow;
}

void TestSendPresets::writeIni(const QByteArray &text)
{
    QVERIFY(QDir().mkpath(QFileInfo(iniPath()).path()));
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray TestSendPresets::readIni() const
{
    QFile file(iniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

SendValues TestSendPresets::shown()
{
    return {field<QComboBox>("mSendProtocol")->currentIndex(),
            field<QSpinBox>("mSendChannel")->value(),
            field<QLineEdit>("mSendAddress")->text(),
            field<QSpinBox>("mSendWidth")->value(),
            field<QSpinBox>("mSendHeight")->value(),
            field<QComboBox>("mSendDepth")->currentIndex(),
            field<QComboBox>("mSendCompressionType")->currentIndex(),
            field<QSlider>("mSendCompressionLevel")->value()};
}

void TestSendPresets::show(const SendValues &values)
{
    field<QComboBox>("mSendProtocol")->setCurrentIndex(values.protocol);
    field<QSpinBox>("mSendChannel")->setValue(values.channel);
    field<QLineEdit>("mSendAddress")->setText(values.address);
    field<QSpinBox>("mSendWidth")->setValue(values.width);
    field<QSpinBox>("mSendHeight")->setValue(values.height);
    field<QComboBox>("mSendDepth")->setCurrentIndex(values.depth);
    field<QComboBox>("mSendCompressionType")->setCurrentIndex(values.compressionType);
    field<QSlider>("mSendCompressionLevel")->setValue(values.compressionLevel);
}

void TestSendPresets::selectEntry(int entry)
{
    field<QSpinBox>("mSendConfig")->setValue(entry);
}

void TestSendPresets::save()
{
    field<QPushButton>("mSendSave")->click();
}

void TestSendPresets::savedEntryLoadsBackAndLeavesTheRestOfTheFile()
{
    writeIni("[General]\nloose=kept\n\n"
             "[07]\nwidth=77\n\n"
             "[3]\nprotocol=1\nwidth=33\nextra=kept\n\n"
             "[7]\nnote=kept\nwidth=1\n");
    auto keysOutsideEntry7 = [this] {
        QSettings settings(iniPath(), QSettings::IniFormat);
        QMap<QString, QVariant> values;
        for (const QString &key : settings.allKeys()) {
            if (!key.startsWith(QStringLiteral("7/")) || key == QStringLiteral("7/note"))
                values.insert(key, settings.value(key));
        }
        return values;
    };
    const QMap<QString, QVariant> before = keysOutsideEntry7();
    QCOMPARE(before.size(), 6);

    auto *fps = field<QSpinBox>("mSendFPS");
    selectEntry(7);
    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 1);
    const SendValues saved{1, 42, QStringLiteral("192.0.2.7"), 640, 480, 2, 1, 35};
    show(saved);
    fps->setValue(30);
    save();

    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("7"));
        QCOMPARE(settings.value("protocol").toInt(), 2);
        QCOMPARE(settings.value("channel").toInt(), 42);
        QCOMPARE(settings.value("address").toString(), QStringLiteral("192.0.2.7"));
        QCOMPARE(settings.value("width").toInt(), 640);
        QCOMPARE(settings.value("height").toInt(), 480);
        QCOMPARE(settings.value("depth").toInt(), 2);
        QCOMPARE(settings.value("compressiontype").toInt(), 1);
        QCOMPARE(settings.value("compressionlevel").toInt(), 35);
        QCOMPARE(settings.childKeys().size(), 9); // the eight and the foreign "note"
        QVERIFY(!settings.contains("fps"));
    }
    QCOMPARE(keysOutsideEntry7(), before);
    const QByteArray text = readIni();
    QCOMPARE(text.count("[7]"), 1);
    QCOMPARE(text.count("[07]"), 1);
    QVERIFY(!text.contains("30"));

    // Away to an entry that was never saved (nothing changes), then back.
    show({0, 5, QStringLiteral("10.1.1.1"), 16, 16, 0, 0, 90});
    fps->setValue(50);
    selectEntry(6);
    QCOMPARE(shown(), SendValues({0, 5, QStringLiteral("10.1.1.1"), 16, 16, 0, 0, 90}));
    selectEntry(7);
    QCOMPARE(shown(), saved);
    QVERIFY(field<QLineEdit>("mSendAddress")->isEnabled());
    QCOMPARE(fps->value(), 50);
}

void TestSendPresets::noFileKeepsTheFormValues()
{
    MainWindow &w = window();
    QCOMPARE(shown(), kInitial);
    QVERIFY(!field<QLineEdit>("mSendAddress")->isEnabled());
    QCOMPARE(field<QSpinBox>("mSendFPS")->value(), 15);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!QFile::exists(iniPath()));
}

void TestSendPresets::protocolCodeDecidesTheAddressField()
{
    // Saving stores the code the sender uses: index + 1.
    selectEntry(1);
    field<QComboBox>("mSendProtocol")->setCurrentIndex(1);
    save();
    selectEntry(2);
    field<QComboBox>("mSendProtocol")->setCurrentIndex(2);
    save();
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("1/protocol").toInt(), 2);
        QCOMPARE(settings.value("2/protocol").toInt(), 3);
    }
    mWindow.reset();

    writeIni("[1]\nprotocol=2\n[2]\nprotocol=3\n[3]\nprotocol=9\n[4]\nprotocol=tcp\n[5]\nprotocol=1\n");
    auto *protocol = field<QComboBox>("mSendProtocol");
    auto *address = field<QLineEdit>("mSendAddress");
    QCOMPARE(protocol->currentIndex(), 2);

    selectEntry(1);
    QCOMPARE(protocol->currentText(), QStringLiteral("Remote (TCP)"));
    QVERIFY(address->isEnabled());
    selectEntry(2);
    QCOMPARE(protocol->currentText(), QStringLiteral("Local (Memory)"));
    QVERIFY(!address->isEnabled());
    // An unknown code selects nothing and leaves the address field as it was, either way.
    selectEntry(3);
    QCOMPARE(protocol->currentIndex(), -1);
    QVERIFY(!address->isEnabled());
    selectEntry(5);
    QCOMPARE(protocol->currentIndex(), 0);
    QVERIFY(address->isEnabled());
    selectEntry(4);
    QCOMPARE(protocol->currentIndex(), -1);
    QVERIFY(address->isEnabled());
    QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));
}

void TestSendPresets::storedValuesAreBoundedByTheWidgets()
{
    writeIni("[8]\nwidth=5000\nheight=abc\nchannel=150\ncompressionlevel=-3\ndepth=7\ncompressiontype=x\n"
             "address=not an address\n"
             "[9]\ncompressionlevel=250\nwidth=-1\n");
    MainWindow &w = window();
    show({1, 4, QStringLiteral("x"), 100, 100, 2, 1, 50});
    selectEntry(8);
    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 2048);
    QCOMPARE(field<QSpinBox>("mSendHeight")->value(), 0);
    QCOMPARE(field<QSpinBox>("mSendChannel")->value(), 99);
    QCOMPARE(field<QSlider>("mSendCompressionLevel")->value(), 0);
    QCOMPARE(field<QComboBox>("mSendDepth")->currentIndex(), -1);
    QCOMPARE(field<QComboBox>("mSendCompressionType")->currentIndex(), 0);
    QCOMPARE(field<QLineEdit>("mSendAddress")->text(), QStringLiteral("not an address"));
    QCOMPARE(field<QComboBox>("mSendProtocol")->currentIndex(), 1);
    selectEntry(9);
    QCOMPARE(field<QSlider>("mSendCompressionLevel")->value(), 100);
    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 0);
    QVERIFY(w.isEnabled());
}

void TestSendPresets::steppingTheEntryLoadsEveryEntryOnTheWay()
{
    writeIni("[3]\nwidth=30\n[4]\nwidth=40\nheight=44\n[5]\nwidth=50\n");
    MainWindow &w = window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *entry = field<QSpinBox>("mSendConfig");
    entry->setValue(3);
    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 30);

    QSignalSpy widths(field<QSpinBox>("mSendWidth"), &QSpinBox::valueChanged);
    entry->setFocus();
    QTest::keyClick(entry, Qt::Key_Up);
    QTest::keyClick(entry, Qt::Key_Up);
    QCOMPARE(entry->value(), 5);
    QCOMPARE(widths.size(), 2);
    QCOMPARE(widths[0][0].toInt(), 40);
    QCOMPARE(widths[1][0].toInt(), 50);
    // Entry 4's height stayed, since entry 5 has none.
    QCOMPARE(field<QSpinBox>("mSendHeight")->value(), 44);
}

void TestSendPresets::presetWithoutDepthMakesSendFailSafely()
{
    writeIni("[2]\nprotocol=3\nchannel=83\nwidth=16\nheight=8\ndepth=7\n"
             "[3]\nprotocol=3\nchannel=83\nwidth=16\nheight=8\ndepth=2\n");
    MainWindow &w = window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    selectEntry(2);
    QCOMPARE(field<QComboBox>("mSendDepth")->currentIndex(), -1);

    auto *send = field<QPushButton>("mSendButton");
    send->click();
    QVERIFY(send->isChecked());
    QCOMPARE(MainWindowProbe::encoder(w), 0u);
    QTest::qWait(300); // no encode tick may follow
    QCOMPARE(recording::callNames(), std::vector<std::string>());
    send->click();

    // The next preset with a depth sends frames of exactly its format.
    selectEntry(3);
    send->click();
    QCOMPARE(MainWindowProbe::encoder(w), 1u);
    QTRY_VERIFY_WITH_TIMEOUT(!recording::calls().empty() && recording::calls().back().name == "zunEncode", 5000);
    const recording::Call created = recording::calls().front();
    QCOMPARE(created.name, std::string("zunGetEncoder"));
    QCOMPARE(created.args[0], int64_t(3));
    QCOMPARE(created.format.width, uint16_t(16));
    QCOMPARE(created.format.height, uint16_t(8));
    QCOMPARE(created.format.depth, uint16_t(2));
}

void TestSendPresets::entryZeroOpensTheNextStart()
{
    const SendValues saved{0, 17, QStringLiteral("239.1.2.3"), 320, 240, 0, 1, 60};
    show(saved);
    save();
    mWindow.reset();

    QCOMPARE(shown(), saved);
    QVERIFY(field<QLineEdit>("mSendAddress")->isEnabled());
    QCOMPARE(field<QSpinBox>("mSendConfig")->value(), 0);
    QCOMPARE(field<QSpinBox>("mSendFPS")->value(), 15);
    QCOMPARE(recording::callNames(), std::vector<std::string>());
}

void TestSendPresets::unwritableFileChangesNothing()
{
    // A folder where the file should be: it can be neither read nor written.
    QVERIFY(QDir().mkpath(iniPath()));
    QCOMPARE(shown(), kInitial);
    show({1, 3, QStringLiteral("192.0.2.1"), 64, 48, 0, 1, 10});
    save();
    QVERIFY(QFileInfo(iniPath()).isDir());
    QVERIFY(QDir(iniPath()).isEmpty());
    mWindow.reset();
    QCOMPARE(shown(), kInitial);
}

void TestSendPresets::readOnlyFolderChangesNothing()
{
    writeIni("[0]\nwidth=12\n");
    const QString folder = QFileInfo(iniPath()).path();
    const QByteArray before = readIni();
    QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
    // Root ignores permissions; the immutable flag stops it too.
    const bool immutable = setImmutable(iniPath(), true) && setImmutable(folder, true);
    auto restore = qScopeGuard([&] {
        setImmutable(iniPath(), false);
        setImmutable(folder, false);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner);
    });
    {
        QFile probe(folder + QStringLiteral("/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("this user can write into a read-only folder and cannot set the immutable flag");
        }
    }
    Q_UNUSED(immutable);

    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 12);
    show({1, 3, QStringLiteral("192.0.2.1"), 64, 48, 0, 1, 10});
    save();
    selectEntry(1);
    save();
    QCOMPARE(readIni(), before);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({"zunStream.ini"}));
    mWindow.reset();
    QCOMPARE(field<QSpinBox>("mSendWidth")->value(), 12);
}

void TestSendPresets::emptyPathReadsAndWritesNothing()
{
    // The path a failed folder lookup leaves. Nothing may land in the working folder instead.
    writeIni("[0]\nwidth=12\n[4]\nwidth=44\n");
    QTemporaryDir workingFolder;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workingFolder.path()));
    auto back = qScopeGuard([&] { QDir::setCurrent(previous); });

    MainWindow &w = window();
    MainWindowProbe::setSettingsPath(w, QString());
    show({1, 3, QStringLiteral("192.0.2.1"), 64, 48, 0, 1, 10});
    save();
    selectEntry(4);
    QCOMPARE(shown(), SendValues({1, 3, QStringLiteral("192.0.2.1"), 64, 48, 0, 1, 10}));
    QVERIFY(QDir(workingFolder.path()).isEmpty());
    QCOMPARE(readIni(), QByteArray("[0]\nwidth=12\n[4]\nwidth=44\n"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

WINDOW_TEST_MAIN(TestSendPresets)

#include "tst_sendpresets.moc"
