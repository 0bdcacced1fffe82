#pragma once

#include <QImage>

#include <random>

// The window's test picture: each call adds one line whose ends and colour are the next seven
// draws of the generator, so the whole picture depends only on the generator's start state.
void drawRandomLine(QImage &picture, std::minstd_rand &random);
