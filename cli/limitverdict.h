#pragma once

#include "cpumeter.h"

#include <QString>

#include <cstdint>

// What each end of a test saw, as far as telling what held the run back needs.
struct LimitFigures {
    double askedFps = 0;     // the rate the sender was asked for
    double madeFps = 0;      // the frames its loop made: short of asked when the process got too little time
    double sentFps = 0;      // what it handed to the link
    double receivedFps = 0;  // what arrived whole
    CpuShare senderCpu, receiverCpu;
    uint64_t overflowed = 0;  // datagrams dropped on the receiver's own full socket buffer
    uint64_t lostBetween = 0; // datagrams the network lost between the two ends, as far as the receiver can tell
    uint64_t framesLost = 0;  // frames the receiver never had whole, whatever the cause
    uint64_t droppedAtReceiver = 0; // whole frames its library dropped before the reader took them
};

// The end that held the run back, named with the figure behind the word.
struct LimitVerdict {
    enum class Who { Nothing, Sender, Receiver, Network, Unclear } who = Who::Nothing;
    QString word;   // "nothing", "the sender", "the receiver", "the network", "unclear"
    QString figure; // "sent 21.3 of 30 fps asked, its CPU at 98% of a core"
};

// The sender limits a run it could not send at the rate asked while its CPU was near a core, or
// whose frames it could not even make in time; the receiver one whose own socket buffer
// overflowed, that lost frames with its CPU near a core, or whose reader left frames to be
// dropped; the network one that lost datagrams between the two. A run at the rate asked without
// a loss was limited by nothing.
LimitVerdict whoLimits(const LimitFigures &figures);
