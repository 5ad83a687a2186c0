// What one run of a command carries through its stages, in place of loose parameters: its
// progress line and the units the passes before took, the counts of what it left out, and the one
// line that says why it failed. A stop is asked of the process's one source (stopWasRequested).
#pragma once

#include <cstdint>
#include <string>

#include "common/process_setup.h"
#include "quarnel_mesh/util/progress.h"

struct RunContext {
    Progress progress;
    int64_t doneUnits = 0;          // progress units of the passes before the current one
    int64_t nonFiniteDropped = 0;   // triangles with a NaN or infinite vertex left out
    int64_t degenerateDropped = 0;  // triangles with two equal vertices left out (3MF)
    std::string error;              // set by the stage that failed: one line, no prefix
};

// True, with run.error "interrupted", once a stop was requested.
inline bool runInterrupted(RunContext& run) {
    if (stopWasRequested()) {
        run.error = "interrupted";
        return true;
    }
    return false;
}
