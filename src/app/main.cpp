// quarnel: meshes the power-8 triplex fractal at one of twelve resolution presets.
#include <atomic>
#include <csignal>

#include "app/front_end.h"

namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void requestStop(int) {
    gStopRequested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    // Ctrl-C and SIGTERM end the run after the block in progress, so the temporary file is removed.
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    // Past a file-size limit the write should fail and be reported, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return runQuarnel(argc, argv, &gStopRequested, availableCpuCount());
}
