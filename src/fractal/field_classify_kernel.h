// The vector classifier, written once over a small traits type (one per instruction set) and
// compiled in its own translation unit with that instruction set enabled.
//
// Why a decided class is certain
// ------------------------------
// The sample's class is whether its final modulus is above the bailout radius 16: fieldValue is
// below 0.5 exactly when the iteration escapes (q = sqrt(m) > 4). The vector path runs the same
// iteration with SLEEF's atan2 and sincos instead of libm's, so its orbit b_t drifts from libm's
// orbit a_t. The kernel carries, per lane, a bound D_t >= |a_t - b_t| and decides only where the
// comparison with 16 comes out the same for every orbit within that bound:
//
// * Local error of one step, either implementation, for an iterate of radius r and start c:
//   SLEEF's u10 functions and glibc's atan2, sin and cos are within 1 ulp. The polar angle is
//   within about 8 ulp-units u = 2^-53 of exact (its own ulp on values up to pi plus the rounded
//   inputs), times 8 makes ~64u, and sin/cos add 1 ulp: ~65u on each of sin 8theta, cos 8theta,
//   and the same for the azimuth terms. r^8 from three squarings of a rounded r carries ~23u
//   relative. Each coordinate of r^8 * (direction) + c is thus within ~160u r^8 + u |v'|, under
//   300u (r^8 + |c|) as a vector. We take 512u (r^8 + |c|) per implementation, 1024u for the two
//   together (kLocalErrorUlps): about 3.4 times the estimate.
// * Growth: the power map P(v) = r^8 (sin 8t cos 8p, cos 8t, sin 8t sin 8p) has derivative norm at
//   most 8 r^7 max(1, |sin 8t / sin t|) <= 64 r^7, so an orbit difference D grows to at most
//   64 (r + D)^7 D, r + D bounding the radius anywhere between the two orbits. Hence
//   D_{t+1} = 64 (r_t + D_t)^7 D_t + 1024u ((r_t + D_t)^8 + |c|), D_0 = 0.
// * The modulus m = sqrt(x^2 + z^2 + y^2) adds at most 3u m on each side: 8u m is used.
// * Before the angles: the exact new modulus lies in [r_a^8 - |c|, r_a^8 + |c|], and libm's radius
//   r_a lies in [r - D, r + D]. With the local error above and 64u (r + D)^8 for the rounding of
//   these bounds themselves (about 12u), a lane whose lower end is above 16 escapes in both orbits
//   without any trigonometry, and at the last step a lane whose upper end is below 16 stays.
// A lane with m_t - D_t - 8u m_t > 16 escapes in both orbits at step t (and did not before, see
// next point): class below. A lane with m_t + D_t + 8u m_t < 16 does not escape at step t in
// either orbit and goes on; after the last step it is certainly not below. Any other lane is
// undecided and gets the exact scalar evaluation. The bound is computed from the lane's own
// values, so it is as tight as the orbit allows: a few 1e-14 after one step, growing by the
// factor 64 r^7 per step. The classification tests feed 2,000 points that sit on libm's class
// boundary to the last bit: with this bound no decided lane disagrees with libm; scaled down by
// 1e-6 it still decides none wrongly, by 1e-7 a few: the bound leaves a factor of about a million
// over the drift seen, and in whole blocks it leaves no sample undecided.
#pragma once

#include "fractal/field_classify.h"

