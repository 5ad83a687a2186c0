// The vector classifier, written once over a small traits type (one per instruction set) and
// compiled in its own translation unit with that instruction set enabled. It needs no
// trigonometry: the map's eighth power is taken algebraically.
//
// Why a decided class is certain
// ------------------------------
// The sample's class is whether its final modulus is above the bailout radius 16: fieldValue is
// below 0.5 exactly when the iteration escapes (q = sqrt(m) > 4). The vector path runs the same
// map without any angle: with s = x^2 + z^2 and rho = sqrt(s), the polar angle theta of fieldValue
// is the argument of y + i rho and the azimuth phi that of x + i z, so
//   (y + i rho)^8 = r^8 (cos 8theta + i sin 8theta),   (x + i z)^8 = s^4 (cos 8phi + i sin 8phi),
// each eighth power three complex squarings, and the step is
//   y' = Re (y + i rho)^8 + cy,  w = Im (y + i rho)^8,  (x', z') = w (x + i z)^8 / s^4 + (cx, cz).
// Its orbit b_t drifts from libm's orbit a_t. The kernel carries, per lane, a bound D_t >=
// |a_t - b_t| and decides only where the comparison with 16 comes out the same for every orbit
// within that bound:
//
// * Local error of libm's step, for an iterate of radius r and start c: glibc's atan2, sin and
//   cos are within 1 ulp. The polar angle is within about 8 ulp-units u = 2^-53 of exact, times 8
//   makes ~64u, and sin/cos add 1 ulp: ~65u on each of sin 8theta, cos 8theta and the azimuth
//   terms. r^8 from three squarings of a rounded r carries ~23u relative. Each coordinate of
//   r^8 * (direction) + c is thus within ~160u r^8 + u |v'|, under 300u (r^8 + |c|) as a vector;
//   we take 512u (r^8 + |c|).
// * Local error of the algebraic step: a complex squaring (a, b) -> (a*a - b*b, a*b + a*b) errs
//   by at most sqrt(5) u |a + ib|^2 < 3u |a + ib|^2, so a base with relative error e comes out of
//   three squarings with 8e + 21u. rho = sqrt(s) carries 2u: (y + i rho)^8 is within 37u r^8.
//   (x + i z)^8 is within 21u s^4, s^4 = (s s)(s s) within 11u, the quotient w / s^4 and the
//   products add 2u: the horizontal part is within 34u |w| <= 34u r^8 of w times the exact
//   direction. With u |v'| for the additions of c: ~73u (r^8 + |c|) to first order; we take 128u
//   (the traits' kLocalErrorUlps holds both counts). Subnormal intermediates err by at most
//   2^-1075 <= u s^4, inside that count. The first step takes its azimuth terms from libm per
//   column, the same bits as libm's orbit, so only its polar part differs.
// * Where s^4 is not a normal double the direction is lost: s = 0 has none (libm takes
//   atan2(0, 0) = 0), and underflow or overflow of the squarings breaks the count above. Such a
//   lane gets a NaN direction and ends undecided, unless its radius alone settles it.
// * Growth: the power map P(v) = r^8 (sin 8t cos 8p, cos 8t, sin 8t sin 8p) has, in the
//   orthonormal frames of its spherical coordinates, the diagonal derivative 8 r^7 (1, 1,
//   sin 8t / sin t), of norm 8 r^7 max(1, |sin 8t / sin t|); |sin 8t| <= 8 |sin t| and <= 1 bound
//   the ratio by min(8, 1 / sin t) = min(8, r / rho), rho the distance from the polar axis. Both
//   orbits, and the segment between them, lie in the ball of radius D around b_t, where the radius
//   is at most R = r + D and, when rho_b > D, rho is at least rho_b - D. So the difference grows to
//   at most 8 kappa R^7 D with kappa = min(8, max(1, R / (rho_b - D))) off the axis and kappa = 8
//   where the ball may reach it (and for single points, whose drift stays far below what decides
//   them: the division is not worth it there). The computed rho_b is within 2u of the exact one:
//   it is shrunk by 2^-48 before D is taken off, and the ratio grown by 2^-48, so kappa never
//   comes out small.
//   Hence, with L = 512u + 128u (kLocalErrorUlps) for the two local errors together,
//   D_{t+1} = 8 kappa_t R_t^7 D_t + L (R_t^8 + |c|), D_0 = 0.
//   The recursion is itself rounded: its growth term passes through about 15 roundings (R, its
//   powers, kappa, the products), each within u, and is grown by 2^-44 (about 500u) to cover
//   them; the two additions lose at most 2u of their terms, inside the room L leaves over the
//   ~370u the local errors need.
// * Regions: a lane may stand for every point c within h of its centre c0 (the sampler's boxes
//   of lattice points). b_t is then the algebraic orbit of c0 and a_t libm's orbit of any c; the
//   starting difference is |c - c0| <= h, and each step adds c - c0 again, so
//   D_{t+1} = 8 kappa_t R_t^7 D_t + L (R_t^8 + |c|) + h, D_0 = h, with |c| <= |c0| + h for |c|
//   wherever it appears (here and in the radius bounds below). The centre's first azimuth terms
//   come from libm (within ~65u each, see above), so its first step errs by at most ~130u r^8
//   instead of the polar part's 37u: with libm's 300u, still inside L. Every statement below then
//   holds for every point of the region at once; a point is the region with h = 0, and the same
//   code serves both.
// * The modulus m = sqrt(x^2 + z^2 + y^2) adds at most 3u m on each side: 8u m is used.
// * Before the direction: the exact new modulus lies in [r_a^8 - |c|, r_a^8 + |c|], and libm's
//   radius r_a lies in [r - D, r + D]. With the local error above and 64u (r + D)^8 for the
//   rounding of these bounds themselves (about 12u), a lane whose lower end is above 16 escapes in
//   both orbits without the eighth powers. The upper end R bounds libm's next modulus; carried
//   through the remaining steps as R' = R^8 + |c| plus the same slack, it bounds all of them, so a
//   lane whose upper ends all stay below 16 never escapes in libm's orbit: it is settled as not
//   below at once (at the last step this is the upper end alone; near the origin it saves
//   three or four steps).
// * The radius interval carried: after a step, libm's radius lies both within m_t +- (D_t + 8u m_t)
//   and within the lower and upper ends above; the next step takes the tighter of each, for the
//   lower end, for the upper end, and for R = min(r + D, max(r, upper end)), which bounds both
//   orbits' radii and so the segment between them. Where the drift is large against r, as in
//   regions near the surface, the radius ends are the tighter ones. A lane without a direction
//   (NaN) keeps only these ends: its class can then come from its radius alone, and nothing else.
// A lane with m_t - D_t - 8u m_t > 16 escapes in both orbits at step t (and did not before, see
// next point): class below. A lane with m_t + D_t + 8u m_t < 16, or whose upper end R^8 + |c|
// (with its slack) taken before the step is below 16, does not escape at step t in either orbit
// and goes on; after the last step it is certainly not below. A lane that may or may not escape at
// step t goes on as mixed: the points that escaped there are below, and the bound still holds for
// the orbits of those that did not, so if the lane later certainly escapes, every point is below;
// a mixed lane that does not is undecided, and never gets the exact 0. A lane that escapes
// with its lower end above 64 (m_t - D_t - 8u m_t, or r^8 less everything above) ends with
// sqrt(m) >= 8 in libm's orbit too, so fieldValue there is exactly 0: that value itself is written,
// and no exact evaluation is needed even next to the surface. Any other lane is undecided and gets
// the exact scalar evaluation. The bound is computed from the lane's own
// values, so it is as tight as the orbit allows: a few 1e-14 after one step, growing by the
// factor 8 kappa r^7 per step. The classification tests feed 2,000 points that sit on libm's class
// boundary to the last bit: with this bound no decided lane disagrees with libm, and scaled down
// by 1e-6 it decides some wrongly; in whole blocks it leaves undecided only lanes on the polar
// axis. The certificate tests check every box of the sampler's octrees over presets 0 to 2
// against fieldValue at each of its points, and fail when h is scaled down by 1e-3.
//
// Bounds on libm's final modulus at a point
// -----------------------------------------
// The same orbit and drift bound serve a second purpose: next to the surface the mesh needs
// values, not classes, and the crossing points only to float32. For a point (h = 0), libm's
// modulus after step t lies within m_t +- (D_t + 8u m_t) (above; the roundings of these two ends
// are within u m_t each, inside the 8u m_t of which the modulus needs 3u). libm's orbit stops at
// its first step with a modulus above 16. So where every step before t certainly stays inside
// (m + D + 8u m < 16) and step t certainly escapes (m - D - 8u m > 16), libm's final modulus lies
// within the ends of step t; where every step certainly stays inside, within those of the last
// step (the lower end taken at 0 at least). Any lane with a step that may or may not escape, or a
// NaN direction, gets no bound. Here kappa is taken with the division for points too: the width
// of the bound decides how many crossing points it pins, and is worth the division. The field is
// fieldFromModulus of the final modulus, non-increasing in it through every rounding, so the
// value lies between fieldFromModulus of the two ends. The crossing-point tests check, over
// every end of a crossed edge of presets 0 to 2, that fieldValue lies inside its bound, and that a
// bound scaled down by 1e-6 misses some. At a point the bound is mostly the local errors, far
// wider than the drift they cause, so those tests cannot see a weakened growth or escape test.
// The same bound holds for a region of radius h as for the certificates (D_0 = h, and h added at
// each step for the spread of c); there the growth of h dominates and is nearly tight. The tests
// therefore also bound every box of 2^3 samples of presets 0 and 1 and check libm's final modulus
// at its eight samples against it, reporting the smallest slack, and check that the bound with
// every term halved misses some.
//
// The same kernels in float
// -------------------------
// Every count above is in units of u, the relative error of one rounding, and the kernels read
// their unit, their smallest normal number and L from the traits type. The AVX2 classifier runs
// classify over 8 float lanes first (Avx2Float, u = 2^-24), and only the lanes that pass leaves
// undecided go through the double kernel; its decisions hold by the argument above, with these
// differences:
// * Inputs: the lanes hold doubles, rounded to float on loading, each within u of its value (the
//   column terms' own libm error, ~65 double units, is 2^-22 u). The float orbit starts from
//   fl(c): the base (y + i rho) of the first step is within u r, the polar power within 8u + 21u
//   of r^8, the azimuth pair within 2u, the products and the addition of fl(c) within 2u |c| more:
//   under 40u (r^8 + |c|) against libm's step from c. Every later step adds fl(c) for c, one more
//   u |c|. The algebraic step's count (~73u) still holds, and libm's 512 double units are 2^-20 u:
//   L = 128u covers them all, with the recursion's two additions (2u). The first step's radius
//   r, which double shares with libm bit for bit, is here within 3u of libm's: its eighth power
//   within 24u, inside the 64u the radius tests leave for about 12u of their own roundings.
// * kappa is taken with the division for points too: with a bound 2^29 times wider the choice
//   between 8 and R / (rho - D) decides whether a point near the surface is decided at all. The
//   shrink of rho and the growth of the ratio (32u each) and of the growth term (512u) are the
//   same counts in float units.
// * Range: float's smallest normal is 2^-126. The direction test on s^4 uses it, as above for
//   double. Any other underflow errs by at most 2^-150 an operation, far inside L |c| once
//   |c| >= 2^-60: lanes nearer the origin are left undecided (kSmallestStart). Float overflows
//   above 2^128: a lane still inside has r below 16 plus its bound, so only a bound already far
//   past deciding can overflow, and an infinite or NaN bound fails every comparison: undecided.
// * Regions (certifySmall on AVX2, the sampler's boxes of 2^3 samples): the centre c0 is rounded
//   to float as a point is, and the argument for regions carries over with fl(c0)'s orbit as b_t:
//   its first step is within 40u (r^8 + |c0|) of the exact step from c0 (the count for points),
//   every point c of the region lies within h of c0, so D_0 = h and the recursion stand as they
//   are. Two inputs change. The radius h is rounded up on loading, never down (loadRadius: h (1 +
//   2^-23) rounds to a float above h), since no count covers a radius too small. cNorm, |fl(c0)| +
//   h in float, may fall short of |c0| + h by about 5u |c0| (the rounding of c0, three of the
//   norm): in L (R^8 + |c|) that is 5u of the term, second order; in the radius tests the
//   stepError term covers it, its 128u (R^8 + |c|) standing there mostly for libm's 2^-20 u. The
//   first step's r is within 4u r of |c0|, so (r +- h)^8 is within 32u (r + h)^8 of the true ends,
//   inside the 64u the radius tests leave beside their own ~12u, and R^7 within 28u, inside the
//   growth term's 512u. kSmallestStart tests cNorm, h included, and 2^-150 stays far inside
//   L |c| >= 2^-77 for every lane it passes. A box of 2^3 samples has a radius of ~1e-3 against
//   float's ~1e-7 rounding: the bound is the radius's growth almost alone, and float certifies
//   nearly the boxes double does (3.57 against 3.62 million of them over preset 3). The certificate
//   tests check every 2^3 box of presets 0 to 2 against fieldValue, and fail with h halved.
// The float pass decides all but a few percent of the samples the certificates leave at preset 2,
// at about 60% of the double kernel's instructions; those it leaves pay the double kernel and a
// gather. The classification tests check it on the class-boundary points (no wrong decision, and
// some with the bound scaled by 1e-3) and on every sample of presets 0 to 2 against fieldValue.
#pragma once

