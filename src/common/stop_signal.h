// Clean stops for the command-line tools.
#pragma once

#include <atomic>

// Makes Ctrl-C and SIGTERM raise the returned flag instead of ending the process, so a long job
// can stop between units of work and remove its temporary output; ignores SIGXFSZ, so a write
// past the file-size limit fails with an error to report instead of killing the process.
const std::atomic<bool>* installStopSignals();
