// quarnel: meshes the power-8 triplex fractal at one of twelve resolution presets.
#include "app/front_end.h"
#include "common/process_setup.h"

int main(int argc, char** argv) {
    openStandardStreams();
    const std::atomic<bool>* stopRequested = installStopSignals();
    return runQuarnel(argc, argv, stopRequested, availableCpuCount());
}
