#pragma once

// Helpers of the app and config tests: the window's private state (MainWindow befriends
// MainWindowProbe; the sender and receiver tests have their own in tests/support), form objects
// by name, and a main() that keeps settings out of the user's folder.

#include "mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

class MainWindowProbe
{
public:
    explicit MainWindowProbe(MainWindow &window) : mWindow(window) {}

    QString settingsPath() const { return mWindow.mSettingsPath; }
    void setSettingsPath(const QString &path) { mWindow.mSettingsPath = path; }
    uint32_t encoder() const { return mWindow.mEncoder; }
    bool hasStreamDecoder() const { return mWindow.mStreamDecoder != nullptr; }
    QThread *decoderThread() const { return mWindow.mDecoderThread; }

private:
    MainWindow &mWindow;
};

// The form's object of that name and class, or null.
template <typename T>
T *formObject(QWidget &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

// A test's main(): settings go to a temporary folder, never the user's own, from before the
// application exists; a test case may point XDG_CONFIG_HOME elsewhere before it makes a window.
#define WINDOW_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char *argv[])                                                             \
    {                                                                                            \
        QTemporaryDir configHome;                                                                \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));                        \
        QApplication application(argc, argv);                                                    \
        TestClass test;                                                                          \
        return QTest::qExec(&test, argc, argv);                                                  \
    }
