// Test helper: runs a program with arguments in a folder and captures what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int exitStatus;  // exit code, or 128 + signal number when killed by a signal
};

// Runs `program` with `args` in `workDir` ("": a fresh temporary folder, removed afterwards, so
// that no test writes where it runs). Every child may write at most kChildFileSizeLimit bytes per
// file, so that a wrong argument cannot start a run of many gigabytes. `setup`, when given, runs
// in the child before exec (to set limits, signal dispositions or close descriptors). With
// `signalNumber` set, that signal is sent to the child `signalAfterMs` after its start. Blocks
// until the child ends.
constexpr long long kChildFileSizeLimit = 256ll << 20;
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir = "", void (*setup)() = nullptr,
                         int signalNumber = 0, int signalAfterMs = 0);

// While it lives, every child started is run with the file-system shim preloaded: with
// `refuseUnnamedFiles` it sees a file system without O_TMPFILE; with `logPath` it logs there how
// outputs take their names ("link", "rename") and each folder sync ("fsync-folder"); `fault`
// plants one of the shim's faults (see file_system_shim.cpp).
struct ShimmedChildren {
    explicit ShimmedChildren(bool refuseUnnamedFiles, const std::string& logPath = "",
                             const std::string& fault = "");
    ~ShimmedChildren();
    ShimmedChildren(const ShimmedChildren&) = delete;
    ShimmedChildren& operator=(const ShimmedChildren&) = delete;
};

// A fresh empty folder under the system's temporary folder, removed with its contents when the
// object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Runs `program` with `args` in `workDir` on a new pseudo-terminal, as from an interactive shell.
// Returns true when `marker` appeared in its output while it was still running and before
// `laterMarker` did (it then runs to its end); `output` gets everything it printed.
bool markerSeenWhileRunning(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, const std::string& marker,
                            const std::string& laterMarker, std::string& output);

// The 64-bit FNV-1a hash of `bytes`: a short fingerprint that pins a whole output in a test.
unsigned long long fnv1a64(const std::string& bytes);

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// Names of the entries of `dir`, without "." and "..", sorted.
std::vector<std::string> listDir(const std::string& dir);
