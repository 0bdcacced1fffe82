#include "randomline.h"

#include <cstdint>

RandomLine nextRandomLine(std::minstd_rand &random, int width, int height)
{
    // Each draw in 0..32767, taken in this order: the lines depend only on the generator's state.
    auto draw = [&random] { return int64_t(random() % 32768); };
    RandomLine line;
    line.x1 = int(draw() * width / 32767);
    line.y1 = int(draw() * height / 32767);
    line.x2 = int(draw() * width / 32767);
    line.y2 = int(draw() * height / 32767);
    line.red = int(draw() * 255 / 32767);
    line.green = int(draw() * 255 / 32767);
    line.blue = int(draw() * 255 / 32767);
    return line;
}
