// Each case runs in a forked child, since it closes descriptors or ends by a signal.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/process_setup.h"
#include "support/process.h"

namespace {

// Runs `body` in a child and returns its wait status.
template <typename Body>
int statusOfChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The address space this process maps, from /proc/self/statm, in bytes.
long long mappedBytes() {
    long long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

}  // namespace

TEST(ProcessSetup, UnderAnAddressSpaceLimitAThreadsAllocationsReserveNoArenaOfTheirOwn) {
    // A further arena reserves 64 MiB; a thread's stack, 8 MiB, stays cached after the join.
    for (const bool limited : {false, true}) {
        const int status = statusOfChild([limited] {
            if (limited) {
                const rlimit limit = {4ll << 30, 4ll << 30};
                setrlimit(RLIMIT_AS, &limit);
            }
            shareOneAllocatorArenaUnderAnAddressSpaceLimit();
            const long long before = mappedBytes();
            std::thread([] { std::free(std::malloc(1000)); }).join();
            const bool arenaOfItsOwn = mappedBytes() - before > (32ll << 20);
            _exit(arenaOfItsOwn == !limited ? 0 : 1);
        });
        EXPECT_EQ(status, 0) << (limited ? "with a limit" : "without a limit");
    }
}

TEST(ProcessSetup, ClosedStandardStreamsAreReopenedBeforeAnyFile) {
    const int status = statusOfChild([] {
        close(0);
        close(2);
        openStandardStreams();
        const int fd = open("/dev/null", O_RDONLY);
        _exit(fd > 2 && fcntl(0, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1 ? 0 : 1);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ProcessSetup, FatalSignalsRemoveRegisteredTemporariesAndStillEndTheProcess) {
    // Every signal whose default action ends the process, but SIGKILL and SIGSTOP (which nothing
    // catches) and SIGINT, SIGTERM and SIGXFSZ (which the tools take over).
    std::vector<int> signals = {SIGHUP,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,  SIGFPE,
                                SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGSTKFLT, SIGXCPU,
                                SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGSYS};
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        signals.push_back(signalNumber);
    }
    for (const int signalNumber : signals) {
        TempDir dir;
        const std::string kept = dir.file("kept.tmp");
        const std::string removed = dir.file("removed.tmp");
        writeFile(kept, "k");
        writeFile(removed, "r");
        // No core file: the status still says whether the default action would dump one.
        const rlimit noCore = {0, 0};
        const int expected = statusOfChild([&] {
            setrlimit(RLIMIT_CORE, &noCore);
            raise(signalNumber);
        });
        const int status = statusOfChild([&] {
            setrlimit(RLIMIT_CORE, &noCore);
            installStopSignals();
            forgetTemporaryPath(registerTemporaryPath(kept.c_str()));
            registerTemporaryPath(removed.c_str());
            raise(signalNumber);
        });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
        EXPECT_EQ(status, expected) << signalNumber;
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"kept.tmp"}) << signalNumber;
    }
}
