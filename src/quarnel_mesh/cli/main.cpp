// quarnel-mesh: inspects, converts and previews the triangle files quarnel writes.
#include "common/process_setup.h"
#include "quarnel_mesh/cli/cli.h"

int main(int argc, char** argv) {
    openStandardStreams();
    shareOneAllocatorArenaUnderAnAddressSpaceLimit();
    // Ctrl-C and SIGTERM stop at the next chunk, so the temporary output is removed.
    installStopSignals();
    return runMeshTool(argc, argv);
}
