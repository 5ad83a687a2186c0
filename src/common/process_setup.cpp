#include "common/process_setup.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Who decides how the process ends once a stop was requested: the work while it runs or commits,
// the backstop once it has claimed kBackstopEnding. Every change is a compare-and-swap.
enum RunState : int { kWorking, kCommitting, kCommitted, kWorkEnding, kBackstopEnding };
std::atomic<int> gRunState{kWorking};

// sem_post is async-signal-safe: the handler wakes the backstop through it.
sem_t gStopSemaphore;
std::atomic<bool> gBackstopStarted{false};
int gBackstopFd = -1;
const char* gBackstopMessage = "";
int gBackstopGraceMilliseconds = 0;

// A stack of its own for the fatal-signal handler, so that a stack overflow still removes the
// temporaries.
alignas(16) char gAlternateStack[64 * 1024];

void removeTemporaries() {
    for (int slot = 0; slot < kTemporaryPathSlots; ++slot) {
        if (gSlotState[slot].load() == kReady) {
            unlink(gTemporaryPaths[slot]);
        }
    }
}

extern "C" void requestStop(int) {
    const int savedErrno = errno;
    gStopRequested.store(true);
    if (gBackstopStarted) {
        sem_post(&gStopSemaphore);
    }
    errno = savedErrno;
}

// unlink and raise are async-signal-safe. SA_RESETHAND restored the default action, so raising
// the signal again ends the process as it would have without us, exit status and core included.
extern "C" void removeTemporariesAndDie(int signalNumber) {
    removeTemporaries();
    raise(signalNumber);
}

void sleepMilliseconds(int milliseconds) {
    timespec wait = {milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// The last close of a large unnamed file frees its blocks, which on a file system that discards
// them at once takes a second or more for gigabytes (1.2 s for 7 GB of output), and the process
// only ends once that is done. So on a stop a child takes a copy of the unnamed ones, waits until
// this process is gone (its end of a pipe closes), and then makes those last closes itself: the
// stop returns at once, and the space is freed just after. _Fork runs no fork handlers, so the
// child may call only async-signal-safe functions, and does. Without a child (a process limit)
// the closes stay here.
void leaveLastClosesToAChild() {
    int gone[2];
    if (pipe2(gone, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t child = _Fork();
    if (child == 0) {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);  // nothing of the parent's runs here
        // The standard streams first, so that whoever reads the tool's output sees it end.
        close(0);
        close(1);
        close(2);
        close(gone[1]);
        // Only the files without a name are kept: a named one (the input, an output already in
        // place, a temporary that a FUSE or NFS mount renames while it is open) must be closed
        // by this process at its end, as if there were no child.
        rlimit files;
        const int end = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                            ? static_cast<int>(files.rlim_cur)
                            : 65536;
        for (int fd = 3; fd < end; ++fd) {
            struct stat info;
            if (fd != gone[0] && fstat(fd, &info) == 0 &&
                !(S_ISREG(info.st_mode) && info.st_nlink == 0)) {
                close(fd);
            }
        }
        char byte;
        while (read(gone[0], &byte, 1) != 0 && errno == EINTR) {
        }
        close_range(3, ~0u, 0);
        _exit(0);
    }
    close(gone[0]);
    if (child < 0) {
        close(gone[1]);
    }
    // Else gone[1] stays open until this process ends.
}

extern "C" void* runBackstop(void*) {
    while (sem_wait(&gStopSemaphore) != 0) {
    }
    leaveLastClosesToAChild();
    sleepMilliseconds(gBackstopGraceMilliseconds);
    for (;;) {
        int state = gRunState.load();
        if (state == kWorking && gRunState.compare_exchange_strong(state, kBackstopEnding)) {
            removeTemporaries();
            // A stalled pipe must not hold the ending up: the message goes only where it fits.
            pollfd target = {gBackstopFd, POLLOUT, 0};
            if (gBackstopFd >= 0 && poll(&target, 1, 0) == 1 && (target.revents & POLLOUT)) {
                const ssize_t ignored = write(gBackstopFd, gBackstopMessage,
                                              std::strlen(gBackstopMessage));
                (void)ignored;
            }
            _exit(130);
        }
        if (state == kCommitted) {
            _exit(0);
        }
        if (state == kWorkEnding) {
            // The work is printing its own message, and may be stuck on a stalled stream.
            sleepMilliseconds(100);
            _exit(130);
        }
        sleepMilliseconds(10);  // a commit in progress: its outcome decides the status
    }
}

// The signals whose default action ends the process, but for SIGINT and SIGTERM (a stop),
// SIGXFSZ (ignored) and SIGKILL and SIGSTOP (which nothing can catch).
void installFatalSignalHandlers() {
    stack_t alternate;
    std::memset(&alternate, 0, sizeof alternate);
    alternate.ss_sp = gAlternateStack;
    alternate.ss_size = sizeof gAlternateStack;
    sigaltstack(&alternate, nullptr);
    const int fixedSignals[] = {SIGHUP,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
                                SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE,   SIGALRM,
                                SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR, SIGSYS};
    const auto install = [](int signalNumber) {
        // One that the parent set to be ignored stays ignored.
        struct sigaction current;
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            return;
        }
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeTemporariesAndDie;
        action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
        sigfillset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    };
    for (const int signalNumber : fixedSignals) {
        install(signalNumber);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        install(signalNumber);
    }
}

}  // namespace

void shareOneAllocatorArenaUnderAnAddressSpaceLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        mallopt(M_ARENA_MAX, 1);
    }
}

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
    struct sigaction stop;
    std::memset(&stop, 0, sizeof stop);
    stop.sa_handler = requestStop;
    stop.sa_flags = 0;  // no SA_RESTART: a read or write blocked on a pipe returns EINTR
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
    installFatalSignalHandlers();
    return &gStopRequested;
}

bool stopWasRequested() {
    return gStopRequested.load();
}

void startStopBackstop(int messageFd, const char* message, int graceMilliseconds) {
    if (gBackstopStarted || sem_init(&gStopSemaphore, 0, 0) != 0) {
        return;
    }
    gBackstopFd = messageFd;
    gBackstopMessage = message;
    gBackstopGraceMilliseconds = graceMilliseconds;
    // The thread takes no signal, so a stop interrupts the work's blocked calls instead.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, nullptr, runBackstop, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started) {
        gBackstopStarted.store(true);
        pthread_detach(thread);
        if (gStopRequested.load()) {
            sem_post(&gStopSemaphore);
        }
    }
}

bool beginCommit() {
    if (gStopRequested.load()) {
        return false;
    }
    int state = gRunState.load();
    return (state == kWorking || state == kCommitted) &&
           gRunState.compare_exchange_strong(state, kCommitting);
}

void endCommit(bool committed) {
    gRunState.store(committed ? kCommitted : kWorking);
}

bool claimInterruptedExit() {
    // From kCommitted too: an output beside the main one (an OBJ's material library) may be in
    // place when the stop refuses the main one's commit, and then the run is interrupted.
    int state = gRunState.load();
    return state == kWorkEnding || ((state == kWorking || state == kCommitted) &&
                                    gRunState.compare_exchange_strong(state, kWorkEnding));
}

bool backstopIsEnding() {
    return gRunState.load() == kBackstopEnding;
}

void waitForBackstopExit() {
    for (;;) {
        pause();
    }
}

void endProcessNow(int status) {
    removeTemporaries();
    _exit(status);
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
