// Output files that appear under their final name only once complete: written to a uniquely named
// temporary beside it, renamed onto it at the end, removed on every other path. A failed or
// interrupted run thus never leaves a partial file and never destroys an earlier one.
#pragma once

#include <string>

struct TempOutput {
    std::string finalPath;
    std::string tempPath;
    int fd = -1;             // open from openTempOutput to closeTempOutput
    bool committed = false;  // set by renameTempOutput; otherwise the destructor removes tempPath

    TempOutput() = default;
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;
};

// Creates "<path>.<pid>-<n>.tmp" with O_EXCL and permissions from the umask. False with errno set
// when that fails, and before any work when `path` is a folder (EISDIR) or an existing file this
// process may not replace (EACCES): those would otherwise fail only at the rename.
bool openTempOutput(const std::string& path, TempOutput& output);

// Closes the temporary; false with errno set when the close reports a failed write-back.
bool closeTempOutput(TempOutput& output);

// Renames the closed temporary onto the final path; false with errno set on failure.
bool renameTempOutput(TempOutput& output);
