// quarnel: meshes the power-8 triplex fractal at one of twelve resolution presets.
#include "app/front_end.h"
#include "common/process_setup.h"

int main(int argc, char** argv) {
    openStandardStreams();
    shareOneAllocatorArenaUnderAnAddressSpaceLimit();
    const std::atomic<bool>* stopRequested = installStopSignals();
    // The blocks in flight finish in well under this; a stalled standard output never would.
    startStopBackstop(1, kInterruptedText, 500);
    return runQuarnel(argc, argv, stopRequested, availableCpuCount());
}
