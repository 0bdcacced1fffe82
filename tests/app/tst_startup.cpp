// The window as it opens: every object of the form, the initial values, the address list,
// the settings path, and a life with neither sending nor receiving.

#include "windowtestkit.h"
#include "recordingstream.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include <memory>

namespace {

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

QStringList listTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

// Where an object sits in its layout: the index of a box layout, or row and column of a grid,
// or row and role (0 label, 1 field) of a form.
struct Placement {
    int row = -1;
    int column = -1;
};

Placement placementIn(QLayout *layout, QObject *object)
{
    int index = -1;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget() == object || item->layout() == object)
            index = i;
    }
    Placement placement;
    if (index < 0)
        return placement;
    if (auto *form = qobject_cast<QFormLayout *>(layout)) {
        QFormLayout::ItemRole role;
        form->getItemPosition(index, &placement.row, &role);
        placement.column = role == QFormLayout::LabelRole ? 0 : role == QFormLayout::FieldRole ? 1 : 2;
    } else if (auto *grid = qobject_cast<QGridLayout *>(layout)) {
        int rowSpan, columnSpan;
        grid->getItemPosition(index, &placement.row, &placement.column, &rowSpan, &columnSpan);
    } else {
        placement.row = index;
    }
    return placement;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formObjectsAndPlacement();
    void layoutSpacingMarginsAndStretch();
    void initialValuesAndTexts();
    void windowTitleSizeAndMenu();
    void sendRowsTopToBottom();
    void rangesOfTheNumberFields();
    void sendButtonIsCheckable();
    void addressListHoldsIpv4InTextOrder();
    void settingsPathUnderXdgConfigHome();
    void unusableSettingsLocationStillOpens();
    void quietLifeMakesNoLibraryCall();

private:
    MainWindow &window();

    std::unique_ptr<QTemporaryDir> mConfigHome;
    std::unique_ptr<MainWindow> mWindow;
};

void TestStartup::init()
{
    mConfigHome = std::make_unique<QTemporaryDir>();
    QVERIFY(mConfigHome->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfigHome->path()));
    recording::reset();
}

void TestStartup::cleanup()
{
    mWindow.reset();
    mConfigHome.reset();
}

MainWindow &TestStartup::window()
{
    if (!mWindow)
        mWindow = std::make_unique<MainWindow>();
    return *mWindow;
}

