// Simplification of a triangle file without loading it, in passes:
//   1. plan the sweep (see sweep_weld.h), and from the plan's counts of first corners by z, cut
//      the second pass's slabs: about kSweepSlabTriangles of the first pass's results each;
//   2. sweep: the welded triangles, in file order, are cut into chunks of about
//      kStreamChunkTriangles, and each is simplified on its own with its open edges locked, by a
//      worker per core, while the sweep reads on; only to chunkRatio (twice the ratio asked for),
//      since a chunk that reached the ratio itself would leave nothing for the next pass to do on
//      its borders, which are still at full resolution;
//   3. behind the sweep, each chunk's result is dealt to the slabs by the z of each triangle's
//      first corner; once the sweep's lowest z still to come is past a slab, no later triangle
//      can fall in it, and a worker simplifies it to the ratio, its borders locked. A slab spans
//      the whole x-y extent, so the chunks' borders within it, across the file's rows of blocks
//      and between its slabs of blocks, are simplified there;
//   4. the slabs' results are joined, their vertices numbered by a bitmap over the sweep's
//      indices, and simplified once more as a whole where that fits (simplifyJoined); a result
//      too large for that is not joined at all, but handed on slab by slab as records, to be
//      written to disk and read as a file of its own.
// A file of one slab joins the chunks' results and simplifies them as simplifyMesh does.
// Chunks and slabs depend only on the file and are joined in their order: the same file gives the
// same mesh on any number of threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include <meshoptimizer.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "common/process_setup.h"
#include "quarnel_mesh/edit/simplify.h"
#include "quarnel_mesh/model/local_index_map.h"
#include "quarnel_mesh/model/sweep_weld.h"

