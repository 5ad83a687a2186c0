#include "support/process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void limitChildFileSize() {
    const rlimit limit = {kChildFileSizeLimit, kChildFileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
}

[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, void (*setup)(), int signalNumber,
                         int signalAfterMs) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::unique_ptr<TempDir> privateDir;
    const std::string folder = workDir.empty() ? (privateDir = std::make_unique<TempDir>())->path
                                               : workDir;
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        limitChildFileSize();
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        if (setup != nullptr) {
            setup();
        }
        execProgram(program, args);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    const auto started = std::chrono::steady_clock::now();
    bool signalPending = signalNumber != 0;
    while (open > 0) {
        int timeoutMs = -1;
        if (signalPending) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started)
                                     .count();
            if (elapsed >= signalAfterMs) {
                kill(pid, signalNumber);
                signalPending = false;
            } else {
                timeoutMs = static_cast<int>(signalAfterMs - elapsed);
            }
        }
        if (poll(fds, 2, timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(got));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool markerSeenWhileRunning(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, const std::string& marker,
                            const std::string& laterMarker, std::string& output) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const std::string terminal = ptsname(master);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        limitChildFileSize();
        setsid();
        const int slave = open(terminal.c_str(), O_RDWR);
        if (slave < 0 || chdir(workDir.c_str()) != 0) {
            _exit(127);
        }
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        close(slave);
        close(master);
        execProgram(program, args);
    }
    bool seenWhileRunning = false;
    bool seen = false;
    char buffer[4096];
    // Linux reports EIO on the master once the child's side is closed.
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<size_t>(got));
        if (!seen && output.find(marker) != std::string::npos) {
            seen = true;
            int status = 0;
            seenWhileRunning = waitpid(pid, &status, WNOHANG) == 0 &&
                               output.find(laterMarker) == std::string::npos;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return seenWhileRunning;
}

ShimmedChildren::ShimmedChildren(bool refuseUnnamedFiles, const std::string& logPath,
                                 const std::string& fault) {
    setenv("LD_PRELOAD", QUARNEL_FILE_SYSTEM_SHIM, 1);
    if (!fault.empty()) {
        setenv("QUARNEL_SHIM_FAULT", fault.c_str(), 1);
    }
    if (refuseUnnamedFiles) {
        setenv("QUARNEL_SHIM_NO_TMPFILE", "1", 1);
    }
    if (!logPath.empty()) {
        setenv("QUARNEL_SHIM_LOG", logPath.c_str(), 1);
    }
}

ShimmedChildren::~ShimmedChildren() {
    unsetenv("LD_PRELOAD");
    unsetenv("QUARNEL_SHIM_NO_TMPFILE");
    unsetenv("QUARNEL_SHIM_LOG");
    unsetenv("QUARNEL_SHIM_FAULT");
}

unsigned long long fnv1a64(const std::string& bytes) {
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    }
    return hash;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quarnel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing useful to do in a destructor; the folder is under the temporary folder.
    }
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(dir.c_str())) {
        while (dirent* entry = readdir(handle)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(handle);
    }
    std::sort(names.begin(), names.end());
    return names;
}
