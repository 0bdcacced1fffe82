#pragma once

#include "zunVidStreamLib2.h"

#include <string>

namespace zun {

// Passes one event to the program's log handler, or by default to stderr when ZUN_LOG asks
// for its level. The same text within a second is held back and later passed with its count.
void logMessage(int level, const std::string &text);

void setLogHandler(ZunLogHandler handler, void *user);

} // namespace zun
