// quarnel-mesh: inspects, converts and previews the triangle files quarnel writes.
#include <atomic>
#include <csignal>

#include "tools/mesh_tool.h"

namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void requestStop(int) {
    gStopRequested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    // Ctrl-C and SIGTERM stop at the next chunk, so the temporary output is removed.
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    // A full file-size limit should fail the write with a message, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return runMeshTool(argc, argv, &gStopRequested);
}
