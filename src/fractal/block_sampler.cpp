// Block sampler: the field over one block's lattice, by the cheapest path that keeps the mesh exact.
#include "fractal/block_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kN = kBlockSamplesPerAxis;
constexpr int kSliceStride = kN * kN;

}  // namespace

void computeLatticeAxis(double min, double max, double* coordinates) {
    const double step = (max - min) / 63.0;
    double c = min;
    for (int n = 0; n < kN; ++n) {
        coordinates[n] = c;
        c = c + step;
    }
}

uint64_t belowMask(const double* row, double isoLevel) {
    uint64_t mask = 0;
#if defined(__SSE2__)
    // Two compares per instruction, their sign bits gathered by movemask (ordered: NaN is false).
    const __m128d level = _mm_set1_pd(isoLevel);
    for (int i = 0; i < kN; i += 2) {
        const int pair = _mm_movemask_pd(_mm_cmplt_pd(_mm_loadu_pd(row + i), level));
        mask |= static_cast<uint64_t>(pair) << i;
    }
#else
    for (int i = 0; i < kN; ++i) {
        mask |= static_cast<uint64_t>(row[i] < isoLevel) << i;
    }
#endif
    return mask;
}

void computeClassMasks(const double* samples, double isoLevel, uint64_t* classMasks) {
    for (std::size_t row = 0; row < kBlockRowCount; ++row) {
        classMasks[row] = belowMask(samples + kN * row, isoLevel);
    }
}

BlockLattice computeBlockLattice(const Box3d& box) {
    BlockLattice lattice;
    computeLatticeAxis(box.min.x, box.max.x, lattice.xs);
    computeLatticeAxis(box.min.y, box.max.y, lattice.ys);
    computeLatticeAxis(box.min.z, box.max.z, lattice.zs);
    return lattice;
}

void sampleBlockColumns(const FieldParams& params, const Box3d& box, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    double* out = samples;
    for (int k = 0; k < kN; ++k) {
        // atan2(z, x) and the sine and cosine of 8 times it depend only on (x, z): one slice of
        // the grid shares 64 columns, each reused by its 64 samples along y.
        ColumnTerms columns[kN];
        for (int i = 0; i < kN; ++i) {
            columns[i] = computeColumnTerms(lattice.xs[i], lattice.zs[k]);
        }
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                *out++ = fieldValueInColumn({lattice.xs[i], lattice.ys[j], lattice.zs[k]},
                                             columns[i], params);
            }
        }
    }
}

namespace {

// The centre of the coordinates lo..hi of one axis, and the square of the larger distance from it
// to either end.
inline double regionAxis(double lo, double hi, double& halfSquared) {
    const double centre = (lo + hi) * 0.5;
    const double above = hi - centre;
    const double below = centre - lo;
    const double half = above > below ? above : below;
    halfSquared = half * half;
    return centre;
}

// The radius from the three axes' squared half extents. Each rounding on the way is within 2^-53
// of its result: a factor of 1 + 2^-40 covers them all.
inline double regionRadius(double halfSquaredX, double halfSquaredY, double halfSquaredZ) {
    return std::sqrt(((0.0 + halfSquaredX) + halfSquaredY) + halfSquaredZ) * (1.0 + 0x1p-40);
}

// sampleRegion's centres and squared half extents of the boxes of one edge, per axis, taken once
// per block: a box's region combines those of its three indices.
struct RegionAxes {
    double centres[3][kBlockSamplesPerAxis / 2];
    double halfSquared[3][kBlockSamplesPerAxis / 2];
};

void computeRegionAxes(const BlockLattice& lattice, int edge, RegionAxes& axes) {
    const double* coordinates[3] = {lattice.xs, lattice.ys, lattice.zs};
    for (int axis = 0; axis < 3; ++axis) {
        for (int n = 0; n < kBlockSamplesPerAxis / edge; ++n) {
            axes.centres[axis][n] =
                regionAxis(coordinates[axis][edge * n], coordinates[axis][edge * n + edge - 1],
                           axes.halfSquared[axis][n]);
        }
    }
}

}  // namespace

