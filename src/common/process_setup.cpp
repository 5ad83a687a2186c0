#include "common/process_setup.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

// The handler may run on any thread at any moment, so the slots are fixed arrays with a state
// each: a slot is claimed (kWriting) before its path is copied in and marked kReady after, and the
// handler reads only ready slots.
enum SlotState : int { kFree, kWriting, kReady };
char gTemporaryPaths[kTemporaryPathSlots][kTemporaryPathBytes];
std::atomic<int> gSlotState[kTemporaryPathSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the states are read in a signal handler");

extern "C" void requestStop(int) {
    gStopRequested.store(true);
}

// unlink and raise are async-signal-safe. SA_RESETHAND restored the default action, so raising
// the signal again ends the process as it would have without us, exit status included.
extern "C" void removeTemporariesAndDie(int signalNumber) {
    for (int slot = 0; slot < kTemporaryPathSlots; ++slot) {
        if (gSlotState[slot].load() == kReady) {
            unlink(gTemporaryPaths[slot]);
        }
    }
    raise(signalNumber);
}

}  // namespace

void openStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            // open returns the lowest free descriptor, which is this one.
            const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened != fd && opened >= 0) {
                close(opened);
            }
        }
    }
}

const std::atomic<bool>* installStopSignals() {
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGXFSZ, SIG_IGN);
    // The signals whose default action ends the process; one that the parent set to be ignored
    // stays ignored.
    const int fatalSignals[] = {SIGHUP,    SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL};
    for (int signalNumber : fatalSignals) {
        struct sigaction current;
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeTemporariesAndDie;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigfillset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
    return &gStopRequested;
}

int registerTemporaryPath(const char* path) {
    const std::size_t length = std::strlen(path);
    if (length >= kTemporaryPathBytes) {
        return -1;
    }
    for (int slot = 0; slot < kTemporaryPathSlots; ++slot) {
        int expected = kFree;
        if (gSlotState[slot].compare_exchange_strong(expected, kWriting)) {
            std::memcpy(gTemporaryPaths[slot], path, length + 1);
            gSlotState[slot].store(kReady);
            return slot;
        }
    }
    return -1;
}

void forgetTemporaryPath(int slot) {
    if (slot >= 0 && slot < kTemporaryPathSlots) {
        gSlotState[slot].store(kFree);
    }
}
