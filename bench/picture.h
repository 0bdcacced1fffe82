#pragma once

#include "zunVidStreamLib2.h"

#include <cstdint>
#include <vector>

namespace bench {

// A grey picture with `lines` random coloured lines, like the tool's test pattern after a while.
std::vector<uint8_t> linePicture(const StreamFormat &format, int lines);

} // namespace bench