SampleRegion sampleRegion(const BlockLattice& lattice, int edge, int bx, int by, int bz) {
    const double* axes[3] = {lattice.xs, lattice.ys, lattice.zs};
    const int index[3] = {bx, by, bz};
    double centre[3];
    double halfSquared[3];
    for (int axis = 0; axis < 3; ++axis) {
        centre[axis] = regionAxis(axes[axis][index[axis] * edge],
                                  axes[axis][index[axis] * edge + edge - 1], halfSquared[axis]);
    }
    return {{centre[0], centre[1], centre[2]},
            regionRadius(halfSquared[0], halfSquared[1], halfSquared[2])};
}

namespace {

constexpr int kLeafCount = kLeavesPerAxis * kLeavesPerAxis * kLeavesPerAxis;

// What the octree says about the samples of one leaf box.
enum LeafClass : uint8_t { kLeafOpen, kLeafBelow, kLeafNotBelow, kLeafZero };
// A value of each certified class, for its comparison with the level: a stand-in of the class, or
// the exact 0.
constexpr double kLeafValues[] = {0.0, kCertainlyBelow, kCertainlyNotBelow, 0.0};

// The (x, z) columns of the boxes' centres over all depths: depth d has (64 / edge)^2 of them.
constexpr int centreColumnOffset(int depth) {
    int offset = 0;
    for (int d = 0; d < depth; ++d) {
        offset += (kN / kOctreeBoxEdges[d]) * (kN / kOctreeBoxEdges[d]);
    }
    return offset;
}
constexpr int kCentreColumnCount = centreColumnOffset(kOctreeDepths);

// The masks of one row of leaves along x, for its four rows of samples.
struct LeafRow {
    uint32_t open;   // bit a: leaf a is open
    uint64_t below;  // samples of leaves certified below
    uint64_t zero;   // samples of leaves certified to hold exactly 0
};

// An open leaf's eight boxes of 2^3 samples, certified together below the octree: box
// (sa, sb, sc) at sa + 2 sb + 4 sc, sa along x. Their centres lie on 32 x 32 columns.
constexpr int kSubBoxesPerLeaf = 8;
constexpr int kSubColumnsPerAxis = kN / kSubBoxEdge;

// The masks of one row of leaves for the rows of sub-boxes (0..1, sb, sc) of its open leaves, at
// quarter sb + 2 sc: each serves the two rows of samples that cross those sub-boxes.
struct SubBoxRow {
    uint64_t open;   // samples of open sub-boxes
    uint64_t below;  // samples of sub-boxes certified below the level
    uint64_t zero;   // samples of sub-boxes certified to hold exactly 0
};

// The column terms of one z slice, computed only for the columns some sample needs. By field, so
// that the lanes of a leaf copy theirs four at a time.
struct SliceColumns {
    double s[kN];
    double sqrtS[kN];
    double cosPhi8[kN];
    double sinPhi8[kN];
    uint64_t ready;  // bit i: column i is computed
};

// The first sample of every sub-box of a row: the open samples come in whole sub-boxes.
constexpr uint64_t kSubBoxFirstSamples = [] {
    uint64_t mask = 0;
    for (int i = 0; i < kN; i += kSubBoxEdge) {
        mask |= uint64_t{1} << i;
    }
    return mask;
}();

// One block's sampling, as its passes share it. Lives on the stack: nothing is allocated.
struct FastSampler {
    const FieldParams* params;
    const VectorKernels* kernels;
    double isoLevel;
    BlockLattice lattice;
    double* samples;
    double* highs;
    uint64_t* classMasks;
    FastSamplingStats stats;
    // Pass 1: the octree. The boxes of one column of a depth share their centre's x and z, so its
    // column terms are computed once, when first needed.
    uint8_t leaves[kLeafCount];  // leaf (a, b, c) at a + perAxis (b + perAxis c)
    ColumnTerms centreColumns[kCentreColumnCount];
    uint8_t centreReady[kCentreColumnCount];
    RegionAxes octreeAxes[kOctreeDepths];
    // Below the leaves: each open leaf's sub-boxes, as LeafClass values, and their centres'
    // column terms.
    uint8_t subBoxes[kLeafCount][kSubBoxesPerLeaf];
    ColumnTerms subBoxColumns[kSubColumnsPerAxis * kSubColumnsPerAxis];
    uint8_t subBoxColumnReady[kSubColumnsPerAxis * kSubColumnsPerAxis];
    // Pass 2: each row of leaves serves four rows of samples; its masks are formed once.
    LeafRow leafRows[kLeafRowCount];
    SubBoxRow subBoxRows[kLeafRowCount][4];  // for the rows of leaves with an open leaf
    // Passes 3 and 4 run a slice apart: the columns of slices k and k + 1, and per row of each,
    // the samples that hold their exact value (the exact 0 of a certified box, or a classified
    // sample's 0 or libm value) and, of those, the certified ones, whose 0 is not yet written.
    // Nothing else of a slice is written: the class masks carry the classes, and pass 4 gives
    // the ends of crossed edges their bounds.
    SliceColumns columns[2];
    uint64_t exactRows[2][kN];
    uint64_t zeroRows[2][kN];
    // Pass 3: open samples gathered over the rows of a slice, as points, whose radii are set to 0
    // once per block; the first sample (i + 64 j) of each pair of lanes.
    LaneBatch openBatch;
    unsigned openPairs[kLaneBatchCapacity / kSubBoxEdge];
    // Pass 4: ends of crossed edges waiting for their bounds, and where each goes.
    LaneBatch boundBatch;
    int boundPosition[kLaneBatchCapacity];
    int boundColumn[kLaneBatchCapacity];
    int boundRank[kLaneBatchCapacity];
    int32_t endCount;  // ends of crossed edges so far, in storage order: their rank in highs
};

inline ColumnTerms storedColumnTerms(const SliceColumns& slice, int i) {
    return {slice.s[i], slice.sqrtS[i], slice.cosPhi8[i], slice.sinPhi8[i]};
}

// The column terms of column i of slice k, computed the first time they are asked for.
inline ColumnTerms columnTerms(FastSampler& sampler, int i, int k) {
    SliceColumns& slice = sampler.columns[k & 1];
    if ((slice.ready >> i & 1) == 0) {
        const ColumnTerms terms =
            computeColumnTerms(sampler.lattice.xs[i], sampler.lattice.zs[k]);
        slice.s[i] = terms.s;
        slice.sqrtS[i] = terms.sqrtS;
        slice.cosPhi8[i] = terms.cosPhi8;
        slice.sinPhi8[i] = terms.sinPhi8;
        slice.ready |= uint64_t{1} << i;
    }
    return storedColumnTerms(slice, i);
}

void markLeaves(FastSampler& sampler, int edge, const int* box, uint8_t leafClass) {
    const int span = edge / kLeafEdge;
    for (int c = box[2] * span; c < box[2] * span + span; ++c) {
        for (int b = box[1] * span; b < box[1] * span + span; ++b) {
            uint8_t* row = sampler.leaves + kLeavesPerAxis * (b + kLeavesPerAxis * c);
            for (int a = box[0] * span; a < box[0] * span + span; ++a) {
                row[a] = leafClass;
            }
        }
    }
}

// The leaf class of a certificate: its class, the exact 0, or open where it has none (NaN).
inline uint8_t leafClassOf(double certificate) {
    if (certificate == kCertainlyBelow) {
        return kLeafBelow;
    }
    if (certificate == kCertainlyNotBelow) {
        return kLeafNotBelow;
    }
    return certificate == 0.0 ? kLeafZero : kLeafOpen;
}

// Pass 1, one level: certifies the boxes of depth `depth` inside box `parent` of depth - 1 (the
// whole block at depth 0) together, marks the leaves of each certified one and descends into the
// others.
void certifyChildren(FastSampler& sampler, int depth, const int* parent) {
    const int edge = kOctreeBoxEdges[depth];
    const int perParent = depth == 0 ? 1 : kOctreeBoxEdges[depth - 1] / edge;
    LaneBatch batch;
    int boxes[kLaneBatchCapacity][3];
    for (int c = 0; c < perParent; ++c) {
        for (int b = 0; b < perParent; ++b) {
            for (int a = 0; a < perParent; ++a) {
                int* box = boxes[batch.count];
                box[0] = parent[0] * perParent + a;
                box[1] = parent[1] * perParent + b;
                box[2] = parent[2] * perParent + c;
                const RegionAxes& axes = sampler.octreeAxes[depth];
                const double x = axes.centres[0][box[0]];
                const double z = axes.centres[2][box[2]];
                const int column = centreColumnOffset(depth) + box[0] + kN / edge * box[2];
                if (!sampler.centreReady[column]) {
                    sampler.centreColumns[column] = computeColumnTerms(x, z);
                    sampler.centreReady[column] = 1;
                }
                addLane(batch, x, axes.centres[1][box[1]], z, sampler.centreColumns[column],
                        regionRadius(axes.halfSquared[0][box[0]], axes.halfSquared[1][box[1]],
                                     axes.halfSquared[2][box[2]]));
            }
        }
    }
    const int count = batch.count;
    double out[kLaneBatchCapacity];
    sampler.kernels->certify(lanesOf(batch), batch.radius, padLaneBatch(batch),
                             sampler.params->maxIterations, out);
    for (int n = 0; n < count; ++n) {
        const uint8_t leafClass = leafClassOf(out[n]);
        if (leafClass != kLeafOpen) {
            markLeaves(sampler, edge, boxes[n], leafClass);
        } else if (depth + 1 < kOctreeDepths) {
            certifyChildren(sampler, depth + 1, boxes[n]);
        }
    }
}

// Certifies the sub-boxes of the open leaves `batchLeaves` (count of them), whose lanes `batch`
// holds in order, eight per leaf.
void certifySubBoxBatch(FastSampler& sampler, LaneBatch& batch, const int* batchLeaves, int count) {
    double out[kLaneBatchCapacity];
    sampler.kernels->certifySmall(lanesOf(batch), batch.radius, batch.count,
                                  sampler.params->maxIterations, out);
    for (int n = 0; n < count; ++n) {
        uint8_t* subBoxes = sampler.subBoxes[batchLeaves[n]];
        for (int box = 0; box < kSubBoxesPerLeaf; ++box) {
            subBoxes[box] = leafClassOf(out[kSubBoxesPerLeaf * n + box]);
        }
    }
    batch.count = 0;
}

// Pass 1 below the leaves: the eight sub-boxes of every open leaf, one vector of lanes per leaf.
// A certified sub-box's samples take its class as a certified leaf's do; only the others are
// classified one by one. The leaves stay the octree's: nothing else sees the sub-boxes.
void certifySubBoxes(FastSampler& sampler) {
    std::memset(sampler.subBoxColumnReady, 0, sizeof sampler.subBoxColumnReady);
    RegionAxes axes;
    computeRegionAxes(sampler.lattice, kSubBoxEdge, axes);
    const auto& centres = axes.centres;
    const auto& halfSquared = axes.halfSquared;
    LaneBatch batch;
    int batchLeaves[kLaneBatchCapacity / kSubBoxesPerLeaf];
    int batchLeafCount = 0;
    for (int leaf = 0; leaf < kLeafCount; ++leaf) {
        if (sampler.leaves[leaf] != kLeafOpen) {
            continue;
        }
        const int a = leaf % kLeavesPerAxis;
        const int b = leaf / kLeavesPerAxis % kLeavesPerAxis;
        const int c = leaf / kLeafRowCount;
        for (int box = 0; box < kSubBoxesPerLeaf; ++box) {
            const int bx = 2 * a + (box & 1);
            const int by = 2 * b + (box >> 1 & 1);
            const int bz = 2 * c + (box >> 2);
            const int column = bx + kSubColumnsPerAxis * bz;
            if (!sampler.subBoxColumnReady[column]) {
                sampler.subBoxColumns[column] = computeColumnTerms(centres[0][bx], centres[2][bz]);
                sampler.subBoxColumnReady[column] = 1;
            }
            addLane(batch, centres[0][bx], centres[1][by], centres[2][bz],
                    sampler.subBoxColumns[column],
                    regionRadius(halfSquared[0][bx], halfSquared[1][by], halfSquared[2][bz]));
        }
        batchLeaves[batchLeafCount++] = leaf;
        if (batch.count == kLaneBatchCapacity) {
            certifySubBoxBatch(sampler, batch, batchLeaves, batchLeafCount);
            batchLeafCount = 0;
        }
    }
    if (batchLeafCount > 0) {
        certifySubBoxBatch(sampler, batch, batchLeaves, batchLeafCount);
    }
}

// Pass 1: certifies the octree's boxes, coarsest first; a certified box's samples need no
// classifying and its inner cubes are not crossed.
void certifyOctree(FastSampler& sampler) {
    std::memset(sampler.leaves, kLeafOpen, sizeof sampler.leaves);
    std::memset(sampler.centreReady, 0, sizeof sampler.centreReady);
    for (int depth = 0; depth < kOctreeDepths; ++depth) {
        computeRegionAxes(sampler.lattice, kOctreeBoxEdges[depth], sampler.octreeAxes[depth]);
    }
    const int wholeBlock[3] = {0, 0, 0};
    certifyChildren(sampler, 0, wholeBlock);
}

// Each leaf's bit spread over its kLeafEdge samples: bit a of `leaves` to bits 4a..4a+3.
inline uint64_t leafSamples(uint32_t leaves) {
    uint64_t samples = 0;
    for (; leaves != 0; leaves &= leaves - 1) {
        samples |= ((uint64_t{1} << kLeafEdge) - 1) << (kLeafEdge * __builtin_ctz(leaves));
    }
    return samples;
}

}  // namespace

