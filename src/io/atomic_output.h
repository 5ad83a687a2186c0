// Output files that appear under their final name only once complete. The bytes go through a
// buffer into an unnamed file in the final name's folder (O_TMPFILE), which is synced, linked under
// a temporary name and renamed onto the final name at the end; on any other path it simply
// vanishes, even when the process is killed. Where the file system has no unnamed files, a named
// temporary beside the final name takes its place, removed on every path a process can catch. A
// failed or interrupted run thus never leaves a partial file and never destroys an earlier one.
// An output may have a companion (an OBJ's material library): the two take their names together,
// both or neither. Both tools write every output through this module.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where an output failed; the first failure is kept and every later write is dropped.
// kReplace: what holds the final name cannot be replaced (see openAtomicOutput); kInterrupted: a
// stop was requested (Ctrl-C, SIGTERM) before the commit.
enum class OutputFailure { kNone, kCreate, kReplace, kWrite, kRename, kInterrupted };

struct AtomicOutput {
    std::string finalPath;
    std::string tempPath;    // the named temporary; empty while the file has no name
    int tempSlot = -1;       // its registration for removal by a fatal signal
    int fd = -1;             // open from openAtomicOutput until the commit closes it
    bool committed = false;  // set by the rename; otherwise the destructor removes tempPath
    std::vector<char> buffer;
    std::size_t bufferedBytes = 0;
    long long writtenBytes = 0;  // handed to write() so far
    long long droppedBytes = 0;  // the start of what flush-behind has not yet written back
    long long startedBytes = 0;  // the start of what flush-behind has not yet begun to write back
    bool flushBehind = true;     // cleared where the file system has no sync_file_range
    OutputFailure failure = OutputFailure::kNone;
    int errorNumber = 0;     // errno of the failure
    const char* replaceProblem = "";  // kReplace: "it is append-only (chattr -a)", ...
    // Opened by the caller beside this one and committed with it (see commitAtomicOutput); it
    // must live until then.
    AtomicOutput* companion = nullptr;

    AtomicOutput() = default;
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
};

// Creates the unnamed file, or "<name>.<pid>-<n>.tmp" with O_EXCL (<name>: the final file name,
// cut to 200 bytes so that any legal name works), with permissions from the umask. Fails (kCreate,
// with the reason) when that fails, and before any work when `path` is a folder (EISDIR), a name
// too long for its file system (ENAMETOOLONG) or an existing file this process may not replace
// (the reason access(2) gives: EACCES, EROFS); fails with kReplace when the final name holds a
// FIFO, device or socket, or an immutable or append-only file (or the folder is append-only):
// those would otherwise fail, or block, only at the end. First removes the temporaries of this
// name that processes no longer alive left (a SIGKILL between the link and the rename).
bool openAtomicOutput(const std::string& path, AtomicOutput& output);

// Appends `byteCount` bytes; a large write goes straight to the file. Every 64 MiB written, the
// call starts their write-back, waits for the 64 MiB before them to reach the disk and drops those
// from the page cache, so that a long run is never throttled for dirty pages, leaves the cache
// alone, and keeps the disk busy while it goes on. After a failure the rest are
// dropped and output.failure says why. A stop request fails it with kInterrupted at the next
// megabyte, or at once when it interrupts a blocked write.
void writeAtomicOutput(AtomicOutput& output, const void* bytes, std::size_t byteCount);

// Overwrites `byteCount` bytes at `offset` of what was appended so far (what is buffered is
// written first), for a writer that mends bytes it wrote earlier; offset + byteCount must not pass
// the end. Failures and stop requests as writeAtomicOutput's: after one, nothing is written.
void rewriteAtomicOutput(AtomicOutput& output, long long offset, const void* bytes,
                         std::size_t byteCount);

// Writes what is buffered, gives the file the permission bits of the regular file it replaces,
// syncs it to the disk, gives it the final name and syncs the folder, so a "done" file survives a
// crash. Where no file has the final name the unnamed file is linked straight to it; otherwise it
// is linked under a temporary name (registered for removal by a fatal signal before the link) and
// renamed over the old file. With a companion, both are first written, synced and linked under
// temporary names, then the companion is exchanged with its earlier file and the output renamed;
// should that rename fail, the companion's earlier file is put back. False, with output.failure
// (or the companion's) set and the temporaries removed, when a stop was requested (kInterrupted)
// or any write, sync, close, link or rename failed.
bool commitAtomicOutput(AtomicOutput& output);

// One line for the failure of the output, or else of its companion: "cannot create PATH:
// reason", "cannot write PATH: reason" (or "...: it is a folder"), "cannot replace PATH: it is a
// FIFO", "cannot rename the output onto PATH: reason", "interrupted".
std::string describeOutputFailure(const AtomicOutput& output);