void TestStartup::formObjectsAndPlacement()
{
    struct Expected {
        const char *name;
        const char *className;
        const char *parent;  // Qt parent's object name
        const char *layout;  // layout the object is placed in, or null
        int row;
        int column;
    };
    // Box layouts: row = index; forms: column 0 label, 1 field; grids: row and column.
    static const Expected objects[] = {
        {"actionAbout_zunVidStreamTester", "QAction", "MainWindow", nullptr, -1, -1},
        {"actionOnline_Help", "QAction", "MainWindow", nullptr, -1, -1},
        {"actionTarvel_com", "QAction", "MainWindow", nullptr, -1, -1},
        {"centralWidget", "QWidget", "MainWindow", nullptr, -1, -1},
        {"verticalLayout_3", "QVBoxLayout", "centralWidget", nullptr, -1, -1},
        {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_3", "verticalLayout_3", 0, -1},
        {"groupBox_2", "QGroupBox", "centralWidget", "horizontalLayout_2", 0, -1},
        {"verticalLayout", "QVBoxLayout", "groupBox_2", nullptr, -1, -1},
        {"mSendDisplay", "QLabel", "groupBox_2", "verticalLayout", 0, -1},
        {"mSendUpdate", "QCheckBox", "groupBox_2", "verticalLayout", 1, -1},
        {"groupBox", "QGroupBox", "centralWidget", "horizontalLayout_2", 1, -1},
        {"verticalLayout_2", "QVBoxLayout", "groupBox", nullptr, -1, -1},
        {"mReceiveDisplay", "QLabel", "groupBox", "verticalLayout_2", 0, -1},
        {"mReceiveUpdate", "QCheckBox", "groupBox", "verticalLayout_2", 1, -1},
        {"horizontalLayout", "QHBoxLayout", "verticalLayout_3", "verticalLayout_3", 1, -1},
        {"verticalLayout_5", "QVBoxLayout", "horizontalLayout", "horizontalLayout", 0, -1},
        {"formLayout_2", "QFormLayout", "verticalLayout_5", "verticalLayout_5", 0, -1},
        {"label_9", "QLabel", "centralWidget", "formLayout_2", 1, 0},
        {"mSendProtocol", "QComboBox", "centralWidget", "formLayout_2", 1, 1},
        {"label_10", "QLabel", "centralWidget", "formLayout_2", 2, 0},
        {"mSendAddress", "QLineEdit", "centralWidget", "formLayout_2", 2, 1},
        {"label_11", "QLabel", "centralWidget", "formLayout_2", 3, 0},
        {"mSendChannel", "QSpinBox", "centralWidget", "formLayout_2", 3, 1},
        {"label_12", "QLabel", "centralWidget", "formLayout_2", 4, 0},
        {"mSendWidth", "QSpinBox", "centralWidget", "formLayout_2", 4, 1},
        {"label_13", "QLabel", "centralWidget", "formLayout_2", 5, 0},
        {"mSendHeight", "QSpinBox", "centralWidget", "formLayout_2", 5, 1},
        {"label_14", "QLabel", "centralWidget", "formLayout_2", 6, 0},
        {"mSendDepth", "QComboBox", "centralWidget", "formLayout_2", 6, 1},
        {"label_15", "QLabel", "centralWidget", "formLayout_2", 7, 0},
        {"mSendFPS", "QSpinBox", "centralWidget", "formLayout_2", 7, 1},
        {"label_16", "QLabel", "centralWidget", "formLayout_2", 9, 0},
        {"mSendCompressionLevel", "QSlider", "centralWidget", "formLayout_2", 9, 1},
        {"label_17", "QLabel", "centralWidget", "formLayout_2", 8, 0},
        {"mSendCompressionType", "QComboBox", "centralWidget", "formLayout_2", 8, 1},
        {"label_20", "QLabel", "centralWidget", "formLayout_2", 0, 0},
        {"mSendConfig", "QSpinBox", "centralWidget", "formLayout_2", 0, 1},
        {"horizontalLayout_3", "QHBoxLayout", "verticalLayout_5", "verticalLayout_5", 1, -1},
        {"mSendButton", "QPushButton", "centralWidget", "horizontalLayout_3", 0, -1},
        {"mSendSave", "QPushButton", "centralWidget", "horizontalLayout_3", 1, -1},
        {"verticalLayout_4", "QVBoxLayout", "horizontalLayout", "horizontalLayout", 1, -1},
        {"formLayout", "QFormLayout", "verticalLayout_4", "verticalLayout_4", 0, -1},
        {"label", "QLabel", "centralWidget", "formLayout", 0, 0},
        {"mReceiveProtocol", "QComboBox", "centralWidget", "formLayout", 0, 1},
        {"label_2", "QLabel", "centralWidget", "formLayout", 1, 0},
        {"mReceiveChannel", "QSpinBox", "centralWidget", "formLayout", 1, 1},
        {"mAddresses", "QListWidget", "centralWidget", "verticalLayout_4", 1, -1},
        {"gridLayout", "QGridLayout", "verticalLayout_4", "verticalLayout_4", 2, -1},
        {"label_4", "QLabel", "centralWidget", "gridLayout", 0, 0},
        {"label_5", "QLabel", "centralWidget", "gridLayout", 0, 2},
        {"mHeight", "QLabel", "centralWidget", "gridLayout", 0, 3},
        {"mWidth", "QLabel", "centralWidget", "gridLayout", 0, 1},
        {"label_3", "QLabel", "centralWidget", "gridLayout", 1, 2},
        {"mFPS", "QLabel", "centralWidget", "gridLayout", 1, 3},
        {"mDepth", "QLabel", "centralWidget", "gridLayout", 1, 1},
        {"label_6", "QLabel", "centralWidget", "gridLayout", 1, 0},
        {"formLayout_3", "QFormLayout", "verticalLayout_4", "verticalLayout_4", 3, -1},
        {"label_7", "QLabel", "centralWidget", "formLayout_3", 0, 0},
        {"mReceiveBytesPerSecond", "QLabel", "centralWidget", "formLayout_3", 0, 1},
        {"label_8", "QLabel", "centralWidget", "formLayout_3", 1, 0},
        {"mCompressedSize", "QLabel", "centralWidget", "formLayout_3", 1, 1},
        {"label_18", "QLabel", "centralWidget", "formLayout_3", 2, 0},
        {"mReceiveImageBytesPerFrame", "QLabel", "centralWidget", "formLayout_3", 2, 1},
        {"label_19", "QLabel", "centralWidget", "formLayout_3", 3, 0},
        {"mReceiveTransferBytesPerFrame", "QLabel", "centralWidget", "formLayout_3", 3, 1},
        {"menuBar", "QMenuBar", "MainWindow", nullptr, -1, -1},
        {"menu_Help", "QMenu", "menuBar", nullptr, -1, -1},
    };
    QCOMPARE(std::size(objects), size_t(67));

    MainWindow &w = window();
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    for (const Expected &expected : objects) {
        const QString name = QString::fromLatin1(expected.name);
        const QList<QObject *> found = w.findChildren<QObject *>(name);
        QVERIFY2(found.size() == 1, expected.name);
        QObject *object = found.first();
        QCOMPARE(object->metaObject()->className(), expected.className);
        QVERIFY2(object->parent(), expected.name);
        QCOMPARE(object->parent()->objectName(), QString::fromLatin1(expected.parent));
        if (expected.layout) {
            auto *layout = windowtest::widget<QLayout>(w, expected.layout);
            QVERIFY2(layout, expected.layout);
            const Placement placement = placementIn(layout, object);
            QVERIFY2(placement.row == expected.row && placement.column == expected.column,
                     qPrintable(QStringLiteral("%1 at %2,%3").arg(name).arg(placement.row).arg(placement.column)));
        }
    }

    // The layouts that are the whole layout of a widget.
    QCOMPARE(windowtest::widget<QWidget>(w, "centralWidget")->layout()->objectName(), QStringLiteral("verticalLayout_3"));
    QCOMPARE(windowtest::widget<QWidget>(w, "groupBox_2")->layout()->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(windowtest::widget<QWidget>(w, "groupBox")->layout()->objectName(), QStringLiteral("verticalLayout_2"));
    QCOMPARE(w.centralWidget()->objectName(), QStringLiteral("centralWidget"));

    // Every layout holds exactly what the form puts in it.
    QCOMPARE(windowtest::widget<QLayout>(w, "formLayout_2")->count(), 20);
    QCOMPARE(windowtest::widget<QLayout>(w, "gridLayout")->count(), 8);
    QCOMPARE(windowtest::widget<QLayout>(w, "formLayout_3")->count(), 8);
    QCOMPARE(windowtest::widget<QLayout>(w, "verticalLayout_4")->count(), 4);
    QCOMPARE(windowtest::widget<QLayout>(w, "verticalLayout_3")->count(), 2);

    QVERIFY(w.findChildren<QStatusBar *>().isEmpty());
    QVERIFY(w.findChildren<QToolBar *>().isEmpty());
}

void TestStartup::layoutSpacingMarginsAndStretch()
{
    MainWindow &w = window();
    struct Expected {
        const char *name;
        QMargins margins;
        QList<int> stretches; // empty: not checked
    };
    static const QMargins none;
    const Expected layouts[] = {
        {"verticalLayout_3", QMargins(11, 11, 11, 11), {}},
        {"horizontalLayout_2", none, {1, 1}},
        {"verticalLayout", QMargins(11, 11, 11, 11), {1, 0}},
        {"verticalLayout_2", QMargins(11, 11, 11, 11), {0, 0}},
        {"horizontalLayout", QMargins(5, 5, 5, 5), {1, 1}},
        {"verticalLayout_5", QMargins(5, 5, 5, 5), {}},
        {"formLayout_2", none, {}},
        // Only its bottom margin is set; the others are left to the style, which gives a nested
        // layout none.
        {"horizontalLayout_3", QMargins(0, 0, 0, 0), {}},
        {"verticalLayout_4", QMargins(5, 5, 5, 5), {}},
        {"formLayout", none, {}},
        {"gridLayout", none, {}},
        {"formLayout_3", none, {}},
    };
    for (const Expected &expected : layouts) {
        auto *layout = windowtest::widget<QLayout>(w, expected.name);
        QVERIFY2(layout, expected.name);
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), expected.margins);
        if (auto *box = qobject_cast<QBoxLayout *>(layout)) {
            for (int i = 0; i < expected.stretches.size(); ++i)
                QCOMPARE(box->stretch(i), expected.stretches[i]);
        }
    }
    auto *form = windowtest::widget<QFormLayout>(w, "formLayout_2");
    QCOMPARE(form->fieldGrowthPolicy(), QFormLayout::AllNonFixedFieldsGrow);
    QCOMPARE(form->horizontalSpacing(), 6);
    QCOMPARE(form->verticalSpacing(), 6);
}

