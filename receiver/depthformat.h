#pragma once

#include <QImage>

// The picture format of a depth code: the sender draws in it and the receiver shows frames in
// it. Codes without one (3, 8-bit, and anything above) give Format_Invalid.
inline QImage::Format imageFormatOfDepth(int depth)
{
    switch (depth) {
    case 0:
        return QImage::Format_RGB16;
    case 1:
        return QImage::Format_RGB888;
    case 2:
        return QImage::Format_RGB32;
    default:
        return QImage::Format_Invalid;
    }
}
