#pragma once

// Small helpers shared by the sender and receiver window tests.

#include "recordingstream.h"

#include <QStringList>
#include <QWidget>

#include <algorithm>

namespace windowtest {

template<typename Widget>
Widget *widget(QWidget &window, const char *name)
{
    auto *found = window.findChild<Widget *>(QLatin1String(name));
    if (!found)
        qFatal("no widget %s", name);
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
