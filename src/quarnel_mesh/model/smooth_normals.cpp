#include "quarnel_mesh/model/smooth_normals.h"

#include <algorithm>
#include <cmath>

void makeRoomForNormals(NormalSums& normals, int64_t verticesSeen) {
    const int64_t sumCount = verticesSeen - normals.firstIndex;
    if (sumCount > static_cast<int64_t>(normals.sums.size())) {
        normals.sums.resize(static_cast<size_t>(sumCount), Vec3d{0.0, 0.0, 0.0});
    }
}

void addFaceNormal(NormalSums& normals, const uint32_t corners[3], const Vec3d& v0,
                   const Vec3d& v1, const Vec3d& v2) {
    const Vec3d n = cross(subtract(v1, v0), subtract(v2, v0));
    for (int c = 0; c < 3; ++c) {
        Vec3d& sum = normals.sums[corners[c] - normals.firstIndex];
        sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
    }
}

Vec3f finalNormal(const NormalSums& normals, int64_t index) {
    const int64_t slot = index - normals.firstIndex;
    return normalFromSum(slot < static_cast<int64_t>(normals.sums.size()) ? normals.sums[slot]
                                                                          : Vec3d{0.0, 0.0, 0.0});
}

void forgetFinalSums(NormalSums& normals, int64_t finalEnd) {
    const int64_t sumCount = static_cast<int64_t>(normals.sums.size());
    const int64_t finalSums = std::min(sumCount, finalEnd - normals.firstIndex);
    if (2 * finalSums >= sumCount) {
        normals.sums.erase(normals.sums.begin(), normals.sums.begin() + finalSums);
        normals.firstIndex += finalSums;
    }
}

Vec3f normalFromSum(const Vec3d& sum) {
    const double length = std::sqrt(dot(sum, sum));
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {0.0f, 0.0f, 1.0f};
    }
    return {static_cast<float>(sum.x / length), static_cast<float>(sum.y / length),
            static_cast<float>(sum.z / length)};
}
