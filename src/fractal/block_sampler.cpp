// Block sampler: the field over one block's lattice, by the cheapest path that keeps the mesh exact.
#include "fractal/block_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

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

SampleRegion sampleRegion(const BlockLattice& lattice, int edge, int bx, int by, int bz) {
    const double* axes[3] = {lattice.xs, lattice.ys, lattice.zs};
    const int index[3] = {bx, by, bz};
    double centre[3];
    double squaredRadius = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double lo = axes[axis][index[axis] * edge];
        const double hi = axes[axis][index[axis] * edge + edge - 1];
        centre[axis] = (lo + hi) * 0.5;
        const double above = hi - centre[axis];
        const double below = centre[axis] - lo;
        const double half = above > below ? above : below;
        squaredRadius = squaredRadius + half * half;
    }
    // Each rounding above is within 2^-53 of its result: a factor of 1 + 2^-40 covers them all.
    return {{centre[0], centre[1], centre[2]}, std::sqrt(squaredRadius) * (1.0 + 0x1p-40)};
}

namespace {

// The kernels take lanes by eight: lanes count..(count rounded up to eight) of the seven arrays
// become copies of lane count - 1 (count at least 1), whose results are not read. Returns the
// padded count.
int padLanesToEight(std::initializer_list<double*> arrays, int count) {
    const int padded = (count + 7) & ~7;
    for (double* lane : arrays) {
        for (int n = count; n < padded; ++n) {
            lane[n] = lane[count - 1];
        }
    }
    return padded;
}

constexpr int kLeafEdge = kOctreeBoxEdges[kOctreeDepths - 1];
constexpr int kLeavesPerAxis = kN / kLeafEdge;
constexpr int kLeafCount = kLeavesPerAxis * kLeavesPerAxis * kLeavesPerAxis;
constexpr int kMaxChildren = 64;  // boxes certified together: the children of one box

// What the octree says about the samples of one leaf box.
enum LeafClass : uint8_t { kLeafOpen, kLeafBelow, kLeafNotBelow, kLeafZero };

// Up to kMaxChildren regions as lanes of the certifier.
struct RegionLanes {
    double cx[kMaxChildren];
    double cy[kMaxChildren];
    double cz[kMaxChildren];
    double s[kMaxChildren];
    double sqrtS[kMaxChildren];
    double cosPhi8[kMaxChildren];
    double sinPhi8[kMaxChildren];
    int box[kMaxChildren][3];
};

// The (x, z) columns of the boxes' centres over all depths: depth d has (64 / edge)^2 of them.
constexpr int centreColumnOffset(int depth) {
    int offset = 0;
    for (int d = 0; d < depth; ++d) {
        offset += (kN / kOctreeBoxEdges[d]) * (kN / kOctreeBoxEdges[d]);
    }
    return offset;
}
constexpr int kCentreColumnCount = centreColumnOffset(kOctreeDepths);

struct Octree {
    const FieldParams* params;
    const BlockLattice* lattice;
    SimdLevel level;
    uint8_t leaves[kLeafCount];  // leaf (a, b, c) at a + perAxis (b + perAxis c)
    // The boxes of one column of a depth share their centre's x and z, so its column terms are
    // computed once, when first needed.
    ColumnTerms centreColumns[kCentreColumnCount];
    uint8_t centreReady[kCentreColumnCount];
};

void markLeaves(Octree& tree, int edge, const int* box, uint8_t leafClass) {
    const int span = edge / kLeafEdge;
    for (int c = box[2] * span; c < box[2] * span + span; ++c) {
        for (int b = box[1] * span; b < box[1] * span + span; ++b) {
            uint8_t* row = tree.leaves + kLeavesPerAxis * (b + kLeavesPerAxis * c);
            for (int a = box[0] * span; a < box[0] * span + span; ++a) {
                row[a] = leafClass;
            }
        }
    }
}

// Certifies the boxes of depth `depth` inside box `parent` of depth - 1 (the whole block at
// depth 0) together, marks the leaves of each certified one and descends into the others.
void certifyChildren(Octree& tree, int depth, const int* parent) {
    const int edge = kOctreeBoxEdges[depth];
    const int perParent = depth == 0 ? 1 : kOctreeBoxEdges[depth - 1] / edge;
    RegionLanes lanes;
    double radius[kMaxChildren] = {};  // zeroed: the compiler cannot see that the padding fills it
    int count = 0;
    for (int c = 0; c < perParent; ++c) {
        for (int b = 0; b < perParent; ++b) {
            for (int a = 0; a < perParent; ++a) {
                int* box = lanes.box[count];
                box[0] = parent[0] * perParent + a;
                box[1] = parent[1] * perParent + b;
                box[2] = parent[2] * perParent + c;
                const SampleRegion region =
                    sampleRegion(*tree.lattice, edge, box[0], box[1], box[2]);
                const int column = centreColumnOffset(depth) + box[0] + kN / edge * box[2];
                if (!tree.centreReady[column]) {
                    tree.centreColumns[column] =
                        computeColumnTerms(region.centre.x, region.centre.z);
                    tree.centreReady[column] = 1;
                }
                const ColumnTerms& terms = tree.centreColumns[column];
                lanes.cx[count] = region.centre.x;
                lanes.cy[count] = region.centre.y;
                lanes.cz[count] = region.centre.z;
                lanes.s[count] = terms.s;
                lanes.sqrtS[count] = terms.sqrtS;
                lanes.cosPhi8[count] = terms.cosPhi8;
                lanes.sinPhi8[count] = terms.sinPhi8;
                radius[count] = region.radius;
                ++count;
            }
        }
    }
    // The certifier takes lanes by eight: the lone block is padded with copies of itself.
    const int padded = (count + 7) & ~7;
    for (int n = count; n < padded; ++n) {
        lanes.cx[n] = lanes.cx[0];
        lanes.cy[n] = lanes.cy[0];
        lanes.cz[n] = lanes.cz[0];
        lanes.s[n] = lanes.s[0];
        lanes.sqrtS[n] = lanes.sqrtS[0];
        lanes.cosPhi8[n] = lanes.cosPhi8[0];
        lanes.sinPhi8[n] = lanes.sinPhi8[0];
        radius[n] = radius[0];
    }
    const ClassifyLanes centres = {lanes.cx,    lanes.cy,      lanes.cz,     lanes.s,
                                   lanes.sqrtS, lanes.cosPhi8, lanes.sinPhi8};
    double out[kMaxChildren];
    certifyRegions(tree.level, centres, radius, padded, tree.params->maxIterations, out);
    for (int n = 0; n < count; ++n) {
        const double result = out[n];
        if (result == kCertainlyBelow) {
            markLeaves(tree, edge, lanes.box[n], kLeafBelow);
        } else if (result == kCertainlyNotBelow) {
            markLeaves(tree, edge, lanes.box[n], kLeafNotBelow);
        } else if (result == 0.0) {
            markLeaves(tree, edge, lanes.box[n], kLeafZero);
        } else if (depth + 1 < kOctreeDepths) {
            certifyChildren(tree, depth + 1, lanes.box[n]);
        }
    }
}

// Marks the certified leaves whose 3x3x3 neighbourhood of leaves (within the block) holds their
// class only. Every corner of a cube with a corner in such a leaf lies in that neighbourhood, so
// the cube is not crossed and nothing reads the leaf's samples. The neighbourhood's lowest and
// highest class are found by three passes of a 1D minimum and maximum, one per axis.
void findQuietLeaves(const uint8_t* leaves, uint8_t* quiet) {
    uint8_t lowest[2][kLeafCount];
    uint8_t highest[2][kLeafCount];
    std::memcpy(lowest[0], leaves, kLeafCount);
    std::memcpy(highest[0], leaves, kLeafCount);
    int from = 0;
    for (int stride = 1; stride < kLeafCount; stride *= kLeavesPerAxis, from ^= 1) {
        const uint8_t* low = lowest[from];
        const uint8_t* high = highest[from];
        for (int n = 0; n < kLeafCount; ++n) {
            const int along = n / stride % kLeavesPerAxis;
            uint8_t l = low[n];
            uint8_t h = high[n];
            if (along > 0) {
                l = std::min(l, low[n - stride]);
                h = std::max(h, high[n - stride]);
            }
            if (along < kLeavesPerAxis - 1) {
                l = std::min(l, low[n + stride]);
                h = std::max(h, high[n + stride]);
            }
            lowest[from ^ 1][n] = l;
            highest[from ^ 1][n] = h;
        }
    }
    for (int n = 0; n < kLeafCount; ++n) {
        quiet[n] = leaves[n] != kLeafOpen && lowest[from][n] == highest[from][n];
    }
}

// The masks of one row of leaves along x, for its four rows of samples.
struct LeafRow {
    uint64_t open;      // samples of open leaves
    uint64_t below;     // samples of leaves certified below
    uint32_t written;   // bit a: leaf a is certified and not quiet, so it takes stand-ins
};

// The column terms of one z slice, computed only for the columns some sample needs.
struct SliceColumns {
    ColumnTerms terms[kN];
    uint64_t ready;  // bit i: terms[i] is computed
};

inline const ColumnTerms& columnTerms(SliceColumns& slice, const double* xs, double z, int i) {
    if ((slice.ready >> i & 1) == 0) {
        slice.terms[i] = computeColumnTerms(xs[i], z);
        slice.ready |= uint64_t{1} << i;
    }
    return slice.terms[i];
}

// Bit i set where row[i] is NaN: the lanes the classifier left undecided.
inline uint64_t undecidedMask(const double* row) {
    uint64_t mask = 0;
#if defined(__SSE2__)
    for (int i = 0; i < kN; i += 2) {
        const __m128d pair = _mm_loadu_pd(row + i);
        mask |= static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpunord_pd(pair, pair))) << i;
    }
