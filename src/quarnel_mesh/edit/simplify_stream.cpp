// Simplification of a triangle file without loading it, in passes:
//   1. plan the sweep (see sweep_weld.h);
//   2. sweep: the welded triangles, in file order, are cut into chunks of about
//      kStreamChunkTriangles, and each is simplified on its own with its open edges locked, by a
//      worker per core, while the sweep reads on; only to chunkRatio (twice the ratio asked for),
//      since a chunk that reached the ratio itself would leave nothing for the next pass to do on
//      its borders, which are still at full resolution;
//   3. the chunks' results, a fraction of the input, are joined in chunk order and simplified in
//      memory to the ratio, across the chunks' borders (simplifyJoined).
// Chunks depend only on the file and are joined in chunk order: the same file gives the same mesh
// on any number of threads.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <meshoptimizer.h>
#include <tbb/task_arena.h>

#include "quarnel_mesh/edit/simplify.h"
#include "quarnel_mesh/model/sweep_weld.h"

namespace {

// One chunk of the sweep: its vertices copied out of the window and its triangles as local
// indices; once simplified, its kept triangles as the sweep's global indices and the vertices they
// use, each with its global index.
struct StreamChunk {
    std::vector<WeldedVertex> vertices;
    std::vector<uint32_t> globalOfLocal;
    std::vector<uint32_t> indices;
    std::vector<uint32_t> keptIndices;
    std::vector<std::pair<uint32_t, WeldedVertex>> keptVertices;
    double absoluteError = 0.0;
    bool outOfMemory = false;
};

// Frees what `v` holds: assigning {} would keep its capacity.
template <typename T>
void releaseMemory(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

// Simplifies `chunk` to `ratio` of its triangles with its open edges locked (they are shared with
// other chunks, or are the mesh's own border), and keeps only what the result uses.
void simplifyChunk(StreamChunk& chunk, double ratio) {
    const size_t triangleCount = chunk.indices.size() / 3;
    const size_t target =
        3 * static_cast<size_t>(std::llround(ratio * static_cast<double>(triangleCount)));
    const float* positions = &chunk.vertices[0].position.x;
    std::vector<uint32_t> kept(chunk.indices.size());
    float relativeError = 0.0f;
    kept.resize(meshopt_simplify(kept.data(), chunk.indices.data(), chunk.indices.size(),
                                 positions, chunk.vertices.size(), sizeof(WeldedVertex), target,
                                 kSimplifyNoErrorLimit, meshopt_SimplifyLockBorder,
                                 &relativeError));
    chunk.absoluteError = static_cast<double>(relativeError) *
                          meshopt_simplifyScale(positions, chunk.vertices.size(),
                                                sizeof(WeldedVertex));
    std::vector<char> used(chunk.vertices.size(), 0);
    chunk.keptIndices.resize(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        used[kept[i]] = 1;
        chunk.keptIndices[i] = chunk.globalOfLocal[kept[i]];
    }
    // Held until the sweep ends, chunk after chunk: sized exactly, not by doubling.
    size_t usedCount = 0;
    for (const char u : used) {
        usedCount += static_cast<size_t>(u);
    }
    chunk.keptVertices.reserve(usedCount);
    for (size_t local = 0; local < used.size(); ++local) {
        if (used[local] != 0) {
            chunk.keptVertices.emplace_back(chunk.globalOfLocal[local], chunk.vertices[local]);
        }
    }
    releaseMemory(chunk.vertices);
    releaseMemory(chunk.globalOfLocal);
    releaseMemory(chunk.indices);
}

// The chunks waiting for a worker: at most one a worker, beyond those being simplified, so that
// memory is a few chunks whatever the file's size.
struct ChunkQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<StreamChunk*> waiting;
    size_t limit = 1;
    bool closed = false;
};

void runChunkWorker(ChunkQueue& queue, double ratio, const std::atomic<bool>* stopRequested) {
    for (;;) {
        StreamChunk* chunk = nullptr;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.changed.wait(lock, [&] { return queue.closed || !queue.waiting.empty(); });
            if (queue.waiting.empty()) {
                return;
            }
            chunk = queue.waiting.front();
            queue.waiting.pop_front();
        }
        queue.changed.notify_all();
        // After a stop the chunks are only taken off the queue.
        if (stopRequested == nullptr || !stopRequested->load()) {
            try {
                simplifyChunk(*chunk, ratio);
            } catch (const std::bad_alloc&) {
                chunk->outOfMemory = true;
            }
        }
    }
}

