#pragma once

// Ctrl-C and SIGTERM ask the running command to stop; it then finishes its summary.
void installStopHandlers();
bool stopRequested();
