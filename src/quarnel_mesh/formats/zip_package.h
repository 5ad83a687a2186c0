// Zip packages, as 3MF's container: members raw-deflated by zlib into memory or into scratch
// files beside the output, then copied into the append-only output behind their local headers
// (whose sizes and CRC are known by then), and the central directory last. ZIP64 fields and
// records are written exactly where a size or an offset does not fit 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "io/atomic_output.h"
#include "quarnel_mesh/util/scratch_file.h"

// A run of raw deflate output. The bytes fed in wait in `pending` and are compressed a full
// buffer at a time, so the output depends only on the bytes, not on how they were handed over.
// zlib keeps a pointer back to `stream`: a segment never moves.
struct DeflateSegment {
    z_stream stream{};
    bool open = false;
    bool failed = false;             // zlib could not allocate its state
    ScratchFile* file = nullptr;     // where the compressed bytes go; null: into `bytes`
    std::string bytes;
    std::vector<unsigned char> pending;
    std::size_t pendingBytes = 0;
    std::vector<unsigned char> out;  // zlib's output, on its way to `file` or `bytes`
    uint32_t crc = 0;                // CRC-32 of the bytes compressed so far
    uint64_t inBytes = 0;            // compressed so far, pending bytes not included
    uint64_t outBytes = 0;

    DeflateSegment() = default;
    ~DeflateSegment();
    DeflateSegment(const DeflateSegment&) = delete;
    DeflateSegment& operator=(const DeflateSegment&) = delete;
};

// Starts a segment at zlib's fastest level, into `file` (open, empty) or, when it is null, into
// segment.bytes. False, with segment.failed set, when zlib cannot allocate its state.
bool startDeflateSegment(DeflateSegment& segment, ScratchFile* file);

// Appends `byteCount` bytes to the segment's input. Allocates nothing.
void deflateBytes(DeflateSegment& segment, const void* bytes, std::size_t byteCount);

// Compresses what is pending, so that segment.crc and .inBytes cover every byte fed in.
void drainDeflateSegment(DeflateSegment& segment);

// Ends the segment. `last` ends the deflate stream with its final block; otherwise the segment
// ends on a byte boundary without one, and the next segment of the same member may follow it:
// the concatenation is one valid deflate stream.
void endDeflateSegment(DeflateSegment& segment, bool last);

// A member of the package: its name and its ended segments, in order, the last one ended `last`.
struct ZipMember {
    std::string name;
    std::vector<DeflateSegment*> segments;
};

// Writes every member behind its local header, then the central directory, into `output`,
// calling `onCopied` (may be empty) with the compressed bytes copied so far after each MiB
// copied from a scratch file. False, with `error` set to the one line, when a scratch file or
// the output failed.
bool writeZipPackage(const std::vector<ZipMember>& members, AtomicOutput& output,
                     const std::function<void(uint64_t copiedBytes)>& onCopied,
                     std::string& error);
