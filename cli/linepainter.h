#pragma once

#include "pixelformat.h"
#include "randomline.h"

#include <cstdint>

// Paints one of the window's random lines into a frame as the window's painter does, 2 pixels
// wide with square ends, without Qt Gui, so zunstream needs no desktop libraries.
void paintLine(const StreamFormat &format, uint8_t *pixels, const RandomLine &line);
