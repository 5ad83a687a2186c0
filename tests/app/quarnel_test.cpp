// Runs the built executable in a temporary folder, as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/process.h"

namespace {

const std::string kFormatLine =
    "Output file format: array of struct {Vec3f vertices[3]; Vec3f color;}\n";

std::string header(int preset, const char* millions) {
    return std::string("Quarnel 1.0\nPower-8 triplex fractal to triangle mesh, by marching cubes\n\n") +
           "Resolution " + std::to_string(preset) + ": " + millions + "M triangles\n" +
           "Output file: quarnel_" + millions + "m.v3c1\n" + kFormatLine + "\n";
}

std::string progress(const char* percent, long long triangles) {
    char line[128];
    std::snprintf(line, sizeof line, "\rTessellating: %s%%, %.2fM triangles, %.2f MB", percent,
                  triangles / 1e6, triangles * 48.0 / 1048576.0);
    return line;
}

// The triangle count in the summary line "Done: N triangles, S seconds".
long long summaryCount(const std::string& out) {
    std::smatch match;
    const std::regex summary("\nDone: ([0-9]+) triangles, [0-9]+ seconds\n$");
    if (!std::regex_search(out, match, summary)) {
        return -1;
    }
    return std::stoll(match[1]);
}

void limitFileSize() {
    const rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
}

void pinToOneCpu() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
}

// Standard output becomes a one-page pipe that nobody reads: the progress lines soon fill it.
void stallStandardOutput() {
    int ends[2];
    if (pipe(ends) == 0) {
        fcntl(ends[1], F_SETPIPE_SZ, 4096);
        dup2(ends[1], 1);
    }
}

// As user nobody when run as root (root is not held to the process limit), with no thread to
// spare.
void allowNoMoreThreads() {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        _exit(126);
    }
    const rlimit limit = {1, 1};
    setrlimit(RLIMIT_NPROC, &limit);
}

void limitAddressSpace() {
    const rlimit limit = {48 << 20, 48 << 20};
    setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

TEST(EndToEnd, PresetZeroWritesExactlyWhatItReports) {
    TempDir dir;
    const std::string output = dir.file("quarnel_0.04m.v3c1");
    writeFile(output, std::string(48 * 100000, 'x'));  // longer than the new file: must go
    const ProcessResult run = runProcess(QUARNEL_EXE, {"0"}, dir.path);
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_EQ(run.err, "");
    const long long count = summaryCount(run.out);
    ASSERT_EQ(count, 43388);
    EXPECT_EQ(run.out, header(0, "0.04") + progress("0.00", 0) + progress("100.00", count) +
                           "\nDone: " + std::to_string(count) + " triangles, 0 seconds\n");
    // The whole file, pinned: a hole anywhere in the mesh changes it.
    const std::string bytes = readFile(output);
    EXPECT_EQ(bytes.size(), static_cast<size_t>(count) * 48);
    EXPECT_EQ(fnv1a64(bytes), 0xf23d7f439830338full);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"quarnel_0.04m.v3c1"});
}

TEST(EndToEnd, PresetOneReportsProgressBeforeEveryFourthBlock) {
    TempDir dir;
    const ProcessResult run = runProcess(QUARNEL_EXE, {"1"}, dir.path);
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    const std::string head = header(1, "0.51");
    ASSERT_EQ(run.out.compare(0, head.size(), head), 0) << run.out;
    // Each line counts the triangles of the blocks before it; the MB figure follows from it.
    const std::regex line("\rTessellating: ([0-9.]+)%, ([0-9.]+)M triangles, ([0-9.]+) MB");
    std::vector<std::string> percents;
    double lastMillions = -1;
    const std::string body = run.out.substr(head.size());
    for (std::sregex_iterator it(body.begin(), body.end(), line), end; it != end; ++it) {
        percents.push_back((*it)[1]);
        const double millions = std::stod((*it)[2]);
        EXPECT_GE(millions, lastMillions);
        EXPECT_NEAR(std::stod((*it)[3]), millions * 1e6 * 48 / 1048576, 0.005 * 48e6 / 1048576 + 0.01);
        lastMillions = millions;
    }
    const std::vector<std::string> expected = {"0.00",  "14.81", "29.63", "44.44",
                                               "59.26", "74.07", "88.89", "100.00"};
    EXPECT_EQ(percents, expected);
    const long long count = summaryCount(run.out);
    ASSERT_EQ(count, 512512);
    EXPECT_NE(run.out.find(progress("100.00", count) + "\nDone: "), std::string::npos);
    const std::string bytes = readFile(dir.file("quarnel_0.51m.v3c1"));
    EXPECT_EQ(bytes.size(), static_cast<size_t>(count) * 48);
    EXPECT_EQ(fnv1a64(bytes), 0x7ae48e0d07ba987eull);
}

