// quarnel: meshes the power-8 triplex fractal at one of twelve resolution presets.
#include "app/front_end.h"
#include "common/stop_signal.h"

int main(int argc, char** argv) {
    const std::atomic<bool>* stopRequested = installStopSignals();
    return runQuarnel(argc, argv, stopRequested, availableCpuCount());
}
