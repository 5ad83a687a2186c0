// Block sampler: the field over one block's lattice, by the cheapest path that keeps the mesh exact.
#include "fractal/block_sampler.h"

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

// The column terms of one z slice, as structure of arrays for the vector kernel and as records
// for the exact evaluations.
struct SliceColumns {
    ColumnTerms terms[kN];
    double s[kN];
    double sqrtS[kN];
    double cosPhi8[kN];
    double sinPhi8[kN];
};

void computeSliceColumns(const double* xs, double z, SliceColumns* slice) {
    for (int i = 0; i < kN; ++i) {
        const ColumnTerms terms = computeColumnTerms(xs[i], z);
        slice->terms[i] = terms;
        slice->s[i] = terms.s;
        slice->sqrtS[i] = terms.sqrtS;
        slice->cosPhi8[i] = terms.cosPhi8;
        slice->sinPhi8[i] = terms.sinPhi8;
    }
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

// The samples of row (j, k) with a neighbour along x, y or z on the other side of the level, as a
// mask: the ends of crossed edges, whose values the mesh reads. `below` holds every row's classes
// at j + 64 k.
inline uint64_t surfaceMask(const uint64_t* below, int j, int k) {
    const uint64_t a = below[j + kN * k];
    // Bit i against bit i - 1 and against bit i + 1; the row's ends have no neighbour outside.
    uint64_t touches = ((a ^ (a << 1)) & ~uint64_t{1}) | ((a ^ (a >> 1)) & (~uint64_t{0} >> 1));
    if (j > 0) {
        touches |= a ^ below[j - 1 + kN * k];
    }
    if (j < kN - 1) {
        touches |= a ^ below[j + 1 + kN * k];
    }
    if (k > 0) {
        touches |= a ^ below[j + kN * (k - 1)];
    }
    if (k < kN - 1) {
        touches |= a ^ below[j + kN * (k + 1)];
    }
    return touches;
}

}  // namespace

FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  SimdLevel level, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    const double* xs = lattice.xs;
    const double* ys = lattice.ys;
    const double* zs = lattice.zs;
    FastSamplingStats stats = {0, 0};

    // Slices are classified one ahead of the exact pass: the exact pass over slice k needs the
    // classes of slices k - 1 and k + 1, and only slice k's column terms. Replacing a stand-in by
    // its exact value keeps its class, so later neighbour tests read the same classes.
    SliceColumns columns[2];
    uint64_t below[kN * kN];  // the class mask of row (j, k) at j + 64 k
    double sliceY[kN];
    double sliceZ[kN];
    auto classifySlice = [&](int k) {
        SliceColumns& slice = columns[k & 1];
        computeSliceColumns(xs, zs[k], &slice);
        for (int i = 0; i < kN; ++i) {
            sliceZ[i] = zs[k];
        }
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                sliceY[i] = ys[j];
            }
            double* row = samples + kN * j + kSliceStride * k;
            const ClassifyLanes lanes = {xs, sliceY, sliceZ, slice.s, slice.sqrtS, slice.cosPhi8,
                                         slice.sinPhi8};
            classifyLanes(level, lanes, kN, params.maxIterations, row);
            // Undecided lanes are rare: a mask finds them without a branch per sample.
            for (uint64_t undecided = undecidedMask(row); undecided != 0;
                 undecided &= undecided - 1) {
                const int i = __builtin_ctzll(undecided);
                row[i] = fieldValueInColumn({xs[i], ys[j], zs[k]}, slice.terms[i], params);
                ++stats.undecided;
            }
            below[j + kN * k] = belowMask(row, isoLevel);
        }
    };
    auto resolveSlice = [&](int k) {
        const SliceColumns& slice = columns[k & 1];
        for (int j = 0; j < kN; ++j) {
            double* row = samples + kN * j + kSliceStride * k;
            // Only the set bits are visited: about 3% of the samples at preset 3. Of those, the
            // ones that hold an exact value already (undecided ones, and escapes the classifier
            // proved to give exactly 0, a third of them) keep it: stand-ins lie outside [0, 1].
            for (uint64_t touches = surfaceMask(below, j, k); touches != 0; touches &= touches - 1) {
                const int i = __builtin_ctzll(touches);
                if (row[i] < 0.0 || row[i] > 1.0) {
                    row[i] = fieldValueInColumn({xs[i], ys[j], zs[k]}, slice.terms[i], params);
                    ++stats.exact;
                }
            }
        }
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
                 double isoLevel, double* samples) {
    if (sampler.method == SamplingMethod::kVector) {
        sampleBlockFast(params, box, isoLevel, sampler.level, samples);
    } else {
        sampleBlockColumns(params, box, samples);
    }
}