namespace {

// Pass 2: the masks of every row of leaves. The classes of certified leaves and sub-boxes go
// straight into the rows' class masks; only open samples are compared one by one. By bit masks of
// leaves, a row of 16 at a time.
void buildLeafRows(FastSampler& sampler) {
    constexpr int kClassCount = kLeafZero + 1;
    uint32_t classRows[kClassCount][kLeafRowCount] = {};
    for (int r = 0; r < kLeafRowCount; ++r) {
        const uint8_t* leaves = sampler.leaves + kLeavesPerAxis * r;
        for (int a = 0; a < kLeavesPerAxis; ++a) {
            classRows[leaves[a]][r] |= uint32_t{1} << a;
        }
    }
    for (int r = 0; r < kLeafRowCount; ++r) {
        uint32_t belowLeaves = 0;
        for (int leafClass = kLeafOpen + 1; leafClass < kClassCount; ++leafClass) {
            belowLeaves |= kLeafValues[leafClass] < sampler.isoLevel ? classRows[leafClass][r] : 0;
        }
        const uint32_t open = classRows[kLeafOpen][r];
        sampler.leafRows[r] = {open, leafSamples(belowLeaves),
                               leafSamples(classRows[kLeafZero][r])};
        for (int quarter = 0; open != 0 && quarter < 4; ++quarter) {
            SubBoxRow boxes = {0, 0, 0};
            for (uint32_t leaves = open; leaves != 0; leaves &= leaves - 1) {
                const int a = __builtin_ctz(leaves);
                const uint8_t* subBoxes = sampler.subBoxes[a + kLeavesPerAxis * r] + 2 * quarter;
                for (int sa = 0; sa < 2; ++sa) {
                    const uint64_t samples = uint64_t{3} << (kLeafEdge * a + kSubBoxEdge * sa);
                    if (subBoxes[sa] == kLeafOpen) {
                        boxes.open |= samples;
                    } else {
                        boxes.below |= kLeafValues[subBoxes[sa]] < sampler.isoLevel ? samples : 0;
                        boxes.zero |= subBoxes[sa] == kLeafZero ? samples : 0;
                    }
                }
            }
            sampler.subBoxRows[r][quarter] = boxes;
        }
    }
}

// Pass 3, the classifier on the gathered open samples of slice k: their classes into the class
// masks (which hold the certified ones already), and the exact ones (an exact 0, or libm's value
// where the classifier leaves one undecided) into their samples and the slice's exact rows.
void flushOpenBatch(FastSampler& sampler, int k) {
    LaneBatch& batch = sampler.openBatch;
    const int count = batch.count;
    if (count == 0) {
        return;
    }
    double out[kLaneBatchCapacity];
    sampler.kernels->classify(lanesOf(batch), padLaneBatch(batch), sampler.params->maxIterations,
                              out);
    sampler.stats.classified += count;
    const BlockLattice& lattice = sampler.lattice;
    const double isoLevel = sampler.isoLevel;
    double* slice = sampler.samples + kSliceStride * k;
    uint64_t* classMasks = sampler.classMasks + kN * k;
    for (int n = 0; n < count; n += kSubBoxEdge) {
        const unsigned first = sampler.openPairs[n / kSubBoxEdge];
        const int i = static_cast<int>(first % kN);
        const int j = static_cast<int>(first / kN);
        uint64_t below = 0;
        uint64_t undecided = 0;
        uint64_t zero = 0;
#if defined(__SSE2__)
        // Two lanes per instruction, as belowMask compares (ordered: NaN is not below).
        static_assert(kSubBoxEdge == 2, "a sub-box row is one pair of lanes");
        const __m128d values = _mm_loadu_pd(out + n);
        below = static_cast<uint64_t>(_mm_movemask_pd(_mm_cmplt_pd(values, _mm_set1_pd(isoLevel))));
        undecided = static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpunord_pd(values, values)));
        zero = static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpeq_pd(values, _mm_setzero_pd())));
        // Only an exact value is ever read: a class goes to the masks alone.
        if (zero != 0) {
            _mm_storeu_pd(slice + first, values);
        }
