// What both command-line tools set up before any work: the standard streams, clean stops, and
// removal of named temporary files when a signal ends the process.
//
// A stop (Ctrl-C, SIGTERM) is heard three ways: the flag, checked between units of work; a write
// or read that the signal interrupts (the handlers are installed without SA_RESTART); and a
// backstop thread that ends the process itself when the work has not stopped within a grace
// period (inside a library call that cannot be interrupted, or a write to a stalled pipe). The
// commit of an output and the backstop exclude each other, so a process never reports an
// interruption with its file in place, or success without it.
#pragma once

#include <atomic>

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so that no file the tool
// opens later takes one of them and receives its printed text. Call first thing in main.
void openStandardStreams();

// Under an address-space limit (ulimit -v, RLIMIT_AS), has every thread allocate from one malloc
// arena: glibc reserves 64 MiB of address space for each further arena, which the limit counts
// though nothing is stored there, so a worker thread's first allocation could take most of a
// small limit from the work. Without a limit it changes nothing. Call before any thread starts.
void shareOneAllocatorArenaUnderAnAddressSpaceLimit();

// Makes Ctrl-C and SIGTERM raise the returned flag instead of ending the process (with sigaction,
// without SA_RESTART, so a blocked read or write returns EINTR); ignores SIGXFSZ, so a write past
// the file-size limit fails with an error to report instead of killing the process. Every other
// signal whose default action ends the process (all but SIGKILL and SIGSTOP: SIGHUP, SIGPIPE,
// SIGABRT, SIGSEGV, the real-time signals, ...) first removes the registered temporary files,
// then ends it as its default action would, with the same status and core dump.
const std::atomic<bool>* installStopSignals();

// True once Ctrl-C or SIGTERM arrived (the flag installStopSignals returns): the one stop source
// that every stage asks, the reads and writes of io/ included.
bool stopWasRequested();

// Starts the backstop. On a stop request it first hands the process's unnamed files to a child,
// which makes their last closes, and so frees their space, once the process has ended (see
// process_setup.cpp). Then, `graceMilliseconds` after the request, if the process has neither
// ended nor begun a commit, it removes the registered temporaries, writes `message` to `messageFd` when
// that would not block, and exits with status 130. `message` must outlive the process. Without a
// thread to spare (a process limit) it does nothing, and the flag alone stops the work.
void startStopBackstop(int messageFd, const char* message, int graceMilliseconds);

// The commit of an output: false when a stop was requested first (then nothing may be renamed),
// else the backstop waits until endCommit. endCommit(true) after the file took its final name:
// a backstop that fires later exits with status 0, as the finished run would.
bool beginCommit();
void endCommit(bool committed);

// Before a tool prints its own "interrupted" message and exits 130 (also after an output beside
// the main one was committed): false when the backstop has already taken over the ending (the
// caller then waits for it, see waitForBackstopExit).
bool claimInterruptedExit();
[[noreturn]] void waitForBackstopExit();

// True once the backstop is ending the process with its line: what the work would still print
// (a progress line's end) would only come after that line.
bool backstopIsEnding();

// Removes the registered temporaries and exits at once with `status`, without unwinding: for a
// failure that cannot return (an exception thrown where none can be caught).
[[noreturn]] void endProcessNow(int status);

// Up to kTemporaryPathSlots named temporary files may be registered at once; a signal that ends
// the process removes them. `path` must be shorter than kTemporaryPathBytes. Returns the slot,
// or -1 when none is free or the path is too long (the file is then simply not covered).
constexpr int kTemporaryPathSlots = 8;
constexpr int kTemporaryPathBytes = 4096;
int registerTemporaryPath(const char* path);
// Stops covering the slot's file (after it was renamed or removed). Ignores -1.
void forgetTemporaryPath(int slot);
