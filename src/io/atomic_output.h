// Output files that appear under their final name only once complete: written through a buffer to
// a uniquely named temporary beside it, renamed onto it at the end, removed on every other path. A
// failed or interrupted run thus never leaves a partial file and never destroys an earlier one.
// Both tools write every output through this module.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where an output failed; the first failure is kept and every later write is dropped.
enum class OutputFailure { kNone, kCreate, kWrite, kRename };

struct AtomicOutput {
    std::string finalPath;
    std::string tempPath;
    int fd = -1;             // open from openAtomicOutput until the commit closes it
    bool committed = false;  // set by the rename; otherwise the destructor removes tempPath
    std::vector<char> buffer;
    std::size_t bufferedBytes = 0;
    OutputFailure failure = OutputFailure::kNone;
    int errorNumber = 0;     // errno of the failure

    AtomicOutput() = default;
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
};

// Creates "<path>.<pid>-<n>.tmp" with O_EXCL and permissions from the umask. Fails (kCreate, with
// the reason) when that fails, and before any work when `path` is a folder (EISDIR) or an existing
// file this process may not replace (EACCES): those would otherwise fail only at the rename.
bool openAtomicOutput(const std::string& path, AtomicOutput& output);

// Appends `byteCount` bytes; a large write goes straight to the file. After a failure the rest
// are dropped and output.failure says why.
void writeAtomicOutput(AtomicOutput& output, const void* bytes, std::size_t byteCount);

// Writes what is buffered, closes the temporary and renames it onto the final path. False, with
// output.failure set and the temporary removed, when any write, the close or the rename failed.
bool commitAtomicOutput(AtomicOutput& output);

// One line for the failure: "cannot create PATH: reason", "cannot write PATH: reason" (or "...: it
// is a folder"), "cannot rename the output onto PATH: reason".
std::string describeOutputFailure(const AtomicOutput& output);