#include "fractal/field_classify.h"
#include "fractal/vector_twice.h"

namespace classify_kernel {

constexpr double kModulusRoundingUlps = 8.0;
constexpr double kRadiusRoundingUlps = 64.0;

// v^8 by three squarings, as the field computes r^8.
template <class T>
typename T::V eighthPower(typename T::V v) {
    const typename T::V v2 = T::mul(v, v);
    const typename T::V v4 = T::mul(v2, v2);
    return T::mul(v4, v4);
}

// (re + i im)^2 in place: (re re - im im, re im + re im).
template <class T>
[[gnu::always_inline]] inline void complexSquare(typename T::V& re, typename T::V& im) {
    const typename T::V product = T::mul(re, im);
    re = T::sub(T::mul(re, re), T::mul(im, im));
    im = T::add(product, product);
}

// (re + i im)^8 by three complex squarings, in place (written out: the loop's count cost a
// tenth of the squarings themselves).
template <class T>
[[gnu::always_inline]] inline void complexEighthPower(typename T::V& re, typename T::V& im) {
    complexSquare<T>(re, im);
    complexSquare<T>(re, im);
    complexSquare<T>(re, im);
}

// One step of the orbit of the lanes from `base`, from (x, y, z) with s = x^2 + z^2 and sqrtS its
// root, to (nx, ny, nz), nextS and the modulus m: the same operations in the same order in every
// kernel of this file, so that each follows exactly the orbit the others bound.
template <class T>
[[gnu::always_inline]] inline void orbitStep(const ClassifyLanes& lanes, int base, int step,
                                             typename T::V x, typename T::V y, typename T::V z,
                                             typename T::V s, typename T::V sqrtS,
                                             typename T::V cx, typename T::V cy, typename T::V cz,
                                             typename T::V& nx, typename T::V& ny,
                                             typename T::V& nz, typename T::V& nextS,
                                             typename T::V& m) {
    using V = typename T::V;
    using M = typename T::M;
    const V undecided = T::set1(__builtin_nan(""));
    const V minNormal = T::set1(T::kMinNormal);
    const V infinity = T::set1(__builtin_inf());
    // The polar part: (y + i rho)^8 = r^8 (cos 8theta + i sin 8theta), no angle needed.
    V polarRe = y;
    V w = sqrtS;
    complexEighthPower<T>(polarRe, w);
    if (step == 0) {
        // The first azimuth depends on (x, z) only and comes from libm, per column.
        nx = T::add(T::mul(T::load(lanes.cosPhi8 + base), w), cx);
        nz = T::add(T::mul(T::load(lanes.sinPhi8 + base), w), cz);
    } else {
        // (x + i z)^8 / s^4 = cos 8phi + i sin 8phi; w / s^4 is formed once.
        V azimuthRe = x;
        V azimuthIm = z;
        complexEighthPower<T>(azimuthRe, azimuthIm);
        const V s2 = T::mul(s, s);
        const V s4 = T::mul(s2, s2);
        const M normal = T::maskAnd(T::greater(s4, minNormal), T::less(s4, infinity));
        const V scale = T::select(normal, T::div(w, s4), undecided);
        nx = T::add(T::mul(azimuthRe, scale), cx);
        nz = T::add(T::mul(azimuthIm, scale), cz);
    }
    ny = T::add(polarRe, cy);
    // The next step's s and radius are this modulus's parts: (x^2 + z^2) + y^2 rounds
    // like y^2 + s, so the radius is m itself.
    nextS = T::add(T::mul(nx, nx), T::mul(nz, nz));
    m = T::sqrt(T::add(nextS, T::mul(ny, ny)));
}

// Classifies lane n as the point lanes.c*[n] or, where `radii` is not null, as every point
// within radii[n] of it (see "Regions" above), with every term of the bound times
// errorBoundScale (1 in production).
template <class T>
void classify(const ClassifyLanes& lanes, const double* radii, int count, int maxIterations,
              double errorBoundScale, double* out) {
    using V = typename T::V;
    using M = typename T::M;
    const V bailout = T::set1(16.0);
    const V zeroModulus = T::set1(64.0);  // from here on, sqrt(m) >= normRadius: the field is 0
    const V one = T::set1(1.0);
    const V eight = T::set1(8.0);
    const V axisShrink = T::set1(1.0 - 32.0 * T::kUnit);
    const V ratioGrowth = T::set1(1.0 + 32.0 * T::kUnit);
    const V growthRounding = T::set1(1.0 + 512.0 * T::kUnit);
    const V localError = T::set1(T::kLocalErrorUlps * T::kUnit * errorBoundScale);
    const V modulusRounding = T::set1(kModulusRoundingUlps * T::kUnit * errorBoundScale);
    const V radiusRounding = T::set1(kRadiusRoundingUlps * T::kUnit * errorBoundScale);
    const V undecided = T::set1(__builtin_nan(""));
    const V below = T::set1(kCertainlyBelow);
    const V zero = T::set1(0.0);
    const V notBelow = T::set1(kCertainlyNotBelow);

    for (int base = 0; base < count; base += T::kLanes) {
        const V cx = T::load(lanes.cx + base);
        const V cy = T::load(lanes.cy + base);
        const V cz = T::load(lanes.cz + base);
        // h: the region's radius (0 for a point). cNorm bounds |c| over the region.
        const V h = radii != nullptr ? T::loadRadius(radii + base) : zero;
        const V cNorm = T::add(
            T::sqrt(T::add(T::add(T::mul(cx, cx), T::mul(cy, cy)), T::mul(cz, cz))), h);
        V x = cx;
        V y = cy;
        V z = cz;
        V s = T::load(lanes.s + base);
        V sqrtS = T::load(lanes.sqrtS + base);
        V r = T::sqrt(T::add(T::mul(y, y), s));
        V bound = h;
        // Bounds on libm's radius over the region, from the radius alone: where the drift is
        // large against r they are the tighter ones.
        V radiusHigh = T::add(r, h);
        V radiusLow = T::max(T::sub(r, h), zero);
        M active = T::allLanes();
        M settled = T::noLanes();  // active lanes whose radius alone keeps them inside to the end
        M escaped = T::noLanes();
        M escapedToZero = T::noLanes();
        M mixed = T::noLanes();  // lanes of which some points may have escaped at an earlier step
        for (int step = 0; step < maxIterations; ++step) {

            // The new modulus lies within |c| of r^8 whatever the direction. Where that settles the
            // comparison with 16 for every orbit within the bound, the eighth powers are skipped.
            const V reach = T::min(T::add(r, bound), T::max(r, radiusHigh));
            const V reach2 = T::mul(reach, reach);
            const V reach4 = T::mul(reach2, reach2);
            const V reach7 = T::mul(T::mul(reach4, reach2), reach);
            const V reach8 = T::mul(reach7, reach);
            const V low8 = eighthPower<T>(T::max(T::sub(r, bound), radiusLow));
            const V stepError = T::mul(localError, T::add(reach8, cNorm));
            const V radiusSlack = T::add(stepError, T::mul(radiusRounding, reach8));
            const V lowModulus = T::sub(T::sub(low8, cNorm), radiusSlack);
            const M open = T::maskAndNot(settled, active);
            const M escapesByRadius = T::maskAnd(open, T::greater(lowModulus, bailout));
            escaped = T::maskOr(escaped, escapesByRadius);
            escapedToZero = T::maskOr(
                escapedToZero,
                T::maskAndNot(mixed, T::maskAnd(open, T::greater(lowModulus, zeroModulus))));
            active = T::maskAndNot(escapesByRadius, active);
            // The upper end carried through the remaining steps, R' = R^8 + |c| with the same
            // slack: where it stays below 16 to the last step, libm's orbit never escapes. Near
            // the origin this settles a lane after a step or two instead of five.
            V upper = T::add(T::add(reach8, cNorm), radiusSlack);
            const V nextUpper = upper;
            M staysToTheEnd = T::maskAnd(T::maskAndNot(escapesByRadius, open),
                                         T::less(upper, bailout));
            for (int later = step + 1; later < maxIterations && !T::none(staysToTheEnd);
                 ++later) {
                const V upper8 = eighthPower<T>(upper);
                upper = T::add(T::add(upper8, cNorm),
                               T::add(T::mul(localError, T::add(upper8, cNorm)),
                                      T::mul(radiusRounding, upper8)));
                staysToTheEnd = T::maskAnd(staysToTheEnd, T::less(upper, bailout));
            }
            settled = T::maskOr(settled, staysToTheEnd);
            const M needsStep = T::maskAndNot(settled, active);
            if (T::none(needsStep)) {
                break;
            }

            V nx;
            V ny;
            V nz;
            V nextS;
            V m;
            orbitStep<T>(lanes, base, step, x, y, z, s, sqrtS, cx, cy, cz, nx, ny, nz, nextS, m);

            // The certified drift between this orbit and libm's (see the top of this file):
            // growth 8 kappa R^7, kappa = R / (rho - D) between 1 and 8 where the ball of radius
            // D stays off the polar axis, else 8; plus the region's radius.
            // Points take kappa = 8 in double: their drift is far below what decides them, and
            // the division would cost a tenth of the kernel. Float takes it (see the top).
            V kappa = eight;
            if (radii != nullptr || T::kUnit > 0x1p-53) {
                const V offAxis = T::sub(T::mul(sqrtS, axisShrink), bound);
                const V ratio =
                    T::min(eight, T::max(one, T::mul(T::div(reach, offAxis), ratioGrowth)));
                kappa = T::select(T::greater(offAxis, zero), ratio, eight);
            }
            const V growth = T::mul(T::mul(T::mul(eight, kappa), reach7), growthRounding);
            bound = T::add(T::add(T::mul(growth, bound), stepError), h);
            const V slack = T::add(bound, T::mul(modulusRounding, m));

            // NaN compares false both ways, so such a lane goes on as mixed and ends undecided.
            const V lowM = T::sub(m, slack);
            const M escapes = T::greater(lowM, bailout);
            // Stays inside by the drift bound, or by the radius bound taken before the step.
            const M stays =
                T::maskOr(T::less(T::add(m, slack), bailout), T::less(nextUpper, bailout));
            escaped = T::maskOr(escaped, T::maskAnd(needsStep, escapes));
            escapedToZero = T::maskOr(
                escapedToZero,
                T::maskAndNot(mixed, T::maskAnd(needsStep, T::greater(lowM, zeroModulus))));
            // A lane that may or may not have escaped here goes on as mixed: if the points that
            // stayed all escape later, every point is below; otherwise it ends undecided.
            mixed = T::maskOr(mixed, T::maskAndNot(T::maskOr(escapes, stays), needsStep));
            // Lanes settled by their radius keep that decision; the others go on unless they
            // certainly escaped.
            active = T::maskOr(T::maskAndNot(needsStep, active), T::maskAndNot(escapes, needsStep));
            if (T::none(active)) {
                break;
            }
            radiusHigh = T::min(T::add(m, slack), nextUpper);
            radiusLow = T::max(T::max(lowM, lowModulus), zero);
            x = nx;
            y = ny;
            z = nz;
            s = nextS;
            sqrtS = T::sqrt(nextS);
            r = m;
        }
        V result = T::select(escaped, below, undecided);
        result = T::select(escapedToZero, zero, result);
        result = T::select(T::maskAndNot(mixed, active), notBelow, result);
        if constexpr (T::kUnit > 0x1p-53) {  // float lanes: the starts too near the origin
            result = T::select(T::less(cNorm, T::set1(T::kSmallestStart)), undecided, result);
        }
        T::store(out + base, result);
    }
}

// Bounds on libm's final modulus at the point of lane n (see "Bounds on libm's final modulus"
// above) into low[n] and high[n], NaN in both where the lane gets none; where `radii` is not null,
// bounds for every point within radii[n] of it. Every term of the error bound times
// errorBoundScale (1 in production).
template <class T>
void boundFinalModulus(const ClassifyLanes& lanes, const double* radii, int count,
                       int maxIterations, double errorBoundScale, double* low, double* high) {
    using V = typename T::V;
    using M = typename T::M;
    const V bailout = T::set1(16.0);
    const V one = T::set1(1.0);
    const V eight = T::set1(8.0);
    const V axisShrink = T::set1(1.0 - 32.0 * T::kUnit);
    const V ratioGrowth = T::set1(1.0 + 32.0 * T::kUnit);
    const V growthRounding = T::set1(1.0 + 512.0 * T::kUnit);
    const V localError = T::set1(T::kLocalErrorUlps * T::kUnit * errorBoundScale);
    const V modulusRounding = T::set1(kModulusRoundingUlps * T::kUnit * errorBoundScale);
    const V undecided = T::set1(__builtin_nan(""));
    const V zero = T::set1(0.0);

    for (int base = 0; base < count; base += T::kLanes) {
        const V cx = T::load(lanes.cx + base);
        const V cy = T::load(lanes.cy + base);
        const V cz = T::load(lanes.cz + base);
        // h: the region's radius (0 for a point, where adding it changes no bit).
        const V h = radii != nullptr ? T::loadRadius(radii + base) : zero;
        const V cNorm = T::add(
            T::sqrt(T::add(T::add(T::mul(cx, cx), T::mul(cy, cy)), T::mul(cz, cz))), h);
        V x = cx;
        V y = cy;
        V z = cz;
        V s = T::load(lanes.s + base);
        V sqrtS = T::load(lanes.sqrtS + base);
        V r = T::sqrt(T::add(T::mul(y, y), s));
        V bound = h;
        V lowEnd = undecided;
        V highEnd = undecided;
        M inside = T::allLanes();  // lanes certainly inside after every step so far
        for (int step = 0; step < maxIterations; ++step) {
            const V reach = T::add(r, bound);
            const V reach2 = T::mul(reach, reach);
            const V reach4 = T::mul(reach2, reach2);
            const V reach7 = T::mul(T::mul(reach4, reach2), reach);
            const V reach8 = T::mul(reach7, reach);
            V nx;
            V ny;
            V nz;
            V nextS;
            V m;
            orbitStep<T>(lanes, base, step, x, y, z, s, sqrtS, cx, cy, cz, nx, ny, nz, nextS, m);

            const V offAxis = T::sub(T::mul(sqrtS, axisShrink), bound);
            const V ratio = T::min(eight, T::max(one, T::mul(T::div(reach, offAxis), ratioGrowth)));
            const V kappa = T::select(T::greater(offAxis, zero), ratio, eight);
            const V growth = T::mul(T::mul(T::mul(eight, kappa), reach7), growthRounding);
            bound = T::add(T::add(T::mul(growth, bound), T::mul(localError, T::add(reach8, cNorm))),
                           h);
            const V slack = T::add(bound, T::mul(modulusRounding, m));
            const V lowM = T::sub(m, slack);
            const V highM = T::add(m, slack);

            // NaN compares false both ways: such a lane leaves `inside` with no bound.
            M ends = T::maskAnd(inside, T::greater(lowM, bailout));
            const M stays = T::maskAnd(inside, T::less(highM, bailout));
            if (step + 1 == maxIterations) {
                ends = T::maskOr(ends, stays);
            }
            lowEnd = T::select(ends, T::max(lowM, zero), lowEnd);
            highEnd = T::select(ends, highM, highEnd);
            inside = stays;
            if (T::none(inside)) {
                break;
            }
            x = nx;
            y = ny;
            z = nz;
            s = nextS;
            sqrtS = T::sqrt(nextS);
            r = m;
        }
        T::store(low + base, lowEnd);
        T::store(high + base, highEnd);
    }
}

// The lanes from `first` on.
inline ClassifyLanes lanesFrom(const ClassifyLanes& lanes, int first) {
    return {lanes.cx + first,    lanes.cy + first,      lanes.cz + first,     lanes.s + first,
            lanes.sqrtS + first, lanes.cosPhi8 + first, lanes.sinPhi8 + first};
}

// classify over `count` lanes, a multiple of T::kLanes, two vectors at a time (Twice<T>: two
// independent chains of divisions and roots in flight, about a tenth faster on AVX2) and the
// last one alone. Each lane's result is classify<T>'s: the lanes of one vector never read
// another's, and a vector that goes on for its twin changes none of its decided lanes (every
// decision is masked by the lanes still needing a step).
template <class T>
void classifyInPairs(const ClassifyLanes& lanes, const double* radii, int count,
                     int maxIterations, double errorBoundScale, double* out) {
    const int paired = count / Twice<T>::kLanes * Twice<T>::kLanes;
    classify<Twice<T>>(lanes, radii, paired, maxIterations, errorBoundScale, out);
    if (paired < count) {
        classify<T>(lanesFrom(lanes, paired), radii != nullptr ? radii + paired : nullptr,
                    count - paired, maxIterations, errorBoundScale, out + paired);
    }
}

// boundFinalModulus likewise, two vectors at a time.
template <class T>
void boundFinalModulusInPairs(const ClassifyLanes& lanes, const double* radii, int count,
                              int maxIterations, double errorBoundScale, double* low,
                              double* high) {
    const int paired = count / Twice<T>::kLanes * Twice<T>::kLanes;
    boundFinalModulus<Twice<T>>(lanes, radii, paired, maxIterations, errorBoundScale, low, high);
    if (paired < count) {
        boundFinalModulus<T>(lanesFrom(lanes, paired), radii != nullptr ? radii + paired : nullptr,
                             count - paired, maxIterations, errorBoundScale, low + paired,
                             high + paired);
    }
}

}  // namespace classify_kernel