#else
        for (int t = 0; t < kSubBoxEdge; ++t) {
            const double value = out[n + t];
            below |= static_cast<uint64_t>(value < isoLevel) << t;
            undecided |= static_cast<uint64_t>(value != value) << t;
            zero |= static_cast<uint64_t>(value == 0.0) << t;
            if (value == 0.0) {
                slice[first + t] = value;
            }
        }
#endif
        sampler.exactRows[k & 1][j] |= (zero | undecided) << i;
        // Undecided lanes (NaN, rare) get libm's value.
        for (; undecided != 0; undecided &= undecided - 1) {
            const int t = __builtin_ctzll(undecided);
            const double value =
                fieldValueInColumn({lattice.xs[i + t], lattice.ys[j], lattice.zs[k]},
                                   columnTerms(sampler, i + t, k), *sampler.params);
            slice[first + t] = value;
            below |= static_cast<uint64_t>(value < isoLevel) << t;
            ++sampler.stats.undecided;
            ++sampler.stats.exact;
        }
        classMasks[j] |= below << i;
    }
    batch.count = 0;
}

// Pass 3 on row j of slice k: gathers the samples of `open` (whole sub-boxes, two lanes each),
// classifying whenever the batch fills. The columns of the slice are computed as first needed.
void gatherOpenSamples(FastSampler& sampler, int j, int k, uint64_t open) {
    const BlockLattice& lattice = sampler.lattice;
    const SliceColumns& slice = sampler.columns[k & 1];
    for (uint64_t missing = open & ~slice.ready; missing != 0; missing &= missing - 1) {
        columnTerms(sampler, __builtin_ctzll(missing), k);
    }
    const double y = lattice.ys[j];
    const double z = lattice.zs[k];
    LaneBatch& batch = sampler.openBatch;
    int count = batch.count;
    // A sub-box's lanes are consecutive columns: copied as pairs, not one by one.
    for (uint64_t boxes = open & kSubBoxFirstSamples; boxes != 0; boxes &= boxes - 1) {
        const int first = __builtin_ctzll(boxes);
        constexpr std::size_t kBoxBytes = kSubBoxEdge * sizeof(double);
        std::memcpy(batch.cx + count, lattice.xs + first, kBoxBytes);
        std::memcpy(batch.s + count, slice.s + first, kBoxBytes);
        std::memcpy(batch.sqrtS + count, slice.sqrtS + first, kBoxBytes);
        std::memcpy(batch.cosPhi8 + count, slice.cosPhi8 + first, kBoxBytes);
        std::memcpy(batch.sinPhi8 + count, slice.sinPhi8 + first, kBoxBytes);
        for (int t = 0; t < kSubBoxEdge; ++t) {
            batch.cy[count + t] = y;
            batch.cz[count + t] = z;
        }
        sampler.openPairs[static_cast<unsigned>(count) / kSubBoxEdge] =
            static_cast<unsigned>(first + kN * j);
        count += kSubBoxEdge;
        if (count == kLaneBatchCapacity) {
            batch.count = count;
            flushOpenBatch(sampler, k);
            count = 0;
        }
    }
    batch.count = count;
}

