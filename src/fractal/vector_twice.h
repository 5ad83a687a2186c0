// Two vectors of a traits type as one of twice the lanes, for the classifier kernels: each
// operation is issued on both halves, so two independent chains of squarings, divisions and
// roots are in flight where one alone would wait on its own latencies. Every lane is computed by
// the same operations as with T, so the results are T's bit for bit. Include only where T's
// instruction set is enabled.
#pragma once

#include <type_traits>

template <class T, class = void>
struct SmallestStart : std::integral_constant<int, 0> {};
template <class T>
struct SmallestStart<T, std::void_t<decltype(T::kSmallestStart)>> {
    static constexpr double value = T::kSmallestStart;
};

template <class T>
struct Twice {
    struct V {
        typename T::V lo;
        typename T::V hi;
    };
    struct M {
        typename T::M lo;
        typename T::M hi;
    };
    static constexpr int kLanes = 2 * T::kLanes;
    static constexpr double kUnit = T::kUnit;
    static constexpr double kMinNormal = T::kMinNormal;
    static constexpr double kLocalErrorUlps = T::kLocalErrorUlps;
    // Float traits only: the starts nearer the origin that float leaves undecided.
    static constexpr double kSmallestStart = SmallestStart<T>::value;

    static V set1(double value) { return {T::set1(value), T::set1(value)}; }
    static V load(const double* p) { return {T::load(p), T::load(p + T::kLanes)}; }
    static V loadRadius(const double* p) {
        return {T::loadRadius(p), T::loadRadius(p + T::kLanes)};
    }
    static void store(double* p, V v) {
        T::store(p, v.lo);
        T::store(p + T::kLanes, v.hi);
    }
    static V add(V a, V b) { return {T::add(a.lo, b.lo), T::add(a.hi, b.hi)}; }
    static V sub(V a, V b) { return {T::sub(a.lo, b.lo), T::sub(a.hi, b.hi)}; }
    static V mul(V a, V b) { return {T::mul(a.lo, b.lo), T::mul(a.hi, b.hi)}; }
    static V sqrt(V a) { return {T::sqrt(a.lo), T::sqrt(a.hi)}; }
    static V div(V a, V b) { return {T::div(a.lo, b.lo), T::div(a.hi, b.hi)}; }
    static M greater(V a, V b) { return {T::greater(a.lo, b.lo), T::greater(a.hi, b.hi)}; }
    static M less(V a, V b) { return {T::less(a.lo, b.lo), T::less(a.hi, b.hi)}; }
    static M maskAnd(M a, M b) { return {T::maskAnd(a.lo, b.lo), T::maskAnd(a.hi, b.hi)}; }
    static M maskOr(M a, M b) { return {T::maskOr(a.lo, b.lo), T::maskOr(a.hi, b.hi)}; }
    static V max(V a, V b) { return {T::max(a.lo, b.lo), T::max(a.hi, b.hi)}; }
    static V min(V a, V b) { return {T::min(a.lo, b.lo), T::min(a.hi, b.hi)}; }
    static M maskAndNot(M a, M b) {  // b and not a
        return {T::maskAndNot(a.lo, b.lo), T::maskAndNot(a.hi, b.hi)};
    }
    static M allLanes() { return {T::allLanes(), T::allLanes()}; }
    static M noLanes() { return {T::noLanes(), T::noLanes()}; }
    static bool none(M m) { return T::none(T::maskOr(m.lo, m.hi)); }
    static V select(M m, V ifSet, V otherwise) {
        return {T::select(m.lo, ifSet.lo, otherwise.lo), T::select(m.hi, ifSet.hi, otherwise.hi)};
    }
};