TEST(EndToEnd, FailuresKeepTheEarlierFileAndLeaveNoTemporary) {
    struct Case {
        const char* name;
        void (*setup)();
        int signalNumber;
        int signalAfterMs;
        const char* preset;
        std::string expectedTail;
        int exitStatus;
        const char* fault = "";  // planted by the file-system shim
    };
    const Case cases[] = {
        // The commit fails at the rename over the earlier file, or a signal ends the run just
        // after the link under the temporary name (where strace's injection is taken).
        {"failed rename", nullptr, 0, 0, "0",
         "\nError: could not give the file its name! Input/output error\n", 1,
         "rename-onto:quarnel_0.04m.v3c1"},
        {"SIGHUP at the link", nullptr, 0, 0, "0", "", 128 + SIGHUP, "signal-after-link:1"},
        {"file-size limit", limitFileSize, 0, 0, "0",
         "\nError: could not write file! File too large\n", 1},
        // Many blocks, so the reason must be the output's own, not whatever errno says later.
        {"file-size limit, preset 1", limitFileSize, 0, 0, "1",
         "\nError: could not write file! File too large\n", 1},
        {"out of memory", limitAddressSpace, 0, 0, "0", "\nError: out of memory!\n", 1},
        // Preset 6 runs for seconds on any CPU, so the signal comes well before the end.
        {"Ctrl-C", nullptr, SIGINT, 400, "6", "\nInterrupted.\n", 130},
        {"SIGTERM", nullptr, SIGTERM, 400, "6", "\nInterrupted.\n", 130},
        // Its progress lines fill the pipe and the writer blocks: the stop must still be heard.
        {"Ctrl-C, stdout stalled", stallStandardOutput, SIGINT, 2000, "6", "", 130},
        // These end the process as their default action does; the partial file goes with it.
        {"closed terminal", nullptr, SIGHUP, 400, "6", "", 128 + SIGHUP},
        {"closed pipe", nullptr, SIGPIPE, 400, "6", "", 128 + SIGPIPE},
        {"SIGUSR1", nullptr, SIGUSR1, 400, "6", "", 128 + SIGUSR1},
        {"SIGALRM", nullptr, SIGALRM, 400, "6", "", 128 + SIGALRM},
        {"SIGABRT", nullptr, SIGABRT, 400, "6", "", 128 + SIGABRT},
        {"SIGSEGV", nullptr, SIGSEGV, 400, "6", "", 128 + SIGSEGV},
        {"SIGPWR", nullptr, SIGPWR, 400, "6", "", 128 + SIGPWR},
        {"real-time signal", nullptr, SIGRTMIN + 3, 400, "6", "", 128 + SIGRTMIN + 3},
        {"SIGKILL", nullptr, SIGKILL, 400, "6", "", 128 + SIGKILL},
    };
    // Once where the output is an unnamed file, once where the file system has none and a named
    // temporary takes its place; SIGKILL cannot be caught, so the named one stays there.
    for (const bool unnamedFiles : {true, false}) {
        for (const Case& c : cases) {
            // A named temporary is made, not linked.
            const std::string fault = c.fault;
            if (!unnamedFiles && (c.signalNumber == SIGKILL || fault.rfind("signal", 0) == 0)) {
                continue;
            }
            std::unique_ptr<ShimmedChildren> shim;
            if (!unnamedFiles || !fault.empty()) {
                shim = std::make_unique<ShimmedChildren>(!unnamedFiles, "", fault);
            }
            const std::string label = std::string(c.name) + (unnamedFiles ? "" : ", named");
            TempDir dir;
            const std::string outputName = std::string("quarnel_") +
                                           (c.preset[0] == '0'   ? "0.04"
                                            : c.preset[0] == '1' ? "0.51"
                                                                 : "10.61") +
                                           "m.v3c1";
            const std::string output = dir.file(outputName);
            writeFile(output, "an earlier file");
            const auto started = std::chrono::steady_clock::now();
            const ProcessResult run = runProcess(QUARNEL_EXE, {c.preset}, dir.path, c.setup,
                                                 c.signalNumber, c.signalAfterMs);
            const double seconds = std::chrono::duration<double>(
                                       std::chrono::steady_clock::now() - started).count();
            EXPECT_EQ(run.exitStatus, c.exitStatus) << label << "\n" << run.out;
            ASSERT_GE(run.out.size(), c.expectedTail.size()) << label;
            EXPECT_EQ(run.out.substr(run.out.size() - c.expectedTail.size()), c.expectedTail)
                << label << "\n" << run.out;
            EXPECT_EQ(run.out.find("Done:"), std::string::npos) << label;
            EXPECT_EQ(run.err, "") << label;
            EXPECT_EQ(readFile(output), "an earlier file") << label;
            EXPECT_EQ(listDir(dir.path), std::vector<std::string>{outputName}) << label;
            if (c.signalNumber != 0) {
                // Heard within a second of the signal, with room for a loaded machine.
                EXPECT_LT(seconds, c.signalAfterMs / 1000.0 + 2.0) << label;
            }
        }
    }
}

