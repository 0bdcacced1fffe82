// The help menu: the About box and the two links, triggered through the menu's actions.

#include "mainwindowprobe.h"
#include "recordingstream.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

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
    void linksOpenTheExactUrls_data();
    void linksOpenTheExactUrls();

private:
    QAction *action(const char *name);

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
    return formObject<QAction>(*mWindow, name);
}

void TestHelpMenu::aboutBoxShowsItsTextModallyAndCloses()
{
    QString text;
    bool hadParent = true;
    bool blockedWindow = false;
    int buttons = -1;
    bool closed = false;
    QTimer::singleShot(0, this, [&] {
        // Runs inside the box's own event loop.
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget(), 5000);
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        hadParent = box->parentWidget() != nullptr;
        buttons = int(box->buttons().size());
        blockedWindow = QApplication::activeModalWidget() != mWindow.get()
                        && box->isModal();
        QTest::keyClick(box, Qt::Key_Escape);
        closed = true;
    });
    QTimer fallback;
    // Should the box not close, end it rather than hang the test.
    connect(&fallback, &QTimer::timeout, this, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    fallback.start(10000);

    action("actionAbout_zunVidStreamTester")->trigger();

    QVERIFY(closed);
    QCOMPARE(text.split(QLatin1Char('\n')).size(), 3);
    QVERIFY(text.startsWith(QStringLiteral("zunVidStreamTool v1.1.0 ")));
    QCOMPARE(text.split(QLatin1Char('\n'))[1], QString());
    QVERIFY(!text.split(QLatin1Char('\n'))[2].isEmpty());
    QVERIFY(!hadParent);
    QVERIFY(blockedWindow);
    QCOMPARE(buttons, 1);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(mCatcher.urls.isEmpty());
    QCOMPARE(recording::callNames(), std::vector<std::string>());
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