// Maps the sweep's global indices to the chunk's local ones: open addressing (linear probing) on
// the index, each slot the pair global << 32 | local, cleared for each chunk; twice as many slots
// as a chunk can have vertices keep the probes short.
constexpr uint64_t kEmptyPair = UINT64_MAX;

uint32_t localIndexOf(std::vector<uint64_t>& slots, StreamChunk& chunk, uint32_t global,
                      const SweepTriangles& triangles) {
    const size_t mask = slots.size() - 1;
    size_t slot = static_cast<size_t>(mixBits(global)) & mask;
    while (slots[slot] != kEmptyPair) {
        if (static_cast<uint32_t>(slots[slot] >> 32) == global) {
            return static_cast<uint32_t>(slots[slot]);
        }
        slot = (slot + 1) & mask;
    }
    const uint32_t local = static_cast<uint32_t>(chunk.vertices.size());
    slots[slot] = (static_cast<uint64_t>(global) << 32) | local;
    chunk.vertices.push_back(triangles.window[global - triangles.windowFirstIndex]);
    chunk.globalOfLocal.push_back(global);
    return local;
}

// The kept triangles of every chunk, in chunk order, as a compact mesh: its vertices the ones
// used, in the order of their global indices (the file's first-seen order).
void joinChunks(std::vector<std::unique_ptr<StreamChunk>>& chunks, IndexedMesh& mesh) {
    std::vector<std::pair<uint32_t, WeldedVertex>> vertices;
    size_t indexCount = 0;
    size_t vertexCount = 0;
    for (const auto& chunk : chunks) {
        vertexCount += chunk->keptVertices.size();
    }
    // Reserved whole: grown by doubling, this table would take up to three times its size for
    // a moment, and at preset 11 it is the largest thing the simplifier holds.
    vertices.reserve(vertexCount);
    for (auto& chunk : chunks) {
        vertices.insert(vertices.end(), chunk->keptVertices.begin(), chunk->keptVertices.end());
        releaseMemory(chunk->keptVertices);
        indexCount += chunk->keptIndices.size();
    }
    // A vertex on a border between chunks comes once from each.
    std::sort(vertices.begin(), vertices.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    vertices.erase(std::unique(vertices.begin(), vertices.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
                   vertices.end());
    std::vector<uint32_t> globals(vertices.size());
    mesh.vertices.resize(vertices.size());
    for (size_t v = 0; v < vertices.size(); ++v) {
        globals[v] = vertices[v].first;
        mesh.vertices[v] = vertices[v].second;
    }
    releaseMemory(vertices);
    mesh.indices.reserve(indexCount);
    for (auto& chunk : chunks) {
        for (const uint32_t global : chunk->keptIndices) {
            mesh.indices.push_back(static_cast<uint32_t>(
                std::lower_bound(globals.begin(), globals.end(), global) - globals.begin()));
        }
        releaseMemory(chunk->keptIndices);
    }
}

// Pass 2: the sweep, with the chunks simplified behind it. False with `error` set when the
// sweep fails or stops; `outOfMemory` when a chunk could not be held or simplified.
bool simplifyChunks(RecordReader& reader, const SweepPlan& plan, double ratio,
                    uint64_t weldMemoryLimitBytes, std::vector<std::unique_ptr<StreamChunk>>& chunks,
                    SweepResult& swept, Progress& progress, const std::atomic<bool>* stopRequested,
                    bool& outOfMemory, std::string& error) {
    ChunkQueue queue;
    std::vector<std::thread> workers;
    const int threadCount = std::max(1, tbb::this_task_arena::max_concurrency());
    try {
        for (int t = 0; t < threadCount; ++t) {
            workers.emplace_back(runChunkWorker, std::ref(queue), ratio, stopRequested);
        }
    } catch (const std::system_error&) {
        // No more threads to be had (a process limit): the ones started do the work, or with
        // none the sweep simplifies each chunk itself.
    }
    queue.limit = std::max<size_t>(1, workers.size());
    // A chunk closes after the sweep's chunk that takes it to kStreamChunkTriangles or more.
    const size_t vertexBound = 3 * (kStreamChunkTriangles + reader.chunk.size());
    size_t slotCount = 1;
    while (slotCount < 2 * vertexBound) {
        slotCount *= 2;
    }
    std::vector<uint64_t> slots;
    std::unique_ptr<StreamChunk> current;
    const auto submit = [&]() {
        StreamChunk* chunk = current.get();
        chunks.push_back(std::move(current));
        if (workers.empty()) {
            simplifyChunk(*chunk, ratio);
            return;
        }
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.changed.wait(lock, [&] { return queue.waiting.size() < queue.limit; });
            queue.waiting.push_back(chunk);
        }
        queue.changed.notify_all();
    };
    SweepConsumer consumer;
    consumer.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
        try {
            if (current == nullptr) {
                current.reset(new StreamChunk());
                slots.assign(slotCount, kEmptyPair);
            }
            for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
                current->indices.push_back(
                    localIndexOf(slots, *current, triangles.indices[i], triangles));
            }
            if (current->indices.size() / 3 >= kStreamChunkTriangles) {
                submit();
            }
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            error = "out of memory";
            return false;
        }
        return true;
    };
    bool sweptAll = sweepWeld(reader, plan, weldMemoryLimitBytes, consumer, swept, progress,
                              reader.recordCount, stopRequested, error);
    if (sweptAll && current != nullptr && !current->indices.empty()) {
        try {
            submit();
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            sweptAll = false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.closed = true;
    }
    queue.changed.notify_all();
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (sweptAll && stopRequested != nullptr && stopRequested->load()) {
        error = "interrupted";
        return false;
    }
    for (const auto& chunk : chunks) {
        outOfMemory |= chunk->outOfMemory;
    }
    return sweptAll && !outOfMemory;
}

}  // namespace