TEST(EndToEnd, TemporaryOfAKilledRunGoesWithTheNextRunOfItsName) {
    TempDir dir;
    const std::string name = "quarnel_0.04m.v3c1";
    writeFile(dir.file(name), "an earlier file");
    {
        // Killed between the link under the temporary name and the rename: nothing can remove it.
        const ShimmedChildren shim(false, "", "signal-after-link:9");
        EXPECT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 128 + SIGKILL);
    }
    EXPECT_EQ(listDir(dir.path).size(), 2u);
    // The temporaries of live processes, and names that only look like temporaries, stay.
    const std::vector<std::string> kept = {
        name + "." + std::to_string(getpid()) + "-0.tmp", name + ".1-0.tmp", name + ".x-0.tmp",
        name + ".12-0.tmp.keep", "other.v3c1.99999999-0.tmp"};
    for (const std::string& other : kept) {
        writeFile(dir.file(other), "");
    }
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    std::vector<std::string> expected = kept;
    expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listDir(dir.path), expected);
}

TEST(EndToEnd, AnOutputThatCannotBeOpenedNamesTheCause) {
    TempDir gone;
    const ProcessResult removed = runProcess(QUARNEL_EXE, {"0"}, gone.path, [] {
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr) {
            rmdir(here);
        }
    });
    EXPECT_EQ(removed.exitStatus, 1);
    EXPECT_EQ(removed.out,
              header(0, "0.04") + "Error: could not open file! No such file or directory\n");
    // An earlier file on a read-only file system.
    TempDir dir;
    if (runProcess("/bin/mount", {"-t", "tmpfs", "-o", "size=1m", "none", dir.path}).exitStatus !=
        0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { runProcess("/bin/umount", {"-l", path}); }
    };
    const Unmount unmount{dir.path};
    writeFile(dir.file("quarnel_0.04m.v3c1"), "an earlier file");
    ASSERT_EQ(runProcess("/bin/mount", {"-o", "remount,ro", dir.path}).exitStatus, 0);
    const ProcessResult readOnly = runProcess(QUARNEL_EXE, {"0"}, dir.path);
    EXPECT_EQ(readOnly.exitStatus, 1);
    EXPECT_EQ(readOnly.out,
              header(0, "0.04") + "Error: could not open file! Read-only file system\n");
}

TEST(EndToEnd, AnUnreplaceableNameIsRefusedBeforeAnyWork) {
    TempDir dir;
    const std::string output = dir.file("quarnel_0.51m.v3c1");
    ASSERT_EQ(mkfifo(output.c_str(), 0644), 0);
    const ProcessResult fifo = runProcess(QUARNEL_EXE, {"1"}, dir.path);
    EXPECT_EQ(fifo.exitStatus, 1);
    EXPECT_EQ(fifo.out, header(1, "0.51") + "Error: could not replace file! it is a FIFO; remove "
                                             "it or name another output\n");
    unlink(output.c_str());
    writeFile(output, "an earlier file");
    if (runProcess("/usr/bin/chattr", {"+a", output}).exitStatus != 0) {
        GTEST_SKIP() << "chattr +a needs root and a file system with attributes (ext4)";
    }
    const ProcessResult appendOnly = runProcess(QUARNEL_EXE, {"1"}, dir.path);
    runProcess("/usr/bin/chattr", {"-a", output});
    EXPECT_EQ(appendOnly.exitStatus, 1);
    EXPECT_EQ(appendOnly.out, header(1, "0.51") + "Error: could not replace file! it is "
                                                   "append-only (chattr -a removes that)\n");
    EXPECT_EQ(readFile(output), "an earlier file");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"quarnel_0.51m.v3c1"});
}

