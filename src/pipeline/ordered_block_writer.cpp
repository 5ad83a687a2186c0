// Ordered block writer: a ring of meshed blocks and the thread that writes them in order.
#include "pipeline/ordered_block_writer.h"

#include "io/triangle_record.h"

void writeBlockNow(OrderedBlockWriter& writer, const MeshedBlock& block) {
    if (writerHalted(writer)) {
        return;
    }
    // A raised stop flag drops the rest at once: the file will not be kept.
    if (writer.stopRequested != nullptr && writer.stopRequested->load()) {
        writer.stopped.store(true);
        return;
    }
    if (writer.blocksDone % 4 == 0 && writer.beforeBlock) {
        writer.beforeBlock(writer.blocksDone, writer.triangles);
    }
    writeAtomicOutput(*writer.output, block.records,
                      static_cast<size_t>(block.produced) * sizeof(TriangleRecord));
    if (writer.output->failure != OutputFailure::kNone) {
        writer.writeFailed.store(true);
    } else {
        writer.triangles += block.produced;
        ++writer.blocksDone;
    }
}

namespace {

// The writer thread: every block in order, so the reports come from one thread, in order, and no
// meshing thread waits for the kernel.
void writeBlocks(OrderedBlockWriter& writer) {
    for (;;) {
        std::unique_lock<std::mutex> lock(writer.mutex);
        writer.changed.wait(lock, [&] { return writer.queued > writer.consumed || writer.closed; });
        if (writer.queued == writer.consumed) {
            return;
        }
        const MeshedBlock block = writer.ring[static_cast<size_t>(writer.consumed) % writer.ringSize];
        lock.unlock();
        writeBlockNow(writer, block);
        lock.lock();
        ++writer.consumed;
        writer.changed.notify_all();
    }
}

}  // namespace

void startBlockWriter(OrderedBlockWriter& writer) {
    writer.ring.assign(writer.ringSize, MeshedBlock{nullptr, 0});
    writer.thread = std::thread(writeBlocks, std::ref(writer));
}

void handOverBlock(OrderedBlockWriter& writer, const MeshedBlock& block) {
    std::lock_guard<std::mutex> lock(writer.mutex);
    writer.ring[static_cast<size_t>(writer.queued) % writer.ringSize] = block;
    ++writer.queued;
    writer.changed.notify_all();
}

void waitUntilWritten(OrderedBlockWriter& writer, int64_t index) {
    std::unique_lock<std::mutex> lock(writer.mutex);
    writer.changed.wait(lock, [&] { return writer.consumed > index; });
}

void closeBlockWriter(OrderedBlockWriter& writer) {
    {
        std::lock_guard<std::mutex> lock(writer.mutex);
        writer.closed = true;
        writer.changed.notify_all();
    }
    if (writer.thread.joinable()) {
        writer.thread.join();
    }
}

OrderedBlockWriter::~OrderedBlockWriter() {
    if (thread.joinable()) {
        closeBlockWriter(*this);
    }
}
