// The records of a triangle file as a stream of chunks, with progress and stop checks between
// them: every pass of every command over a file goes through here.
#pragma once

#include <cstdint>
#include <string>

#include "common/process_setup.h"
#include "io/record_reader.h"
#include "quarnel_mesh/util/progress.h"

// Hands the records left in `reader` to `processChunk(const TriangleRecord* records, int64_t
// count)` a chunk at a time, advancing `progress` from `doneBefore` after each. False with `error`
// set when a read fails, a stop is requested (stopWasRequested), or processChunk (which sets
// `error` itself) returns false.
template <typename ProcessChunk>
bool forEachRecordChunk(RecordReader& reader, Progress& progress, int64_t doneBefore,
                        std::string& error, ProcessChunk&& processChunk) {
    int64_t done = doneBefore;
    for (;;) {
        const int64_t count = readRecordChunk(reader, error);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (stopWasRequested()) {
            error = "interrupted";
            return false;
        }
        if (!processChunk(reader.chunk.data(), count)) {
            return false;
        }
        done += count;
        advanceProgress(progress, done);
    }
}
