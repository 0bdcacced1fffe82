// The help menu: the About box and the two links, triggered through the menu's actions.

#include "windowtestkit.h"
#include "recordingstream.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <functional>

// Stands in for the browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls << url; }
};

class TestHelpMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void aboutBoxShowsItsTextModallyAndCloses();
    void sendingGoesOnWhileTheAboutBoxIsOpen();
    void linksOpenTheExactUrls_data();
    void linksOpenTheExactUrls();

private:
    QAction *action(const char *name);
    // Opens the About box from the menu, runs whileOpen inside it, then closes it by Escape.
    void showAboutBox(const std::function<void(QMessageBox *)> &whileOpen);

    UrlCatcher mCatcher;
    std::unique_ptr<MainWindow> mWindow;
};

void TestHelpMenu::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &mCatcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &mCatcher, "open");
}

void TestHelpMenu::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void TestHelpMenu::init()
{
    recording::reset();
    mCatcher.urls.clear();
    mWindow = std::make_unique<MainWindow>();
    mWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(mWindow.get()));
}

void TestHelpMenu::cleanup()
{
    mWindow.reset();
}

QAction *TestHelpMenu::action(const char *name)
{
    return windowtest::widget<QAction>(*mWindow, name);
}

void TestHelpMenu::showAboutBox(const std::function<void(QMessageBox *)> &whileOpen)
{
    bool reached = false;
    QTimer::singleShot(0, this, [&] {
        // Runs inside the box's own event loop.
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget(), 5000);
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        reached = true;
        whileOpen(box);
        QTest::keyClick(box, Qt::Key_Escape);
    });
    QTimer fallback;
    // Should the box not close, end it rather than hang the test.
    connect(&fallback, &QTimer::timeout, this, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    fallback.start(10000);

    action("actionAbout_zunVidStreamTester")->trigger();

    QVERIFY(reached);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestHelpMenu::aboutBoxShowsItsTextModallyAndCloses()
{
    QString text;
    bool hadParent = true;
    bool modal = false;
    qsizetype buttons = -1;
    showAboutBox([&](QMessageBox *box) {
        text = box->text();
        hadParent = box->parentWidget() != nullptr;
        modal = box->isModal() && QApplication::activeModalWidget() == box;
        buttons = box->buttons().size();
    });

    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith(QStringLiteral("zunVidStreamTool v1.1.0 ")));
    QCOMPARE(lines[1], QString());
    QVERIFY(!lines[2].isEmpty());
    QVERIFY(!hadParent);
    QVERIFY(modal);
    QCOMPARE(buttons, qsizetype(1));
    QVERIFY(mCatcher.urls.isEmpty());
    QCOMPARE(recording::callNames(), std::vector<std::string>());
}

void TestHelpMenu::sendingGoesOnWhileTheAboutBoxIsOpen()
{
    windowtest::widget<QSpinBox>(*mWindow, "mSendWidth")->setValue(16);
    windowtest::widget<QSpinBox>(*mWindow, "mSendHeight")->setValue(8);
    windowtest::widget<QSpinBox>(*mWindow, "mSendChannel")->setValue(82);
    windowtest::widget<QPushButton>(*mWindow, "mSendButton")->click();
    QCOMPARE(MainWindowProbe::encoder(*mWindow), 1u);

    auto encodes = [] {
        const std::vector<std::string> names = recording::callNames();
        return std::count(names.begin(), names.end(), std::string("zunEncode"));
    };
    long atOpen = -1;
    long whileOpen = -1;
    showAboutBox([&](QMessageBox *) {
        atOpen = encodes();
        QTRY_VERIFY_WITH_TIMEOUT(encodes() >= atOpen + 2, 5000);
        whileOpen = encodes();
    });
    QVERIFY(whileOpen >= atOpen + 2);
}

void TestHelpMenu::linksOpenTheExactUrls_data()
{
    QTest::addColumn<QString>("actionName");
    QTest::addColumn<QString>("url");
    QTest::newRow("online help")
        << "actionOnline_Help"
        << "https://www.tarvel.com/software/zunvidstreamtool/?utm_source=zunVidStreamTool&utm_medium=online_help";
    QTest::newRow("web site") << "actionTarvel_com"
                              << "https://www.tarvel.com/?utm_source=zunVidStreamTool&utm_medium=website";
}

void TestHelpMenu::linksOpenTheExactUrls()
{
    QFETCH(QString, actionName);
    QFETCH(QString, url);
    action(actionName.toLatin1().constData())->trigger();
    QCOMPARE(mCatcher.urls.size(), 1);
    QCOMPARE(mCatcher.urls[0].toString(QUrl::FullyEncoded), url);
    QCOMPARE(mCatcher.urls[0].host(), QStringLiteral("www.tarvel.com"));
    QVERIFY(!QApplication::activeModalWidget());
}

WINDOW_TEST_MAIN(TestHelpMenu)

#include "tst_helpmenu.moc"
