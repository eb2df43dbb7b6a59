#pragma once
// The station: slots for the ports, the display, the records, the end on SIGINT/SIGTERM, the summary.

#include "line/LineOptions.h"

#include <cstdio>

// Runs a batch or a watch; returns the exit code.
int RunStation(const LineOptions& options, std::FILE* out);
