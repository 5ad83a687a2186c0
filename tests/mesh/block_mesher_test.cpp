#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/front_end.h"
#include "mesh/block_mesher.h"
#include "support/reference_paths.h"

namespace {

const Box3d kPresetZeroBox = kRunBox;
const BlockSampler kSampler = chooseBlockSampler(kDefaultFieldParams, 0.5);

BlockBuffers& sharedBuffers() {
    static BlockBuffers buffers;
    return buffers;
}

}  // namespace

TEST(BlockMesher, BlockOnOneSideOfTheLevelYieldsNothing) {
    BlockBuffers& buffers = sharedBuffers();
    // Far outside: every sample escapes at once (value 0). Around the origin: every value is
    // close to 1.
    const Box3d outside = {{5.0, 5.0, 5.0}, {6.0, 6.0, 6.0}};
    const Box3d inside = {{-0.01, -0.01, -0.01}, {0.01, 0.01, 0.01}};
    EXPECT_EQ(meshBlock(kSampler, kDefaultFieldParams, outside, buffers, 0.5), 0);
    EXPECT_EQ(meshBlock(kSampler, kDefaultFieldParams, inside, buffers, 0.5), 0);
}

TEST(BlockMesher, EachCallStoresFromPositionZero) {
    BlockBuffers& buffers = sharedBuffers();
    const Box3d small = {{-1.2, -1.2, -1.2}, {-0.4, -0.4, -0.4}};
    const int32_t first = meshBlock(kSampler, kDefaultFieldParams, small, buffers, 0.5);
    ASSERT_GT(first, 0);
    std::vector<TriangleRecord> alone(buffers.records, buffers.records + first);
    // A bigger block first, then the small one again: the small one's records start at 0.
    ASSERT_GT(meshBlock(kSampler, kDefaultFieldParams, kPresetZeroBox, buffers, 0.5), first);
    ASSERT_EQ(meshBlock(kSampler, kDefaultFieldParams, small, buffers, 0.5), first);
    EXPECT_EQ(std::memcmp(alone.data(), buffers.records, alone.size() * sizeof(TriangleRecord)), 0);
}
