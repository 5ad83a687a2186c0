// Runs the built executable in a temporary folder, as a user would.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>
#include <sys/resource.h>

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
        const char* preset;
        const char* outputName;
        std::string expectedTail;
        int exitStatus;
    };
    const Case cases[] = {
        {"file-size limit", limitFileSize, 0, "0", "quarnel_0.04m.v3c1",
         "\nError: could not write file! File too large\n", 1},
        {"out of memory", limitAddressSpace, 0, "0", "quarnel_0.04m.v3c1",
         "\nError: out of memory!\n", 1},
        // Preset 6 runs for seconds on any CPU, so the signal comes well before the end.
        {"Ctrl-C", nullptr, SIGINT, "6", "quarnel_10.61m.v3c1", "\nInterrupted.\n", 130},
        {"SIGTERM", nullptr, SIGTERM, "6", "quarnel_10.61m.v3c1", "\nInterrupted.\n", 130},
        // These end the process as their default action does; the partial file goes with it.
        {"closed terminal", nullptr, SIGHUP, "6", "quarnel_10.61m.v3c1", "", 128 + SIGHUP},
        {"closed pipe", nullptr, SIGPIPE, "6", "quarnel_10.61m.v3c1", "", 128 + SIGPIPE},
        {"SIGUSR1", nullptr, SIGUSR1, "6", "quarnel_10.61m.v3c1", "", 128 + SIGUSR1},
        {"SIGALRM", nullptr, SIGALRM, "6", "quarnel_10.61m.v3c1", "", 128 + SIGALRM},
        {"SIGKILL", nullptr, SIGKILL, "6", "quarnel_10.61m.v3c1", "", 128 + SIGKILL},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string output = dir.file(c.outputName);
        writeFile(output, "an earlier file");
        const ProcessResult run =
            runProcess(QUARNEL_EXE, {c.preset}, dir.path, c.setup, c.signalNumber, 400);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.name << "\n" << run.out;
        ASSERT_GE(run.out.size(), c.expectedTail.size()) << c.name;
        EXPECT_EQ(run.out.substr(run.out.size() - c.expectedTail.size()), c.expectedTail)
            << c.name << "\n" << run.out;
        EXPECT_EQ(run.out.find("Done:"), std::string::npos) << c.name;
        EXPECT_EQ(run.err, "") << c.name;
        EXPECT_EQ(readFile(output), "an earlier file") << c.name;
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{c.outputName}) << c.name;
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
