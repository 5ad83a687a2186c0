// quarnel_reference: the main tool with the straightforward sampling path, so that the benchmark
// script can time the fast paths against it and check that the files are identical.
#include <csignal>

#include "app/front_end.h"

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);
    return runQuarnel(argc, argv, nullptr, availableCpuCount(), SamplingPath::kReference);
}