// Pass 3 on slice k: the classes of its certified samples from the leaf rows, the classifier on
// the samples of open sub-boxes, and the slice's class masks and exact rows. Certified samples are
// never written.
void classifySlice(FastSampler& sampler, int k) {
    sampler.columns[k & 1].ready = 0;
    for (int j = 0; j < kN; ++j) {
        const int leafRowIndex = j / kLeafEdge + kLeavesPerAxis * (k / kLeafEdge);
        const LeafRow& leafRow = sampler.leafRows[leafRowIndex];
        uint64_t below = leafRow.below;
        uint64_t zero = leafRow.zero;
        uint64_t open = 0;
        if (leafRow.open != 0) {
            // The row crosses sub-boxes (0, sb, sc) and (1, sb, sc) of each open leaf.
            const int quarter = (j / kSubBoxEdge & 1) + 2 * (k / kSubBoxEdge & 1);
            const SubBoxRow& boxes = sampler.subBoxRows[leafRowIndex][quarter];
            below |= boxes.below;
            zero |= boxes.zero;
            open = boxes.open;
        }
        // The open samples' classes join the row's masks when their batch is classified.
        sampler.classMasks[j + kN * k] = below;
        sampler.exactRows[k & 1][j] = zero;
        sampler.zeroRows[k & 1][j] = zero;
        if (open != 0) {
            gatherOpenSamples(sampler, j, k, open);
        }
    }
    flushOpenBatch(sampler, k);
}

