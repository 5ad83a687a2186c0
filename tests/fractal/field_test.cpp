#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fractal/field.h"

TEST(FieldValue, KnownPoints) {
    const FieldParams params = kDefaultFieldParams;
    // The origin is a fixed point of the map (atan2(0, 0) is 0): final modulus 0.
    EXPECT_EQ(fieldValue({0.0, 0.0, 0.0}, params), 1.0);
    // The box corner escapes in the first step with modulus ~349.7, q ~18.7 >= 8.
    EXPECT_EQ(fieldValue({1.2, 1.2, 1.2}, params), 0.0);
    // (0, 1, 0) -> (0, 2, 0) -> (0, 257, 0): escapes in the second step.
    EXPECT_EQ(fieldValue({0.0, 1.0, 0.0}, params), 0.0);
    // Moduli ~1.107, ~1.541, ~31.67: escapes in the third step, 1 - sqrt(31.67) / 8.
    EXPECT_NEAR(fieldValue({0.5, 0.5, 0.5}, params), 1.0 - std::sqrt(31.67) / 8.0, 1e-4);
    EXPECT_NEAR(fieldValue({0.5, 0.5, 0.5}, params), 0.2966, 5e-5);
}

TEST(FieldValue, FinalModulusMapsToValue) {
    const FieldParams params = kDefaultFieldParams;
    EXPECT_EQ(fieldFromModulus(16.0, params), 0.5);  // q = 4 exactly: the extracted surface
    EXPECT_EQ(fieldFromModulus(0.0, params), 1.0);
    EXPECT_EQ(fieldFromModulus(4.0, params), 0.75);
    EXPECT_EQ(fieldFromModulus(64.0, params), 0.0);  // q = normRadius is not below it
    EXPECT_EQ(fieldFromModulus(1e300, params), 0.0);
    EXPECT_EQ(fieldFromModulus(std::numeric_limits<double>::quiet_NaN(), params), 0.0);
}

TEST(FieldValue, IterationStopsOnlyOnStrictlyGreaterModulus) {
    // (0, 1, 0) maps to (0, 2, 0), modulus exactly 2, then to (0, 257, 0).
    // Bailout 2: a modulus equal to it does not stop, the second step runs, q = sqrt(257) > 8.
    EXPECT_EQ(fieldValue({0.0, 1.0, 0.0}, {8.0, 2.0, 2}), 0.0);
    // Bailout just below 2: the first step escapes and the value comes from modulus 2.
    const double belowTwo = std::nextafter(2.0, 0.0);
    EXPECT_EQ(fieldValue({0.0, 1.0, 0.0}, {8.0, belowTwo, 2}), 1.0 - std::sqrt(2.0) / 8.0);
}

TEST(FieldValue, OneIterationUsesOnlyTheFirstIterate) {
    // (0, 1, 0) -> (0, 2, 0): modulus 2 whatever would follow.
    EXPECT_EQ(fieldValue({0.0, 1.0, 0.0}, {8.0, 16.0, 1}), 1.0 - std::sqrt(2.0) / 8.0);
    // The origin's value never depends on the step count.
    EXPECT_EQ(fieldValue({0.0, 0.0, 0.0}, {8.0, 16.0, 1}), 1.0);
}

TEST(FieldValue, NegativePolarAxisIsNotMirrored) {
    // On -y the polar angle is pi and cos(8 pi) rounds to 1: y' = a^8 - a, against a^8 + a on +y.
    // a = 1.25: 1.25^8 = 5.9604644775390625, so the moduli are ~4.710 and ~7.210; one step only.
    const FieldParams one = {8.0, 16.0, 1};
    EXPECT_NEAR(fieldValue({0.0, -1.25, 0.0}, one), 1.0 - std::sqrt(5.9604644775390625 - 1.25) / 8.0,
                1e-12);
    EXPECT_EQ(fieldValue({0.0, 1.25, 0.0}, one), 1.0 - std::sqrt(5.9604644775390625 + 1.25) / 8.0);
}
