// What both command-line tools set up before any work: the standard streams, clean stops, and
// removal of named temporary files when a signal ends the process.
#pragma once

#include <atomic>

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so that no file the tool
// opens later takes one of them and receives its printed text. Call first thing in main.
void openStandardStreams();

// Makes Ctrl-C and SIGTERM raise the returned flag instead of ending the process, so a long job
// can stop between units of work and remove its temporary output; ignores SIGXFSZ, so a write
// past the file-size limit fails with an error to report instead of killing the process. Every
// other signal that ends a process by default (SIGHUP, SIGPIPE, SIGUSR1, SIGALRM, ...) first
// removes the registered temporary files, then ends it as before, with the same status.
const std::atomic<bool>* installStopSignals();

// Up to kTemporaryPathSlots named temporary files may be registered at once; a signal that ends
// the process removes them. `path` must be shorter than kTemporaryPathBytes. Returns the slot,
// or -1 when none is free or the path is too long (the file is then simply not covered).
constexpr int kTemporaryPathSlots = 8;
constexpr int kTemporaryPathBytes = 4096;
int registerTemporaryPath(const char* path);
// Stops covering the slot's file (after it was renamed or removed). Ignores -1.
void forgetTemporaryPath(int slot);
