// Tests run once per vector level: a level this CPU lacks is skipped, with its name, never passed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fractal/field_classify.h"

class VectorLevelTest : public ::testing::TestWithParam<SimdLevel> {
protected:
    void SetUp() override {
        if (detectSimdLevel() < GetParam()) {
            GTEST_SKIP() << "this CPU has no " << simdLevelName(GetParam());
        }
    }
};

// "Avx2", "Avx512": the suffix of each test's name.
inline std::string vectorLevelName(const ::testing::TestParamInfo<SimdLevel>& info) {
    return info.param == SimdLevel::kAvx512 ? "Avx512" : "Avx2";
}

// Instantiates `suite` (a VectorLevelTest) for every vector level the code has.
#define QUARNEL_FOR_EVERY_VECTOR_LEVEL(suite)                                                \
    INSTANTIATE_TEST_SUITE_P(Level, suite,                                                   \
                             ::testing::Values(SimdLevel::kAvx2, SimdLevel::kAvx512),        \
                             vectorLevelName)