void TestStartup::initialValuesAndTexts()
{
    MainWindow &w = window();

    auto *sendProtocol = windowtest::widget<QComboBox>(w, "mSendProtocol");
    QCOMPARE(itemTexts(sendProtocol), QStringList({"Multicast (UDP)", "Remote (TCP)", "Local (Memory)"}));
    QCOMPARE(sendProtocol->currentIndex(), 2);
    auto *address = windowtest::widget<QLineEdit>(w, "mSendAddress");
    QVERIFY(!address->isEnabled());
    QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(windowtest::widget<QSpinBox>(w, "mSendChannel")->isEnabled());
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mSendChannel")->value(), 0);
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mSendWidth")->value(), 0);
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mSendHeight")->value(), 0);
    auto *depth = windowtest::widget<QComboBox>(w, "mSendDepth");
    QCOMPARE(itemTexts(depth), QStringList({"16-bit", "24-bit", "32-bit"}));
    QCOMPARE(depth->currentIndex(), 1);
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mSendFPS")->value(), 15);
    auto *type = windowtest::widget<QComboBox>(w, "mSendCompressionType");
    QCOMPARE(itemTexts(type), QStringList({"None", "JPEG"}));
    QCOMPARE(type->currentIndex(), 0);
    auto *level = windowtest::widget<QSlider>(w, "mSendCompressionLevel");
    QCOMPARE(level->value(), 0);
    QCOMPARE(level->orientation(), Qt::Horizontal);
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mSendConfig")->value(), 0);

    auto *receiveProtocol = windowtest::widget<QComboBox>(w, "mReceiveProtocol");
    QCOMPARE(itemTexts(receiveProtocol),
             QStringList({"None (Disabled)", "Multicast (UDP)", "Remote (TCP)", "Local (Memory)"}));
    QCOMPARE(receiveProtocol->currentIndex(), 0);
    QVERIFY(windowtest::widget<QSpinBox>(w, "mReceiveChannel")->isEnabled());
    QCOMPARE(windowtest::widget<QSpinBox>(w, "mReceiveChannel")->value(), 0);
    QVERIFY(windowtest::widget<QListWidget>(w, "mAddresses")->isSortingEnabled());

    for (const char *name : {"mSendUpdate", "mReceiveUpdate"}) {
        QVERIFY2(windowtest::widget<QCheckBox>(w, name)->isChecked(), name);
        QCOMPARE(windowtest::widget<QCheckBox>(w, name)->text(), QStringLiteral("Update"));
    }
    for (const char *name : {"mSendDisplay", "mReceiveDisplay"}) {
        auto *display = windowtest::widget<QLabel>(w, name);
        QVERIFY2(display->text().isEmpty() && display->pixmap().isNull(), name);
        QCOMPARE(display->minimumSize(), QSize(0, 0));
    }
    QCOMPARE(windowtest::widget<QGroupBox>(w, "groupBox_2")->title(), QStringLiteral("Send"));
    QCOMPARE(windowtest::widget<QGroupBox>(w, "groupBox")->title(), QStringLiteral("Receive"));

    auto *send = windowtest::widget<QPushButton>(w, "mSendButton");
    QCOMPARE(send->text(), QStringLiteral("Send"));
    QVERIFY(send->isEnabled() && send->isCheckable() && !send->isChecked());
    QCOMPARE(windowtest::widget<QPushButton>(w, "mSendSave")->text(), QStringLiteral("Save"));
    QVERIFY(!windowtest::widget<QPushButton>(w, "mSendSave")->isCheckable());

    const QList<std::pair<const char *, const char *>> texts = {
        {"label", "Protocol:"},
        {"label_2", "Channel:"},
        {"label_3", "FPS:"},
        {"label_4", "Width:"},
        {"label_5", "Height:"},
        {"label_6", "Depth:"},
        {"label_7", "Image Bytes Per Second:"},
        {"label_8", "Transfer Bytes Per Second:"},
        {"label_18", "Image Bytes Per Frame:"},
        {"label_19", "Transfer Avg. Bytes Per Frame:"},
        {"mWidth", "0"},
        {"mHeight", "0"},
        {"mDepth", "N/A"},
        {"mFPS", "0"},
        {"mReceiveBytesPerSecond", "0"},
        {"mCompressedSize", "0"},
        {"mReceiveImageBytesPerFrame", "0"},
        {"mReceiveTransferBytesPerFrame", "0"},
    };
    for (const auto &[name, text] : texts)
        QCOMPARE(windowtest::widget<QLabel>(w, name)->text(), QString::fromLatin1(text));
}

