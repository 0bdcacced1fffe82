#pragma once

#include "zunVidStreamLib2.h"

#include <QImage>

// The picture format of a depth code: the sender draws in it and the receiver shows frames in
// it. Codes without one (8-bit grey, and anything above) give Format_Invalid.
inline QImage::Format imageFormatOfDepth(int depth)
{
    switch (depth) {
    case ZUN_DEPTH_RGB565:
        return QImage::Format_RGB16;
    case ZUN_DEPTH_RGB888:
        return QImage::Format_RGB888;
    case ZUN_DEPTH_RGB32:
        return QImage::Format_RGB32;
    default:
        return QImage::Format_Invalid;
    }
}
