#include "quarnel_mesh/util/progress.h"

#include <cstdio>

#include "common/process_setup.h"

namespace {

constexpr int kProgressStepPercent = 5;

// A percentage line is on standard error without its newline.
bool gProgressLineOpen = false;

}  // namespace

Progress startProgress(const std::string& label, int64_t totalUnits, int64_t inputBytes) {
    Progress progress;
    progress.label = label;
    progress.totalUnits = totalUnits;
    progress.shown = inputBytes >= kProgressMinBytes && totalUnits > 0;
    return progress;
}

void advanceProgress(Progress& progress, int64_t doneUnits) {
    if (!progress.shown) {
        return;
    }
    // In double: units times 100 could pass 2^63 for no real file, but the ratio never misleads.
    const int percent = static_cast<int>(100.0 * static_cast<double>(doneUnits) /
                                         static_cast<double>(progress.totalUnits));
    if (progress.lastPercent < 0 ||
        percent / kProgressStepPercent != progress.lastPercent / kProgressStepPercent) {
        progress.lastPercent = percent;
        if (backstopIsEnding()) {
            return;
        }
        std::fprintf(stderr, "\r%s: %d%%", progress.label.c_str(), percent);
        std::fflush(stderr);
        gProgressLineOpen = true;
    }
}

void finishProgress(Progress& progress) {
    if (progress.shown && progress.lastPercent >= 0) {
        endProgressLine();
    }
    progress.shown = false;
}

void endProgressLine() {
    // After the backstop's last line, a newline would be the last thing shown.
    if (gProgressLineOpen && !backstopIsEnding()) {
        std::fputc('\n', stderr);
        gProgressLineOpen = false;
    }
}