void TestStartup::windowTitleSizeAndMenu()
{
    MainWindow &w = window();
    QCOMPARE(w.windowTitle(), QStringLiteral("Video Streaming Tool - tarvel.com"));
    QCOMPARE(w.size(), QSize(425, 443));
    QVERIFY(!w.isMaximized());

    QMenuBar *bar = w.menuBar();
    QCOMPARE(bar->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(bar->geometry(), QRect(0, 0, 425, 21));
    auto *help = windowtest::widget<QMenu>(w, "menu_Help");
    QVERIFY(help);
    QCOMPARE(bar->actions(), QList<QAction *>({help->menuAction()}));
    QCOMPARE(help->title(), QStringLiteral("&Help"));

    const QList<QAction *> actions = help->actions();
    QCOMPARE(actions.size(), 3);
    const char *names[] = {"actionAbout_zunVidStreamTester", "actionOnline_Help", "actionTarvel_com"};
    const char *texts[] = {"About zunVidStreamTool...", "Online Help...", "tarvel.com"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(actions[i]->objectName(), QString::fromLatin1(names[i]));
        QCOMPARE(actions[i]->text(), QString::fromLatin1(texts[i]));
        QVERIFY(!actions[i]->isSeparator() && !actions[i]->isCheckable() && actions[i]->isEnabled());
        QCOMPARE(actions[i]->parent(), &w);
    }
}

void TestStartup::sendRowsTopToBottom()
{
    auto *form = windowtest::widget<QFormLayout>(window(), "formLayout_2");
    const QStringList expected = {"Config Entry:", "Protocol:", "Address:", "Channel:", "Width:", "Height:",
                                  "Depth:", "FPS:", "Compression Type:", "Compression Level:"};
    const QStringList fields = {"mSendConfig", "mSendProtocol", "mSendAddress", "mSendChannel", "mSendWidth",
                                "mSendHeight", "mSendDepth", "mSendFPS", "mSendCompressionType",
                                "mSendCompressionLevel"};
    QCOMPARE(form->rowCount(), expected.size());
    for (int row = 0; row < form->rowCount(); ++row) {
        auto *label = qobject_cast<QLabel *>(form->itemAt(row, QFormLayout::LabelRole)->widget());
        QVERIFY(label);
        QCOMPARE(label->text(), expected[row]);
        QCOMPARE(form->itemAt(row, QFormLayout::FieldRole)->widget()->objectName(), fields[row]);
    }

    // Shown on screen in that order too.
    MainWindow &w = window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int lastY = -1;
    for (const QString &name : fields) {
        const int y = windowtest::widget<QWidget>(w, name.toLatin1().constData())->geometry().top();
        QVERIFY2(y > lastY, qPrintable(name));
        lastY = y;
    }
}

void TestStartup::rangesOfTheNumberFields()
{
    MainWindow &w = window();
    const QList<std::tuple<const char *, int, int>> ranges = {
        {"mSendFPS", 1, 100},       {"mSendWidth", 0, 2048},   {"mSendHeight", 0, 2048},
        {"mSendChannel", 0, 99},    {"mSendConfig", 0, 99},    {"mReceiveChannel", 0, 99},
    };
    for (const auto &[name, minimum, maximum] : ranges) {
        auto *box = windowtest::widget<QSpinBox>(w, name);
        QVERIFY2(box, name);
        QCOMPARE(box->minimum(), minimum);
        QCOMPARE(box->maximum(), maximum);
    }
    auto *level = windowtest::widget<QSlider>(w, "mSendCompressionLevel");
    QCOMPARE(level->minimum(), 0);
    QCOMPARE(level->maximum(), 100);

    // Typing beyond the range stops at its end.
    auto *fps = windowtest::widget<QSpinBox>(w, "mSendFPS");
    fps->setValue(0);
    QCOMPARE(fps->value(), 1);
    fps->setValue(101);
    QCOMPARE(fps->value(), 100);
}

void TestStartup::sendButtonIsCheckable()
{
    MainWindow &w = window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *send = windowtest::widget<QPushButton>(w, "mSendButton");
    QSignalSpy toggled(send, &QPushButton::toggled);
    QTest::mouseClick(send, Qt::LeftButton);
    QVERIFY(send->isChecked());
    QTest::mouseClick(send, Qt::LeftButton);
    QVERIFY(!send->isChecked());
    QCOMPARE(toggled.size(), 2);
    QCOMPARE(toggled[0][0].toBool(), true);
    QCOMPARE(toggled[1][0].toBool(), false);
}

void TestStartup::addressListHoldsIpv4InTextOrder()
{
    auto *list = windowtest::widget<QListWidget>(window(), "mAddresses");

    QStringList expected;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            expected << address.toString();
    }
    expected.sort();
    QCOMPARE(listTexts(list), expected);
    for (const QString &text : listTexts(list))
        QCOMPARE(QHostAddress(text).protocol(), QAbstractSocket::IPv4Protocol);
    if (QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHost)))
        QVERIFY(expected.contains(QStringLiteral("127.0.0.1")));

    // Appended in any order, the entries show in text order, not numeric order.
    list->clear();
    for (const char *text : {"192.168.1.9", "127.0.0.1", "192.168.1.10", "10.0.0.5", "192.168.1.2"})
        list->insertItem(list->count(), QString::fromLatin1(text));
    QCOMPARE(listTexts(list),
             QStringList({"10.0.0.5", "127.0.0.1", "192.168.1.10", "192.168.1.2", "192.168.1.9"}));
}