TEST(EndToEnd, OutputTakesItsNameAtomicallyAndItsFolderIsSynced) {
    struct Case {
        bool unnamedFiles;
        bool earlierFile;
        std::string calls;
    };
    // A new name is linked straight to the unnamed file: no temporary name exists at any moment.
    const Case cases[] = {
        {true, false, "link\nfsync-folder\n"},
        {true, true, "link\nrename\nfsync-folder\n"},
        {false, false, "rename\nfsync-folder\n"},
        {false, true, "rename\nfsync-folder\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        TempDir logDir;
        if (c.earlierFile) {
            // A replaced file keeps its permission bits, however odd.
            writeFile(dir.file("quarnel_0.04m.v3c1"), "an earlier file");
            ASSERT_EQ(chmod(dir.file("quarnel_0.04m.v3c1").c_str(), 0604), 0);
        }
        const ShimmedChildren shim(!c.unnamedFiles, logDir.file("calls"));
        const ProcessResult run = runProcess(QUARNEL_EXE, {"0"}, dir.path);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(readFile(logDir.file("calls")), c.calls) << c.unnamedFiles << c.earlierFile;
        EXPECT_EQ(fnv1a64(readFile(dir.file("quarnel_0.04m.v3c1"))), 0xf23d7f439830338full);
        struct stat info;
        ASSERT_EQ(stat(dir.file("quarnel_0.04m.v3c1").c_str(), &info), 0);
        if (c.earlierFile) {
            EXPECT_EQ(info.st_mode & 07777, 0604u);
        }
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"quarnel_0.04m.v3c1"});
    }
}

TEST(EndToEnd, PrintsAndWritesTheSameOnOneCpuAndOnAll) {
    // The bytes pinned too, those of the straightforward evaluation (presets 0 and 1 are pinned
    // above): every faster sampling path must keep them.
    const struct {
        const char* preset;
        const char* fileName;
        unsigned long long hash;
    } cases[] = {{"2", "quarnel_0.97m.v3c1", 0x4a2b575736797d02ull},
                 {"3", "quarnel_1.59m.v3c1", 0xeb4febc5f03979adull}};
    for (const auto& c : cases) {
        TempDir pinned;
        TempDir all;
        const ProcessResult one = runProcess(QUARNEL_EXE, {c.preset}, pinned.path, pinToOneCpu);
        const ProcessResult many = runProcess(QUARNEL_EXE, {c.preset}, all.path);
        ASSERT_EQ(one.exitStatus, 0);
        ASSERT_EQ(many.exitStatus, 0);
        // Everything but the elapsed seconds of the summary.
        const std::string oneText = one.out.substr(0, one.out.rfind(", "));
        EXPECT_EQ(oneText, many.out.substr(0, many.out.rfind(", "))) << c.preset;
        const std::string bytes = readFile(pinned.file(c.fileName));
        EXPECT_TRUE(bytes == readFile(all.file(c.fileName))) << c.preset;
        EXPECT_EQ(fnv1a64(bytes), c.hash) << c.preset;
    }
    // Where no thread can be started, the run goes on with this one alone, with the same bytes.
    // A copy of the program beside it: user nobody may not reach the build folder.
    TempDir alone;
    chmod(alone.path.c_str(), 0777);
    const std::string copy = alone.file("quarnel");
    writeFile(copy, readFile(QUARNEL_EXE));
    chmod(copy.c_str(), 0755);
    const ProcessResult single = runProcess(copy, {"2"}, alone.path, allowNoMoreThreads);
    ASSERT_EQ(single.exitStatus, 0) << single.out;
    EXPECT_EQ(fnv1a64(readFile(alone.file("quarnel_0.97m.v3c1"))), 0x4a2b575736797d02ull);
}

TEST(EndToEnd, ClosedStandardStreamsNeverReachTheFile) {
    // Without care the output file would take descriptor 1 and receive the printed text.
    void (*const closers[])() = {[] { close(1); }, [] { close(0), close(1), close(2); }};
    for (auto closeStreams : closers) {
        TempDir dir;
        const ProcessResult run = runProcess(QUARNEL_EXE, {"0"}, dir.path, closeStreams);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(fnv1a64(readFile(dir.file("quarnel_0.04m.v3c1"))), 0xf23d7f439830338full);
    }
}

TEST(EndToEnd, ProgressReachesATerminalWhileTheRunGoesOn) {
    // A terminal gets whole lines, or a full 1 KiB buffer, unless the progress line is flushed:
    // preset 2 prints less than that, and one CPU keeps the run long enough to tell.
    TempDir dir;
    std::string output;
    EXPECT_TRUE(markerSeenWhileRunning("/usr/bin/taskset", {"-c", "0", QUARNEL_EXE, "2"},
                                       dir.path, "\rTessellating: ", "Done:", output))
        << output;
    EXPECT_NE(output.find("Done: 971016 triangles"), std::string::npos) << output;
}
