#pragma once

#include "options.h"

#include <QString>
#include <QStringList>

#include <cstdint>

// The library's status of a handle, in the words of a second's line.
struct LinkStatus {
    QString state; // "waiting", "receiving", "stalled", "failed", "connecting", ...
    QString text;  // why nothing arrives or leaves; "" while all is well
};

// Why a receiver has no frames: what it waits on (the groups it joined and where), how long
// it has been quiet, and the last problem the library met. `seen` keeps that problem as it
// stood while frames came: once they stop it is history, and only a newer one is told.
LinkStatus receiveStatus(const Options &options, uint32_t decoder, QString &seen);
// What a sender waits on (a name being looked up, a connection being made) and its last problem.
LinkStatus sendStatus(uint32_t encoder);
// The library's last words on a handle that refused a setting; "" when it has none.
QString statusText(uint32_t handle);

// The interfaces a receiver without an interface address joins its group on: those up with an
// IPv4 address that carry multicast, and loopback.
QStringList multicastInterfaceNames();
