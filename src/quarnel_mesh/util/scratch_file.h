// Bytes that are written once and copied once into an output, for a writer that learns the
// header only at the end. The file lies in the output's folder (on its disk: /tmp may be RAM)
// and has no name: unnamed (O_TMPFILE), or created and unlinked at once where the file system has
// no unnamed files, so it vanishes with the process on every path, a kill included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/atomic_output.h"

struct ScratchFile {
    int fd = -1;
    std::vector<char> buffer;
    std::size_t bufferedBytes = 0;
    uint64_t byteCount = 0;  // written so far, buffered bytes included
    int errorNumber = 0;     // errno of the first failure; every later write is dropped

    ScratchFile() = default;
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
};

// Opens `file` in the folder of `output`'s final name; false with file.errorNumber set.
bool openScratchFile(const AtomicOutput& output, ScratchFile& file);

// Appends `byteCount` bytes through a 1 MiB buffer.
void writeScratchFile(ScratchFile& file, const void* bytes, std::size_t byteCount);

// Writes out what the buffer holds, so that the file can be read through its descriptor; false
// when the file failed (errorNumber set).
bool flushScratchFile(ScratchFile& file);

// Appends every byte of `file` to `output`, calling `onCopied` (may be empty) with the bytes
// copied so far after each MiB; false when the scratch file failed (before, or now: errorNumber
// set) or the output did (output.failure set).
bool copyScratchFile(ScratchFile& file, AtomicOutput& output,
                     const std::function<void(uint64_t copiedBytes)>& onCopied);
