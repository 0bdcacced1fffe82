#pragma once

#include <QString>

// Where the send presets live: the same file for the window and every other program of the
// tool. Empty when the system names no configuration folder.
QString settingsFilePath();
