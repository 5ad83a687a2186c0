// Test helper: runs a program with arguments in a folder and captures what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int exitStatus;  // exit code, or 128 + signal number when killed by a signal
};

// Runs `program` with `args` in `workDir` ("" for the current folder). `setup`, when given, runs
// in the child before exec (to set limits or signal dispositions). With `signalNumber` set, that
// signal is sent to the child `signalAfterMs` after its start. Blocks until the child ends.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir = "", void (*setup)() = nullptr,
                         int signalNumber = 0, int signalAfterMs = 0);

// A fresh empty folder under the system's temporary folder, removed with its contents when the
// object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// Names of the entries of `dir`, without "." and "..", sorted.
std::vector<std::string> listDir(const std::string& dir);