#else
    for (int i = 0; i < kN; ++i) {
        mask |= static_cast<uint64_t>(row[i] != row[i]) << i;
    }
#endif
    return mask;
}

}  // namespace

FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  SimdLevel level, double* samples, double* highs,
                                  uint64_t* classMasks) {
    const BlockLattice lattice = computeBlockLattice(box);
    const double* xs = lattice.xs;
    const double* ys = lattice.ys;
    const double* zs = lattice.zs;
    FastSamplingStats stats = {0, 0, 0, 0};

    // Pass 1: certify the octree's boxes, coarsest first; a certified box's samples need no
    // classifying and its inner cubes are not crossed.
    Octree tree;
    tree.params = &params;
    tree.lattice = &lattice;
    tree.level = level;
    std::memset(tree.leaves, kLeafOpen, sizeof tree.leaves);
    std::memset(tree.centreReady, 0, sizeof tree.centreReady);
    const int wholeBlock[3] = {0, 0, 0};
    certifyChildren(tree, 0, wholeBlock);
    uint8_t quiet[kLeafCount];
    findQuietLeaves(tree.leaves, quiet);
    // Each row of leaves serves four rows of samples: its masks are formed once. Certified leaves
    // take their stand-ins (quiet ones need none), and their classes go straight into the rows'
    // masks; only open samples are compared one by one.
    static constexpr double kLeafValues[] = {0.0, kCertainlyBelow, kCertainlyNotBelow, 0.0};
    LeafRow leafRows[kLeavesPerAxis * kLeavesPerAxis];
    for (int r = 0; r < kLeavesPerAxis * kLeavesPerAxis; ++r) {
        LeafRow& leafRow = leafRows[r];
        leafRow = {0, 0, 0};
        for (int a = 0; a < kLeavesPerAxis; ++a) {
            const int leaf = a + kLeavesPerAxis * r;
            const uint64_t leafBits = ((uint64_t{1} << kLeafEdge) - 1) << (kLeafEdge * a);
            if (tree.leaves[leaf] == kLeafOpen) {
                leafRow.open |= leafBits;
                continue;
            }
            if (!quiet[leaf]) {
                leafRow.written |= 1u << a;
            }
            if (kLeafValues[tree.leaves[leaf]] < isoLevel) {
                leafRow.below |= leafBits;
            }
        }
    }

    // Passes 2 to 4, slice by slice: the stand-ins of certified leaves, the classifier on the
    // samples of open leaves, the class masks; then the exact values on the surface mask. Slices
    // are classified one ahead of the exact pass: the exact pass over slice k needs the classes of
    // slices k - 1 and k + 1. Replacing a stand-in by its exact value keeps its class, so later
    // neighbour tests read the same classes.
    SliceColumns columns[2];
    uint64_t* below = classMasks;
    auto classifySlice = [&](int k) {
        SliceColumns& slice = columns[k & 1];
        slice.ready = 0;
        for (int j = 0; j < kN; ++j) {
            double* row = samples + kN * j + kSliceStride * k;
            const int leafRowIndex = j / kLeafEdge + kLeavesPerAxis * (k / kLeafEdge);
            const LeafRow& leafRow = leafRows[leafRowIndex];
            const uint8_t* leafClasses = tree.leaves + kLeavesPerAxis * leafRowIndex;
            for (uint32_t written = leafRow.written; written != 0; written &= written - 1) {
                const int a = __builtin_ctz(written);
                const double value = kLeafValues[leafClasses[a]];
                for (int i = kLeafEdge * a; i < kLeafEdge * (a + 1); ++i) {
                    row[i] = value;
                }
            }
            const uint64_t open = leafRow.open;
            const uint64_t certifiedBelow = leafRow.below;
            if (open == 0) {
                below[j + kN * k] = certifiedBelow;
                continue;
            }
            // The open samples of the row, gathered into lanes (padded to eight with the
            // last), classified and scattered back.
            double cx[kN], cy[kN], cz[kN], s[kN], sqrtS[kN], cosPhi8[kN], sinPhi8[kN];
            double out[kN];
            int index[kN];
            int count = 0;
            for (uint64_t bits = open; bits != 0; bits &= bits - 1) {
                const int i = __builtin_ctzll(bits);
                const ColumnTerms& terms = columnTerms(slice, xs, zs[k], i);
                cx[count] = xs[i];
                cy[count] = ys[j];
                cz[count] = zs[k];
                s[count] = terms.s;
                sqrtS[count] = terms.sqrtS;
                cosPhi8[count] = terms.cosPhi8;
                sinPhi8[count] = terms.sinPhi8;
                index[count] = i;
                ++count;
            }
            const ClassifyLanes lanes = {cx, cy, cz, s, sqrtS, cosPhi8, sinPhi8};
            classifyLanes(level, lanes, padLanesToEight({cx, cy, cz, s, sqrtS, cosPhi8, sinPhi8},
                                                        count),
                          params.maxIterations, out);
            stats.classified += count;
            for (int n = 0; n < count; ++n) {
                row[index[n]] = out[n];
            }
            // Undecided lanes are rare: a mask finds them without a branch per sample.
            for (uint64_t undecided = undecidedMask(row) & open; undecided != 0;
                 undecided &= undecided - 1) {
                const int i = __builtin_ctzll(undecided);
                row[i] = fieldValueInColumn({xs[i], ys[j], zs[k]},
                                            columnTerms(slice, xs, zs[k], i), params);
                ++stats.undecided;
            }
            // Quiet samples were never written: only the open ones are compared.
            uint64_t openBelow = 0;
            for (uint64_t bits = open; bits != 0; bits &= bits - 1) {
                const int i = __builtin_ctzll(bits);
                openBelow |= static_cast<uint64_t>(row[i] < isoLevel) << i;
            }
            below[j + kN * k] = certifiedBelow | openBelow;
        }
    };
    // The ends of crossed edges that hold stand-ins get the certified bounds of their values, in
    // lanes gathered over the slice; libm only where a lane gets no bound. Only the surface
    // mask's bits are visited: about 3% of the samples at preset 3. Of those, the ones that hold an
    // exact value already (undecided ones, and escapes proved to give exactly 0, a third of them)
    // keep it: stand-ins lie outside [0, 1].
    constexpr int kBoundLanes = 64;
    double bx[kBoundLanes], by[kBoundLanes], bz[kBoundLanes], bs[kBoundLanes], bSqrtS[kBoundLanes],
        bCosPhi8[kBoundLanes], bSinPhi8[kBoundLanes];
    int boundPosition[kBoundLanes];
    int boundColumn[kBoundLanes];
    int boundRank[kBoundLanes];
    int boundCount = 0;
    int32_t endCount = 0;  // ends of crossed edges so far, in storage order: their rank in highs
    auto boundLanes = [&](int k) {
        if (boundCount == 0) {
            return;
        }
        const int padded =
            padLanesToEight({bx, by, bz, bs, bSqrtS, bCosPhi8, bSinPhi8}, boundCount);
        const ClassifyLanes lanes = {bx, by, bz, bs, bSqrtS, bCosPhi8, bSinPhi8};
        double lowModulus[kBoundLanes];
        double highModulus[kBoundLanes];
        boundFinalModulus(level, lanes, padded, params.maxIterations, lowModulus, highModulus);
        for (int n = 0; n < boundCount; ++n) {
            const int p = boundPosition[n];
            // The field falls as the modulus grows. A lane without a bound (NaN, which
            // fieldFromModulus would take for 0) gets libm's value; so would a bound on the wrong
            // side of the level for the sample's class, which no sound bound gives.
            const bool bounded = lowModulus[n] <= highModulus[n];
            const double low = fieldFromModulus(highModulus[n], params);
            const double high = fieldFromModulus(lowModulus[n], params);
            const bool classBelow = samples[p] < isoLevel;
            if (bounded && (classBelow ? high < isoLevel : low >= isoLevel)) {
                samples[p] = low;
                highs[boundRank[n]] = high;
                ++stats.bounded;
            } else {
                samples[p] = fieldValueInColumn({bx[n], by[n], bz[n]},
                                                columns[k & 1].terms[boundColumn[n]], params);
                highs[boundRank[n]] = samples[p];
                ++stats.exact;
            }
        }
        boundCount = 0;
    };
    auto resolveSlice = [&](int k) {
        SliceColumns& slice = columns[k & 1];
        for (int j = 0; j < kN; ++j) {
            double* row = samples + kN * j + kSliceStride * k;
            for (uint64_t touches = surfaceMask(below, j, k); touches != 0; touches &= touches - 1) {
                const int i = __builtin_ctzll(touches);
                const int p = i + kN * j + kSliceStride * k;
                const int32_t rank = endCount++;
                if (row[i] >= 0.0 && row[i] <= 1.0) {
                    highs[rank] = row[i];
                    continue;
                }
                const ColumnTerms& terms = columnTerms(slice, xs, zs[k], i);
                bx[boundCount] = xs[i];
                by[boundCount] = ys[j];
                bz[boundCount] = zs[k];
                bs[boundCount] = terms.s;
                bSqrtS[boundCount] = terms.sqrtS;
                bCosPhi8[boundCount] = terms.cosPhi8;
                bSinPhi8[boundCount] = terms.sinPhi8;
                boundPosition[boundCount] = p;
                boundRank[boundCount] = rank;
                boundColumn[boundCount] = i;
                if (++boundCount == kBoundLanes) {
                    boundLanes(k);
                }
            }
        }
        boundLanes(k);
    };
    classifySlice(0);
    for (int k = 0; k < kN; ++k) {
        if (k + 1 < kN) {
            classifySlice(k + 1);
        }
        resolveSlice(k);
    }
    stats.exact += stats.undecided;
    return stats;
}

BlockSampler chooseBlockSampler(const FieldParams& params, double isoLevel) {
    const SimdLevel level = detectSimdLevel();
    if (level != SimdLevel::kNone && classificationApplies(params, isoLevel)) {
        return {SamplingMethod::kVector, level};
    }
    return {SamplingMethod::kColumns, SimdLevel::kNone};
}

void sampleBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                 double isoLevel, double* samples, double* highs, uint64_t* classMasks) {
    if (sampler.method == SamplingMethod::kVector) {
        sampleBlockFast(params, box, isoLevel, sampler.level, samples, highs, classMasks);
    } else {
        sampleBlockColumns(params, box, samples);
        computeClassMasks(samples, isoLevel, classMasks);
    }
}
