// The records of a triangle file as a stream of chunks, with progress and stop checks between
// them: every pass of every command over a file goes through here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "io/record_reader.h"
#include "quarnel_mesh/util/progress.h"

// Hands the records left in `reader` to `processChunk(const TriangleRecord* records, int64_t
// count)` a chunk at a time, advancing `progress` from `doneBefore` after each. False with `error`
// set when a read fails, `stopRequested` (may be null) is raised, or processChunk (which sets
// `error` itself) returns false.
template <typename ProcessChunk>
bool forEachRecordChunk(RecordReader& reader, Progress& progress, int64_t doneBefore,
                        const std::atomic<bool>* stopRequested, std::string& error,
                        ProcessChunk&& processChunk) {
    int64_t done = doneBefore;
    for (;;) {
        const int64_t count = readRecordChunk(reader, error);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (stopRequested != nullptr && stopRequested->load()) {
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
