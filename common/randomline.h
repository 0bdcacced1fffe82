#pragma once

#include <random>

// One line of the window's test picture: its ends and colour are the next seven draws of the
// generator, so the whole picture depends only on the generator's start state.
struct RandomLine {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
    int red = 0;
    int green = 0;
    int blue = 0;
};

// The next line for a picture of width x height; the window paints it 2 pixels wide with square ends.
RandomLine nextRandomLine(std::minstd_rand &random, int width, int height);