namespace classify_kernel {

constexpr double kUnit = 0x1p-53;
constexpr double kLocalErrorUlps = 1024.0;
constexpr double kModulusRoundingUlps = 8.0;
constexpr double kRadiusRoundingUlps = 64.0;

// v^8 by three squarings, as the field computes r^8.
template <class T>
typename T::V eighthPower(typename T::V v) {
    const typename T::V v2 = T::mul(v, v);
    const typename T::V v4 = T::mul(v2, v2);
    return T::mul(v4, v4);
}

template <class T>
void classify(const ClassifyLanes& lanes, int count, int maxIterations, double errorBoundScale,
              double* out) {
    using V = typename T::V;
    using M = typename T::M;
    const V bailout = T::set1(16.0);
    const V eight = T::set1(8.0);
    const V sixtyFour = T::set1(64.0);
    const V localError = T::set1(kLocalErrorUlps * kUnit * errorBoundScale);
    const V modulusRounding = T::set1(kModulusRoundingUlps * kUnit * errorBoundScale);
    const V radiusRounding = T::set1(kRadiusRoundingUlps * kUnit * errorBoundScale);
    const V undecided = T::set1(__builtin_nan(""));
    const V below = T::set1(kCertainlyBelow);
    const V notBelow = T::set1(kCertainlyNotBelow);

    for (int base = 0; base < count; base += T::kLanes) {
        const V cx = T::load(lanes.cx + base);
        const V cy = T::load(lanes.cy + base);
        const V cz = T::load(lanes.cz + base);
        const V cNorm = T::sqrt(T::add(T::add(T::mul(cx, cx), T::mul(cy, cy)), T::mul(cz, cz)));
        V x = cx;
        V y = cy;
        V z = cz;
        V bound = T::set1(0.0);
        M active = T::allLanes();
        M escaped = T::noLanes();
        for (int step = 0; step < maxIterations; ++step) {
            const bool lastStep = step + 1 == maxIterations;
            V s;
            V sqrtS;
            if (step == 0) {
                s = T::load(lanes.s + base);
                sqrtS = T::load(lanes.sqrtS + base);
            } else {
                s = T::add(T::mul(x, x), T::mul(z, z));
                sqrtS = T::sqrt(s);
            }
            const V r = T::sqrt(T::add(T::mul(y, y), s));
            const V r8 = eighthPower<T>(r);

            // The new modulus lies within |c| of r^8 whatever the angles. Where that settles the
            // comparison with 16 for every orbit within the bound, the trigonometry is skipped.
            const V reach = T::add(r, bound);
            const V reach2 = T::mul(reach, reach);
            const V reach4 = T::mul(reach2, reach2);
            const V reach7 = T::mul(T::mul(reach4, reach2), reach);
            const V reach8 = T::mul(reach7, reach);
            const V low8 = eighthPower<T>(T::max(T::sub(r, bound), T::set1(0.0)));
            const V stepError = T::mul(localError, T::add(reach8, cNorm));
            const V radiusSlack = T::add(stepError, T::mul(radiusRounding, reach8));
            const M escapesByRadius =
                T::greater(T::sub(T::sub(low8, cNorm), radiusSlack), bailout);
            escaped = T::maskOr(escaped, T::maskAnd(active, escapesByRadius));
            active = T::maskAndNot(escapesByRadius, active);
            M needsAngles = active;
            if (lastStep) {
                const M staysByRadius =
                    T::less(T::add(T::add(reach8, cNorm), radiusSlack), bailout);
                needsAngles = T::maskAndNot(staysByRadius, active);
            }
            // Before the last step needsAngles is every active lane.
            if (T::none(needsAngles)) {
                break;
            }

            V cosPhi8;
            V sinPhi8;
            if (step == 0) {
                // The first azimuth depends on (x, z) only and comes from libm, per column.
                cosPhi8 = T::load(lanes.cosPhi8 + base);
                sinPhi8 = T::load(lanes.sinPhi8 + base);
            } else {
                T::sincos(T::mul(T::atan2(z, x), eight), &sinPhi8, &cosPhi8);
            }
            V sinTheta8;
            V cosTheta8;
            T::sincos(T::mul(T::atan2(sqrtS, y), eight), &sinTheta8, &cosTheta8);
            const V w = T::mul(sinTheta8, r8);
            const V nx = T::add(T::mul(cosPhi8, w), cx);
            const V nz = T::add(T::mul(sinPhi8, w), cz);
            const V ny = T::add(T::mul(cosTheta8, r8), cy);
            const V m = T::sqrt(T::add(T::add(T::mul(nx, nx), T::mul(nz, nz)), T::mul(ny, ny)));

            // The certified drift between this orbit and libm's (see the top of this file).
            bound = T::add(T::mul(T::mul(sixtyFour, reach7), bound), stepError);
            const V slack = T::add(bound, T::mul(modulusRounding, m));

            // NaN compares false both ways, so such a lane ends undecided.
            const M escapes = T::greater(T::sub(m, slack), bailout);
            const M stays = T::less(T::add(m, slack), bailout);
            escaped = T::maskOr(escaped, T::maskAnd(needsAngles, escapes));
            // Lanes settled by their radius keep that decision; the others go on only where
            // they certainly stayed inside.
            active = T::maskOr(T::maskAndNot(needsAngles, active), T::maskAnd(needsAngles, stays));
            if (T::none(active)) {
                break;
            }
            x = nx;
            y = ny;
            z = nz;
        }
        V result = T::select(escaped, below, undecided);
        result = T::select(active, notBelow, result);
        T::store(out + base, result);
    }
}

}  // namespace classify_kernel
