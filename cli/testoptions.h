#pragma once

#include "options.h"
#include "testsettings.h"

// The agreed test as one end runs it. `sending` picks the send or the receive side's options;
// `address` is where a sender sends, or the group (with its interface) a receiver joins.
Options endOptions(const TestSettings &settings, bool sending, const QString &address);
// The test a `test` command line asks for.
TestSettings settingsOfOptions(const Options &options);
