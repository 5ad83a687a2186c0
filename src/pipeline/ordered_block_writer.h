// Ordered block writer: one thread that writes meshed blocks to the output in block order, each
// with one write, while the meshing threads go on. Handing a block over never waits and never
// allocates: block n sits at n % size of a ring as large as the buffer pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "io/atomic_output.h"
#include "io/triangle_record.h"

// A block meshed and waiting to be written: its records are records[0, produced).
struct MeshedBlock {
    const TriangleRecord* records;
    int32_t produced;
};

// The writer's state. The caller sets the first four fields, then calls startBlockWriter (or
// writeBlockNow alone, without the thread); the counts are the writer thread's until it is
// joined. closeBlockWriter, or the destructor on any other way out, stops and joins the thread.
struct OrderedBlockWriter {
    AtomicOutput* output = nullptr;
    std::size_t ringSize = 1;  // the buffer pool's size
    // Checked before every block is written; once it reads true the rest is dropped.
    const std::atomic<bool>* stopRequested = nullptr;
    // Called on the writer's thread before blocks 0, 4, 8, ... are written; may be empty.
    std::function<void(int64_t blocksDone, int64_t triangles)> beforeBlock;

    int64_t blocksDone = 0;  // blocks written in full
    int64_t triangles = 0;   // their records
    std::atomic<bool> writeFailed{false};  // a write failed: output.failure says why
    std::atomic<bool> stopped{false};      // the stop flag was seen: nothing more is written

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<MeshedBlock> ring;
    int64_t queued = 0;    // blocks handed over
    int64_t consumed = 0;  // blocks the writer is done with: their buffers may be reused
    bool closed = false;   // no more blocks will come
    std::thread thread;

    ~OrderedBlockWriter();
};

// Starts the writer thread. Throws std::system_error where no thread can be started.
void startBlockWriter(OrderedBlockWriter& writer);

// Hands over the next block in order; never waits. Only after startBlockWriter.
void handOverBlock(OrderedBlockWriter& writer, const MeshedBlock& block);

// Waits until the writer is done with block `index` (written or dropped), so that its buffers
// may be reused. Only after startBlockWriter, and for a block already handed over.
void waitUntilWritten(OrderedBlockWriter& writer, int64_t index);

// Lets the writer finish the blocks handed over, then joins its thread.
void closeBlockWriter(OrderedBlockWriter& writer);

// Writes one block on the calling thread, as the writer thread would: the path without threads.
void writeBlockNow(OrderedBlockWriter& writer, const MeshedBlock& block);

// True once a write failed or the stop flag was seen: nothing more will be written.
inline bool writerHalted(const OrderedBlockWriter& writer) {
    return writer.writeFailed.load() || writer.stopped.load();
}