namespace {

// A vertex handed on with its global index (the sweep's).
using KeptVertex = std::pair<uint32_t, WeldedVertex>;

// One chunk of the sweep: its vertices copied out of the window and its triangles as local
// indices; once simplified, the vertices its kept triangles use, each with its global index, and
// those triangles as indices into them.
struct StreamChunk {
    std::vector<WeldedVertex> vertices;
    std::vector<uint32_t> globalOfLocal;
    std::vector<uint32_t> indices;
    std::vector<uint32_t> keptIndices;
    std::vector<KeptVertex> keptVertices;
    size_t lastSweepChunk = 0;  // the reader's chunk it ends with
    double absoluteError = 0.0;
    bool outOfMemory = false;
    std::atomic<bool> done{false};
};

// One slab of the second pass: the triangles whose first corner's z bin is from firstBin up to
// the next slab's, as global indices, and the vertices they use (some more than once, from
// different chunks); once simplified, its kept triangles and only the vertices they use.
struct SweepSlab {
    uint32_t firstBin = 0;
    size_t targetTriangles = 0;
    std::vector<uint32_t> indices;
    std::vector<KeptVertex> vertices;
    double absoluteError = 0.0;
    bool outOfMemory = false;
    std::atomic<bool> done{false};
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
    // The used vertices keep their local order; 0 marks one used until it gets its place.
    constexpr uint32_t kUnused = UINT32_MAX;
    std::vector<uint32_t> compactOfLocal(chunk.vertices.size(), kUnused);
    for (const uint32_t local : kept) {
        compactOfLocal[local] = 0;
    }
    uint32_t usedCount = 0;
    for (uint32_t& compact : compactOfLocal) {
        if (compact != kUnused) {
            compact = usedCount++;
        }
    }
    // Held until the slabs take them: sized exactly, not by doubling.
    chunk.keptVertices.reserve(usedCount);
    for (size_t local = 0; local < compactOfLocal.size(); ++local) {
        if (compactOfLocal[local] != kUnused) {
            chunk.keptVertices.emplace_back(chunk.globalOfLocal[local], chunk.vertices[local]);
        }
    }
    for (uint32_t& index : kept) {
        index = compactOfLocal[index];
    }
    kept.shrink_to_fit();
    chunk.keptIndices.swap(kept);
    releaseMemory(chunk.vertices);
    releaseMemory(chunk.globalOfLocal);
    releaseMemory(chunk.indices);
}

// Simplifies `slab` to its target with its open edges locked (shared with the slabs beside it).
void simplifySweepSlab(SweepSlab& slab) {
    std::vector<KeptVertex>& vertices = slab.vertices;
    if (slab.indices.empty()) {
        releaseMemory(vertices);
        return;
    }
    const auto byIndex = [](const KeptVertex& a, const KeptVertex& b) { return a.first < b.first; };
    std::sort(vertices.begin(), vertices.end(), byIndex);
    vertices.erase(std::unique(vertices.begin(), vertices.end(),
                               [](const KeptVertex& a, const KeptVertex& b) {
                                   return a.first == b.first;
                               }),
                   vertices.end());
    std::vector<uint32_t> local(slab.indices.size());
    for (size_t i = 0; i < local.size(); ++i) {
        local[i] = static_cast<uint32_t>(
            std::lower_bound(vertices.begin(), vertices.end(),
                             KeptVertex(slab.indices[i], WeldedVertex()), byIndex) -
            vertices.begin());
    }
    releaseMemory(slab.indices);
    const float* positions = &vertices[0].second.position.x;
    std::vector<uint32_t> kept(local.size());
    float relativeError = 0.0f;
    kept.resize(meshopt_simplify(kept.data(), local.data(), local.size(), positions,
                                 vertices.size(), sizeof(KeptVertex), 3 * slab.targetTriangles,
                                 kSimplifyNoErrorLimit, meshopt_SimplifyLockBorder,
                                 &relativeError));
    slab.absoluteError = static_cast<double>(relativeError) *
                         meshopt_simplifyScale(positions, vertices.size(), sizeof(KeptVertex));
    releaseMemory(local);
    // Held until the end: only what the result uses, sized exactly.
    std::vector<char> used(vertices.size(), 0);
    std::vector<uint32_t> indices(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        used[kept[i]] = 1;
        indices[i] = vertices[kept[i]].first;
    }
    slab.indices.swap(indices);
    size_t usedCount = 0;
    for (size_t v = 0; v < vertices.size(); ++v) {
        if (used[v] != 0) {
            vertices[usedCount++] = vertices[v];
        }
    }
    vertices.resize(usedCount);
    vertices.shrink_to_fit();
}

// What the slabs handed to a sink add up to, and one reader's chunk of records on its way out.
struct HandedOnResult {
    int64_t triangleCount = 0;
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    std::vector<TriangleRecord> records;
};

// Hands `slab`'s simplified triangles to `sink` as records, a reader's chunk at a time, each
// coloured as its first corner, then lets the slab go. Its vertices are in the order of their
// global indices (see simplifySweepSlab), so each corner is found by a binary search.
bool handOnSlab(SweepSlab& slab, const SimplifiedRecordSink& sink, HandedOnResult& result,
                std::string& error) {
    const std::vector<KeptVertex>& vertices = slab.vertices;
    for (const KeptVertex& vertex : vertices) {
        const Vec3f& p = vertex.second.position;
        result.boxMin = {std::fmin(result.boxMin.x, p.x), std::fmin(result.boxMin.y, p.y),
                         std::fmin(result.boxMin.z, p.z)};
        result.boxMax = {std::fmax(result.boxMax.x, p.x), std::fmax(result.boxMax.y, p.y),
                         std::fmax(result.boxMax.z, p.z)};
    }
    std::vector<TriangleRecord>& records = result.records;
    records.reserve(static_cast<size_t>(kRecordChunkCount));
    records.clear();
    for (size_t i = 0; i < slab.indices.size(); i += 3) {
        TriangleRecord record;
        for (int c = 0; c < 3; ++c) {
            const WeldedVertex& vertex =
                std::lower_bound(vertices.begin(), vertices.end(), slab.indices[i + c],
                                 [](const KeptVertex& v, uint32_t global) {
                                     return v.first < global;
                                 })
                    ->second;
            record.vertices[c] = vertex.position;
            if (c == 0) {
                record.color = {vertex.rgb[0] / 255.0f, vertex.rgb[1] / 255.0f,
                                vertex.rgb[2] / 255.0f};
            }
        }
        records.push_back(record);
        const bool last = i + 3 == slab.indices.size();
        if (records.size() == static_cast<size_t>(kRecordChunkCount) || last) {
            if (!sink(records.data(), records.size(), error)) {
                return false;
            }
            records.clear();
        }
    }
    result.triangleCount += static_cast<int64_t>(slab.indices.size() / 3);
    releaseMemory(slab.indices);
    releaseMemory(slab.vertices);
    return true;
}

// The second pass's slabs, cut from the plan's first-corner counts: each at least
// kSweepSlabTriangles of the first pass's results (estimated as chunkRatio of the records), the
// last at least half that; each slab's target is `ratio` of the records it counts.
std::vector<std::unique_ptr<SweepSlab>> planSweepSlabs(const SweepPlan& plan, double ratio) {
    const double slabRecords = static_cast<double>(kSweepSlabTriangles) / chunkRatio(ratio);
    std::vector<std::unique_ptr<SweepSlab>> slabs;
    slabs.emplace_back(new SweepSlab());
    double counted = 0.0;
    double remaining = static_cast<double>(plan.finiteTriangleCount);
    for (uint32_t bin = 0; bin < kZBinCount; ++bin) {
        const double count = static_cast<double>(plan.firstCornerZBinCounts[bin]);
        counted += count;
        remaining -= count;
        if (counted >= slabRecords && remaining >= 0.5 * slabRecords) {
            slabs.back()->targetTriangles = static_cast<size_t>(std::llround(ratio * counted));
            slabs.emplace_back(new SweepSlab());
            slabs.back()->firstBin = bin + 1;
            counted = 0.0;
        }
    }
    slabs.back()->targetTriangles = static_cast<size_t>(std::llround(ratio * counted));
    return slabs;
}

// Deals `chunk`'s kept triangles to the slabs by their first corner, none below `firstOpenSlab`
// (the sweep's plan rules that out; a file that changed is reported by the sweep).
void dealChunk(StreamChunk& chunk, std::vector<std::unique_ptr<SweepSlab>>& slabs,
               size_t firstOpenSlab) {
    // A vertex goes to a slab once per run of its triangles there: `slabOfVertex` remembers the
    // last slab it went to, so that most repeats are never copied.
    std::vector<uint32_t> slabOfVertex(chunk.keptVertices.size(), UINT32_MAX);
    for (size_t t = 0; 3 * t < chunk.keptIndices.size(); ++t) {
        const uint32_t* corners = &chunk.keptIndices[3 * t];
        const uint32_t bin = zBinOf(chunk.keptVertices[corners[0]].second.position.z);
        size_t s = static_cast<size_t>(
            std::upper_bound(slabs.begin(), slabs.end(), bin,
                             [](uint32_t b, const std::unique_ptr<SweepSlab>& slab) {
                                 return b < slab->firstBin;
                             }) -
            slabs.begin() - 1);
        s = std::max(s, firstOpenSlab);
        SweepSlab& slab = *slabs[s];
        for (int c = 0; c < 3; ++c) {
            const KeptVertex& vertex = chunk.keptVertices[corners[c]];
            slab.indices.push_back(vertex.first);
            if (slabOfVertex[corners[c]] != s) {
                slabOfVertex[corners[c]] = static_cast<uint32_t>(s);
                slab.vertices.push_back(vertex);
            }
        }
    }
    releaseMemory(chunk.keptIndices);
    releaseMemory(chunk.keptVertices);
}

// The slabs' results, in slab order, as a compact mesh: its vertices the ones used, in the order
// of their global indices (the file's first-seen order), each numbered by a bitmap over the
// `vertexCount` global indices and its prefix counts, not by a sort.
void joinSlabs(std::vector<std::unique_ptr<SweepSlab>>& slabs, int64_t vertexCount,
               IndexedMesh& mesh) {
    const size_t wordCount = static_cast<size_t>(vertexCount + 63) / 64;
    std::vector<uint64_t> usedBits(wordCount, 0);
    size_t indexCount = 0;
    for (const auto& slab : slabs) {
        for (const KeptVertex& vertex : slab->vertices) {
            usedBits[vertex.first >> 6] |= uint64_t{1} << (vertex.first & 63);
        }
        indexCount += slab->indices.size();
    }
    std::vector<uint32_t> usedBefore(wordCount);
    uint32_t used = 0;
    for (size_t w = 0; w < wordCount; ++w) {
        usedBefore[w] = used;
        used += static_cast<uint32_t>(__builtin_popcountll(usedBits[w]));
    }
    const auto compactOf = [&](uint32_t global) {
        const uint64_t below = (uint64_t{1} << (global & 63)) - 1;
        return usedBefore[global >> 6] +
               static_cast<uint32_t>(__builtin_popcountll(usedBits[global >> 6] & below));
    };
    mesh.vertices.resize(used);
    for (auto& slab : slabs) {
        for (const KeptVertex& vertex : slab->vertices) {
            mesh.vertices[compactOf(vertex.first)] = vertex.second;
        }
        releaseMemory(slab->vertices);
    }
    mesh.indices.reserve(indexCount);
    for (auto& slab : slabs) {
        for (const uint32_t global : slab->indices) {
            mesh.indices.push_back(compactOf(global));
        }
        releaseMemory(slab->indices);
    }
}

// The chunks' and slabs' jobs, run by TBB's workers: at most `limit` out at once (waiting or in
// work), so that memory is a few chunks whatever the file's size; past that the sweep's own
// thread runs the job. Whoever needs a job's result waits for the group, which runs what is left
// rather than blocking, so a process with no worker to spare still gets through. The destructor
// (every path out, a thrown one included) abandons what has not started and waits for the rest.
struct SweepJobs {
    tbb::task_group group;
    std::atomic<size_t> outstanding{0};
    size_t limit = 0;
    std::atomic<bool> abandoned{false};
    ~SweepJobs() {
        abandoned.store(true);
        try {
            group.wait();
        } catch (...) {
            // Already leaving with a failure of its own: the jobs only had to end.
        }
    }
};

// The chunk's local index of the sweep's `global`, taking its vertex from the window when new.
uint32_t localIndexOf(LocalIndexMap& localIndices, StreamChunk& chunk, uint32_t global,
                      const SweepTriangles& triangles) {
    bool added = false;
    const uint32_t local = addLocalIndex(localIndices, global, added);
    if (added) {
        chunk.vertices.push_back(triangles.window[global - triangles.windowFirstIndex]);
        chunk.globalOfLocal.push_back(global);
    }
    return local;
}

// simplifyBehindSweep's work, in an arena with room for `workerCount` of TBB's workers beside the
// sweep's thread.
bool simplifyBehindSweepWith(size_t workerCount, RecordReader& reader, const SweepPlan& plan,
                             double ratio, std::vector<std::unique_ptr<SweepSlab>>& slabs,
                             const SimplifiedRecordSink* sink, HandedOnResult& handedOn,
                             double& chunkError, double& slabError, SweepResult& swept,
                             bool& outOfMemory, RunContext& run) {
    const size_t threadCount = std::max<size_t>(1, workerCount);
    SweepJobs jobs;
    jobs.limit = 2 * workerCount;
    // After a stop or a failure the jobs left only mark themselves done.
    const auto skipWork = [&] { return jobs.abandoned.load() || stopWasRequested(); };
    const auto submit = [&](std::function<void()> job) {
        if (jobs.outstanding.load() >= jobs.limit) {
            job();
            return;
        }
        ++jobs.outstanding;
        jobs.group.run([job = std::move(job), &jobs] {
            job();
            --jobs.outstanding;
        });
    };
    const auto waitUntilDone = [&](const std::atomic<bool>& done) {
        if (!done.load()) {
            jobs.group.wait();
        }
    };
    const bool oneSlab = slabs.size() == 1;
    size_t nextSlabToClose = 0;
    // Hands on every slab that no triangle of a chunk after `lastSweepChunk` can fall in (all of
    // them at the end); a file of one slab keeps it as it is.
    const auto closeSlabs = [&](size_t lastSweepChunk, bool atEnd) {
        const uint32_t lowestBinToCome =
            atEnd ? kZBinCount : zBinOf(plan.lowestZAfterChunk[lastSweepChunk]);
        while (nextSlabToClose < slabs.size()) {
            const bool last = nextSlabToClose + 1 == slabs.size();
            if (!atEnd && (last || slabs[nextSlabToClose + 1]->firstBin > lowestBinToCome)) {
                return;
            }
            SweepSlab* slab = slabs[nextSlabToClose++].get();
            if (oneSlab) {
                slab->done.store(true);
                continue;
            }
            submit([slab, &skipWork] {
                if (!skipWork()) {
                    try {
                        simplifySweepSlab(*slab);
                    } catch (const std::bad_alloc&) {
                        slab->outOfMemory = true;
                    }
                }
                slab->done.store(true);
            });
        }
    };
    // The slabs done go to the sink in slab order; `wait`: every closed one, waited for. A slab
    // skipped after a stop was never simplified, and one out of memory stops them all.
    size_t nextSlabToHandOn = 0;
    const auto handOnSlabs = [&](bool wait, std::string& failure) {
        while (sink != nullptr && nextSlabToHandOn < nextSlabToClose) {
            SweepSlab& slab = *slabs[nextSlabToHandOn];
            if (!slab.done.load()) {
                if (!wait) {
                    return true;
                }
                waitUntilDone(slab.done);
            }
            if (skipWork() || slab.outOfMemory) {
                return true;
            }
            ++nextSlabToHandOn;
            if (!handOnSlab(slab, *sink, handedOn, failure)) {
                return false;
            }
        }
        return true;
    };
    // The chunks handed to workers, in sweep order: dealt to the slabs in that order as each is
    // done, and waited for once more than `inFlightLimit` are out.
    std::deque<std::unique_ptr<StreamChunk>> inFlight;
    const auto dealChunks = [&](size_t inFlightLimit, bool atEnd) {
        while (!inFlight.empty()) {
            StreamChunk& chunk = *inFlight.front();
            if (!chunk.done.load()) {
                if (inFlight.size() <= inFlightLimit) {
                    return;
                }
                waitUntilDone(chunk.done);
            }
            outOfMemory |= chunk.outOfMemory;
            chunkError = std::fmax(chunkError, chunk.absoluteError);
            dealChunk(chunk, slabs, nextSlabToClose);
            const size_t lastSweepChunk = chunk.lastSweepChunk;
            inFlight.pop_front();
            closeSlabs(lastSweepChunk, atEnd && inFlight.empty());
        }
    };
    const size_t inFlightLimit = 2 * threadCount + 1;
    // A chunk closes after the sweep's chunk that takes it to kStreamChunkTriangles or more.
    const size_t vertexBound = 3 * (kStreamChunkTriangles + reader.chunk.size());
    LocalIndexMap localIndices;
    std::unique_ptr<StreamChunk> current;
    size_t sweepChunk = 0;
    const auto submitChunk = [&]() {
        StreamChunk* chunk = current.get();
        chunk->lastSweepChunk = sweepChunk;
        inFlight.push_back(std::move(current));
        submit([chunk, ratio, &skipWork] {
            if (!skipWork()) {
                try {
                    simplifyChunk(*chunk, ratio);
                } catch (const std::bad_alloc&) {
                    chunk->outOfMemory = true;
                }
            }
            chunk->done.store(true);
        });
    };
    SweepConsumer consumer;
    consumer.onTriangles = [&](const SweepTriangles& triangles, std::string& failure) {
        try {
            if (current == nullptr) {
                current.reset(new StreamChunk());
                // Room for as many vertices as a chunk can have: the table never doubles.
                resetLocalIndices(localIndices, vertexBound);
            }
            for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
                current->indices.push_back(
                    localIndexOf(localIndices, *current, triangles.indices[i], triangles));
            }
            if (current->indices.size() / 3 >= kStreamChunkTriangles) {
                submitChunk();
            }
            dealChunks(inFlightLimit, false);
            if (!handOnSlabs(false, failure)) {
                return false;
            }
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            failure = "out of memory";
            return false;
        }
        ++sweepChunk;
        return true;
    };
    bool sweptAll =
        sweepWeld(reader, plan, consumer, swept, run.progress, reader.recordCount, run.error);
    if (!sweptAll) {
        jobs.abandoned.store(true);
    }
    try {
        if (sweptAll && current != nullptr && !current->indices.empty()) {
            --sweepChunk;  // the last chunk the sweep handed on
            submitChunk();
        }
        dealChunks(0, sweptAll);
        if (sweptAll) {
            closeSlabs(0, true);  // a file with no chunk of triangles at all
        }
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
        sweptAll = false;
        jobs.abandoned.store(true);
    }
    for (const auto& chunk : inFlight) {
        waitUntilDone(chunk->done);
    }
    for (size_t s = 0; s < nextSlabToClose; ++s) {
        waitUntilDone(slabs[s]->done);
        outOfMemory |= slabs[s]->outOfMemory;
        slabError = std::fmax(slabError, slabs[s]->absoluteError);
    }
    if (sweptAll && !outOfMemory) {
        try {
            sweptAll = handOnSlabs(true, run.error);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    }
    if (sweptAll && stopWasRequested()) {
        run.error = "interrupted";
        return false;
    }
    return sweptAll && !outOfMemory;
}

// Passes 2 and 3: the sweep, with the chunks and then the slabs simplified behind it, each slab
// handed to `sink` (if given) in slab order once it is done. False with run.error set when the
// sweep or the sink fails or stops; `outOfMemory` when a chunk or slab could not be held or
// simplified. `chunkError` and `slabError` get the largest deviations of each pass.
bool simplifyBehindSweep(RecordReader& reader, const SweepPlan& plan, double ratio,
                         std::vector<std::unique_ptr<SweepSlab>>& slabs,
                         const SimplifiedRecordSink* sink, HandedOnResult& handedOn,
                         double& chunkError, double& slabError, SweepResult& swept,
                         bool& outOfMemory, RunContext& run) {
    // A worker for every core beside the sweep's own thread, which mostly reads and waits, unless
    // a limit on the process's parallelism (the tests' global_control) allows fewer.
    const size_t coreCount =
        static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    const tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism,
                                          coreCount + 1);
    const size_t allowed =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    const size_t workerCount = std::min(coreCount, allowed - 1);
    tbb::task_arena arena(static_cast<int>(workerCount) + 1);
    bool done = false;
    arena.execute([&] {
        done = simplifyBehindSweepWith(workerCount, reader, plan, ratio, slabs, sink, handedOn,
                                       chunkError, slabError, swept, outOfMemory, run);
    });
    return done;
}

}  // namespace

