#pragma once

// The window tests' kit: the window's private state and slots (MainWindow befriends
// MainWindowProbe), form objects by name, the recorded library calls, and a main() that
// keeps settings out of the user's folder.

#include "mainwindow.h"
#include "recordingstream.h"
#include "zunstreamdecoder.h"

#include <QApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <algorithm>

class MainWindowProbe
{
public:
    static zunStreamDecoder *streamDecoder(MainWindow &window) { return window.mStreamDecoder; }
    static bool hasStreamDecoder(MainWindow &window) { return window.mStreamDecoder != nullptr; }
    static QThread *decoderThread(MainWindow &window) { return window.mDecoderThread; }
    static uint32_t encoder(MainWindow &window) { return window.mEncoder; }
    static const StreamFormat &sendFormat(MainWindow &window) { return window.mSendFormat; }
    static QImage &sendImage(MainWindow &window) { return window.mSendImage; }
    static std::minstd_rand &random(MainWindow &window) { return window.mRandom; }
    static int64_t &statsStartTime(MainWindow &window) { return window.mStatsStartTime; }
    static int64_t &recvFrames(MainWindow &window) { return window.mRecvFrames; }
    static int64_t &recvCompressedBytes(MainWindow &window) { return window.mRecvCompressedBytes; }
    static int64_t &recvImageBytes(MainWindow &window) { return window.mRecvImageBytes; }
    static QString settingsPath(MainWindow &window) { return window.mSettingsPath; }
    static void setSettingsPath(MainWindow &window, const QString &path) { window.mSettingsPath = path; }

    static void drawEncoderImage(MainWindow &window) { window.drawEncoderImage(); }
    static void updateWindow(MainWindow &window) { window.updateWindow(); }
    static void frameReceived(MainWindow &window) { window.frameReceived(); }
};

namespace windowtest {

// The form's object of that name and class; null, with a warning, when there is none.
template <typename T>
T *widget(QWidget &window, const char *name)
{
    auto *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no form object %s", name);
    return found;
}

inline QStringList names(const std::vector<recording::Call> &calls)
{
    QStringList list;
    for (const auto &call : calls)
        list << QString::fromStdString(call.name);
    return list;
}

inline QStringList callNames()
{
    return names(recording::calls());
}

inline int countCalls(const std::string &name)
{
    const auto calls = recording::calls();
    return int(std::count_if(calls.begin(), calls.end(), [&](const auto &call) { return call.name == name; }));
}

} // namespace windowtest

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
