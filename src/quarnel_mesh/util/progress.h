// A percentage line on standard error for the long steps of a command: shown only for inputs of
// at least kProgressMinBytes, so small jobs stay quiet, and rewritten in place every five percent.
#pragma once

#include <cstdint>
#include <string>

constexpr int64_t kProgressMinBytes = 50000000;

struct Progress {
    std::string label;
    int64_t totalUnits = 0;
    int lastPercent = -1;
    bool shown = false;
};

Progress startProgress(const std::string& label, int64_t totalUnits, int64_t inputBytes);
void advanceProgress(Progress& progress, int64_t doneUnits);
// Ends the line if one was shown.
void finishProgress(Progress& progress);
// Ends whatever percentage line is open, so that a message printed now starts a line of its own.
void endProgressLine();