double chunkRatio(double ratio) {
    return std::fmin(2.0 * ratio, 0.5 * (1.0 + ratio));
}

uint64_t simplifyRecordsMemoryBytes(int64_t triangleCount, double ratio) {
    const double records = static_cast<double>(triangleCount);
    // A file of one slab holds all its chunks' results: at most twice a slab's.
    const double joined = std::fmin(chunkRatio(ratio) * records, 2.0 * kSweepSlabTriangles);
    // A larger result goes to the sink.
    const double held = std::fmin(ratio * records, static_cast<double>(kWholePassMaxTriangles));
    return static_cast<uint64_t>(
        held * static_cast<double>(kSimplifyResultBytesPerTriangle) +
        joined * static_cast<double>(kLoadBytesPerTriangle + kSimplifyBytesPerTriangle));
}

bool simplifyRecords(RecordReader& reader, double ratio, IndexedMesh& mesh, SimplifyReport& report,
                     const SimplifiedRecordSink* sink, RunContext& run) {
    Progress& progress = run.progress;
    std::string& error = run.error;
    report = SimplifyReport();
    mesh = IndexedMesh();
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, error)) {
        return false;
    }
    bool outOfMemory = false;
    bool done = false;
    SweepResult swept;
    double chunkError = 0.0;
    double slabError = 0.0;
    try {
        std::vector<std::unique_ptr<SweepSlab>> slabs = planSweepSlabs(plan, ratio);
        const bool oneSlab = slabs.size() == 1;
        // A result that the whole pass would not take, or that memory cannot hold, goes to the
        // sink as it is made.
        const double resultTriangles = ratio * static_cast<double>(plan.finiteTriangleCount);
        const uint64_t memoryLimit = defaultWeldMemoryLimit();
        const bool handOn =
            sink != nullptr && !oneSlab &&
            (resultTriangles > static_cast<double>(kWholePassMaxTriangles) ||
             resultTriangles * static_cast<double>(kSimplifyResultBytesPerTriangle) >
                 static_cast<double>(memoryLimit));
        HandedOnResult handedOn;
        done = simplifyBehindSweep(reader, plan, chunkRatio(ratio), slabs, handOn ? sink : nullptr,
                                   handedOn, chunkError, slabError, swept, outOfMemory, run);
        mesh.color = swept.color;
        mesh.nonFiniteTriangles = swept.nonFiniteTriangles;
        report.triangleCountBefore = reader.recordCount - swept.nonFiniteTriangles;
        if (done && handOn) {
            report.handedOn = true;
            report.triangleCountAfter = handedOn.triangleCount;
            // The deviations of the passes add up at most; the extent is the simplifier's own
            // (meshopt_simplifyScale), the longest side of the result's box.
            report.absoluteError = chunkError + slabError;
            const double scale =
                handedOn.triangleCount == 0
                    ? 0.0
                    : std::fmax(static_cast<double>(handedOn.boxMax.x) - handedOn.boxMin.x,
                                std::fmax(static_cast<double>(handedOn.boxMax.y) -
                                              handedOn.boxMin.y,
                                          static_cast<double>(handedOn.boxMax.z) -
                                              handedOn.boxMin.z));
            report.relativeError = scale > 0.0 ? report.absoluteError / scale : 0.0;
            advanceProgress(progress, kSimplifyRecordsPassCount * reader.recordCount);
        } else if (done) {
            joinSlabs(slabs, swept.vertexCount, mesh);
            slabs.clear();
            const size_t target = static_cast<size_t>(
                std::llround(ratio * static_cast<double>(report.triangleCountBefore)));
            // The deviations of the passes add up at most.
            done = simplifyJoined(mesh, target, chunkError + slabError, oneSlab, report, error);
            // The last pass leaves the vertices of the triangles it took away.
            if (done) {
                compactVertices(mesh);
            }
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
