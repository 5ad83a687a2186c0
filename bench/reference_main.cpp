// quarnel_reference and quarnel_columns: the main tool with one of the slower sampling paths
// (QUARNEL_SAMPLING names it), so that the benchmark script can time the default path against
// them and check that all of them write the same files.
#include <csignal>

#include "app/front_end.h"

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);
    return runQuarnel(argc, argv, nullptr, availableCpuCount(), SamplingPath::QUARNEL_SAMPLING);
}