// Pass 4, the bounds of the waiting ends of slice k. The field falls as the modulus grows. A lane
// without a bound (NaN, which fieldFromModulus would take for 0) gets libm's value; so would a
// bound on the wrong side of the level for the sample's class, which no sound bound gives.
void flushBoundBatch(FastSampler& sampler, int k) {
    LaneBatch& batch = sampler.boundBatch;
    const int count = batch.count;
    if (count == 0) {
        return;
    }
    const FieldParams& params = *sampler.params;
    double lowModulus[kLaneBatchCapacity];
    double highModulus[kLaneBatchCapacity];
    sampler.kernels->bound(lanesOf(batch), padLaneBatch(batch), params.maxIterations, lowModulus,
                           highModulus);
    for (int n = 0; n < count; ++n) {
        double& sample = sampler.samples[sampler.boundPosition[n]];  // no value yet
        double& high = sampler.highs[sampler.boundRank[n]];
        const bool bounded = lowModulus[n] <= highModulus[n];
        const double lowValue = fieldFromModulus(highModulus[n], params);
        const double highValue = fieldFromModulus(lowModulus[n], params);
        const int position = sampler.boundPosition[n];
        const bool classBelow = (sampler.classMasks[position / kN] >> (position % kN) & 1) != 0;
        if (bounded && (classBelow ? highValue < sampler.isoLevel : lowValue >= sampler.isoLevel)) {
            sample = lowValue;
            high = highValue;
            ++sampler.stats.bounded;
        } else {
            const ColumnTerms terms =
                storedColumnTerms(sampler.columns[k & 1], sampler.boundColumn[n]);
            sample = fieldValueInColumn({batch.cx[n], batch.cy[n], batch.cz[n]}, terms, params);
            high = sample;
            ++sampler.stats.exact;
        }
    }
    batch.count = 0;
}