double chunkRatio(double ratio) {
    return std::fmin(2.0 * ratio, 0.5 * (1.0 + ratio));
}

bool simplifyRecords(RecordReader& reader, double ratio, uint64_t weldMemoryLimitBytes,
                     IndexedMesh& mesh, SimplifyReport& report, Progress& progress,
                     const std::atomic<bool>* stopRequested, std::string& error) {
    report = SimplifyReport();
    mesh = IndexedMesh();
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, stopRequested, error)) {
        return false;
    }
    std::vector<std::unique_ptr<StreamChunk>> chunks;
    SweepResult swept;
    bool outOfMemory = false;
    bool done = simplifyChunks(reader, plan, chunkRatio(ratio), weldMemoryLimitBytes, chunks,
                               swept, progress, stopRequested, outOfMemory, error);
    mesh.color = swept.color;
    mesh.nonFiniteTriangles = swept.nonFiniteTriangles;
    report.triangleCountBefore = reader.recordCount - swept.nonFiniteTriangles;
    double chunkError = 0.0;
    for (const auto& chunk : chunks) {
        chunkError = std::fmax(chunkError, chunk->absoluteError);
    }
    try {
        if (done) {
            joinChunks(chunks, mesh);
            chunks.clear();
            const size_t target = static_cast<size_t>(
                std::llround(ratio * static_cast<double>(report.triangleCountBefore)));
            done = simplifyJoined(mesh, target, chunkError, report, error);
            advanceProgress(progress, kSimplifyRecordsPassCount * reader.recordCount);
        }
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
        done = false;
    }
    if (outOfMemory) {
        error = "not enough memory to simplify the " + std::to_string(reader.recordCount) +
                " triangles of " + reader.path;
    }
    return done;
}
