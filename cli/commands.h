#pragma once

#include "options.h"

// Each runs one command to its end and returns the process's exit code.
int runSend(const Options &options);
int runRecv(const Options &options);
int runCheck(const Options &options);
int runServe(const Options &options);
int runTest(const Options &options);