// Pass 4 on slice k: the ends of crossed edges (the surface mask's bits, about 3% of the samples
// at preset 3) get the certified bounds of their values, in batches gathered over the slice. The
// ones with an exact value (undecided ones, and escapes proved to give exactly 0, a third of them)
// keep it, a certified box's 0 written now.
void boundSurfaceSlice(FastSampler& sampler, int k) {
    const BlockLattice& lattice = sampler.lattice;
    for (int j = 0; j < kN; ++j) {
        double* row = sampler.samples + kN * j + kSliceStride * k;
        const uint64_t exact = sampler.exactRows[k & 1][j];
        const uint64_t zero = sampler.zeroRows[k & 1][j];
        for (uint64_t touches = surfaceMask(sampler.classMasks, j, k); touches != 0;
             touches &= touches - 1) {
            const int i = __builtin_ctzll(touches);
            const int32_t rank = sampler.endCount++;
            if ((exact >> i & 1) != 0) {
                if ((zero >> i & 1) != 0) {
                    row[i] = 0.0;
                }
                sampler.highs[rank] = row[i];
                continue;
            }
            const int n = sampler.boundBatch.count;
            addLane(sampler.boundBatch, lattice.xs[i], lattice.ys[j], lattice.zs[k],
                    columnTerms(sampler, i, k));
            sampler.boundPosition[n] = i + kN * j + kSliceStride * k;
            sampler.boundRank[n] = rank;
            sampler.boundColumn[n] = i;
            if (sampler.boundBatch.count == kLaneBatchCapacity) {
                flushBoundBatch(sampler, k);
            }
        }
    }
    flushBoundBatch(sampler, k);
}

}  // namespace

FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  const VectorKernels& kernels, double* samples, double* highs,
                                  uint64_t* classMasks) {
    FastSampler sampler;
    sampler.params = &params;
    sampler.kernels = &kernels;
    sampler.isoLevel = isoLevel;
    sampler.lattice = computeBlockLattice(box);
    sampler.samples = samples;
    sampler.highs = highs;
    sampler.classMasks = classMasks;
    sampler.stats = {0, 0, 0, 0};
    sampler.endCount = 0;
    std::fill(sampler.openBatch.radius, sampler.openBatch.radius + kLaneBatchCapacity, 0.0);
    certifyOctree(sampler);
    // A block certified whole, as most blocks of the finer presets are: every row holds the one
    // class, so no sample is written and no end of a crossed edge exists.
    // (All bytes of the leaves are equal when they equal themselves shifted by one.)
    if (sampler.leaves[0] != kLeafOpen &&
        std::memcmp(sampler.leaves, sampler.leaves + 1, kLeafCount - 1) == 0) {
        const bool below = kLeafValues[sampler.leaves[0]] < isoLevel;
        std::fill(classMasks, classMasks + kBlockRowCount, below ? ~uint64_t{0} : uint64_t{0});
        return sampler.stats;
    }
    certifySubBoxes(sampler);
    buildLeafRows(sampler);
    // Pass 4 over slice k reads the classes of slices k - 1 and k + 1, so pass 3 runs a slice
    // ahead.
    classifySlice(sampler, 0);
    for (int k = 0; k < kN; ++k) {
        if (k + 1 < kN) {
            classifySlice(sampler, k + 1);
        }
        boundSurfaceSlice(sampler, k);
    }
    return sampler.stats;
}

BlockSampler chooseBlockSampler(const FieldParams& params, double isoLevel) {
    const SimdLevel level = detectSimdLevel();
    if (level != SimdLevel::kNone && classificationApplies(params, isoLevel)) {
        return {SamplingMethod::kVector, &vectorKernels(level)};
    }
    return {SamplingMethod::kColumns, nullptr};
}

int32_t sampleBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                    double isoLevel, double* samples, double* highs, uint64_t* classMasks) {
    if (sampler.method == SamplingMethod::kVector) {
        return sampleBlockFast(params, box, isoLevel, *sampler.kernels, samples, highs,
                               classMasks)
            .bounded;
    }
    sampleBlockColumns(params, box, samples);
    computeClassMasks(samples, isoLevel, classMasks);
    return 0;
}