void TestStartup::settingsPathUnderXdgConfigHome()
{
    QCOMPARE(MainWindowProbe::settingsPath(window()), mConfigHome->path() + QStringLiteral("/tarvel/zunStream.ini"));
    // Opening the tool creates nothing: only a save writes the file.
    QVERIFY(!QFile::exists(mConfigHome->path() + QStringLiteral("/tarvel")));
}

void TestStartup::unusableSettingsLocationStillOpens()
{
    // A config home below a plain file can be neither read nor created. (On Linux the location
    // itself is never empty: an unset XDG_CONFIG_HOME falls back to $HOME/.config, and an
    // empty HOME to the root folder.)
    const QString blocker = mConfigHome->path() + QStringLiteral("/file");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker + QStringLiteral("/config")));

    MainWindow &w = window();
    QCOMPARE(MainWindowProbe::settingsPath(w), blocker + QStringLiteral("/config/tarvel/zunStream.ini"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.isVisible());
    QCOMPARE(windowtest::widget<QComboBox>(w, "mSendProtocol")->currentIndex(), 2);
    QVERIFY(!windowtest::widget<QLineEdit>(w, "mSendAddress")->isEnabled());
}

void TestStartup::quietLifeMakesNoLibraryCall()
{
    MainWindow &w = window();
    QVERIFY(!MainWindowProbe::hasStreamDecoder(w));
    QVERIFY(!MainWindowProbe::decoderThread(w));
    QCOMPARE(MainWindowProbe::encoder(w), 0u);
    QVERIFY(w.findChildren<QThread *>().isEmpty());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(300); // a few statistics ticks
    QVERIFY(w.close());
    mWindow.reset();
    QCOMPARE(recording::callNames(), std::vector<std::string>());
}

WINDOW_TEST_MAIN(TestStartup)

#include "tst_startup.moc"
