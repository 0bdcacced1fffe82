#pragma once

#include "options.h"
#include "testsettings.h"

#include <QByteArray>

#include <optional>

// `test --sweep`: a capacity search whose every trial is one agreed test with the server.
// Exits 0 when some setting passed, 1 when none did, 2 when the server refused.
int runSweep(const Options &options, const TestSettings &settings, const std::optional<QByteArray> &key);
