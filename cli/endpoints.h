#pragma once

#include "options.h"

#include <QString>

#include <cstdint>

// Encoders and decoders made from the options; 0 with *why set when the library refuses one, so
// that a command stops with exit 2 before anything is sent.
uint32_t openEncoder(const Options &options, const QString &address, QString *why);
uint32_t openDecoder(const Options &options, QString *why);

// "640x480x24 raw over udp port 10588", for headers and errors.
QString settingName(const Options &options);
