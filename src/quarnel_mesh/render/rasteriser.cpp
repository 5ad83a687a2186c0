// Preview renderer, in passes: the extent of the view; orthographic z-buffer rasterisation of the
// records at twice the picture's resolution, keeping each sample's depth, colour and facet normal;
// then shading (deferred): each sample's normal averaged with its neighbours' on the same surface
// (edge-aware by depth), so that the marching-cubes facets shade smoothly, Lambert light of the
// record colour, and screen-space ambient occlusion over the z-buffer, so that cavities darken;
// last, the 2 x 2 box filter down to the picture. One thread and a fixed order, so the same file
// always gives the same bytes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "quarnel_mesh/render/rasteriser.h"

#include "common/process_setup.h"
#include "quarnel_mesh/model/record_stream.h"

namespace {

constexpr int kSupersample = 2;
constexpr double kMarginFraction = 0.05;  // of the picture's side, left free on every edge
constexpr double kAmbient = 0.15;
constexpr double kKeyLight = 0.6;
constexpr double kHeadLight = 0.25;       // light from the viewer, so no facing surface is black
constexpr double kPi = 3.14159265358979323846;

// The camera: picture x along `right`, picture y along `up` (the picture's rows run downwards),
// `toward` points from the mesh to the viewer. Point p lands on sample
// (centre + (p.right - midRight) * scale, centre - (p.up - midUp) * scale).
struct View {
    Vec3d right;
    Vec3d up;
    Vec3d toward;
    Vec3d light;  // unit direction towards the key light
    double midRight;
    double midUp;
    double midToward;  // depth is kept relative to this and in samples, so it fits a float
    double scale;
    double centre;
};

View makeView(const RenderOptions& options) {
    // Reduced first: fmod is exact, while a huge angle times pi would overflow to infinity.
    const double azimuth = std::fmod(options.azimuthDegrees, 360.0) * kPi / 180.0;
    const double elevation = options.elevationDegrees * kPi / 180.0;
    const double ca = std::cos(azimuth);
    const double sa = std::sin(azimuth);
    const double ce = std::cos(elevation);
    const double se = std::sin(elevation);
    View view;
    // Azimuth 0, elevation 0 looks down -z with x to the right and y (the polar axis) up.
    view.right = {ca, 0.0, -sa};
    view.up = {-se * sa, ce, -se * ca};
    view.toward = {ce * sa, se, ce * ca};
    // Upper left, in front: the usual studio key light.
    const double lr = -0.45;
    const double lu = 0.65;
    const double lt = 0.6;
    const double length = std::sqrt(lr * lr + lu * lu + lt * lt);
    view.light = {(lr * view.right.x + lu * view.up.x + lt * view.toward.x) / length,
                  (lr * view.right.y + lu * view.up.y + lt * view.toward.y) / length,
                  (lr * view.right.z + lu * view.up.z + lt * view.toward.z) / length};
    view.midRight = 0.0;
    view.midUp = 0.0;
    view.midToward = 0.0;
    view.scale = 1.0;
    view.centre = 0.0;
    return view;
}

// The extent of the drawn vertices across and up the picture: fitting these rather than the
// bounding box's corners keeps the shape as large as the view allows.
struct ScreenExtent {
    int64_t vertexCount = 0;
    double minRight = 0.0;
    double maxRight = 0.0;
    double minUp = 0.0;
    double maxUp = 0.0;
    double minToward = 0.0;
    double maxToward = 0.0;
};

void extendScreenExtent(ScreenExtent& extent, const View& view, const Vec3f& vertex) {
    const Vec3d p = toVec3d(vertex);
    const double r = dot(p, view.right);
    const double u = dot(p, view.up);
    const double t = dot(p, view.toward);
    if (extent.vertexCount == 0) {
        extent.minRight = extent.maxRight = r;
        extent.minUp = extent.maxUp = u;
        extent.minToward = extent.maxToward = t;
    }
    ++extent.vertexCount;
    extent.minRight = std::fmin(extent.minRight, r);
    extent.maxRight = std::fmax(extent.maxRight, r);
    extent.minUp = std::fmin(extent.minUp, u);
    extent.maxUp = std::fmax(extent.maxUp, u);
    extent.minToward = std::fmin(extent.minToward, t);
    extent.maxToward = std::fmax(extent.maxToward, t);
}

void fitView(const ScreenExtent& extent, int samplesPerSide, View& view) {
    view.midRight = 0.5 * (extent.minRight + extent.maxRight);
    view.midUp = 0.5 * (extent.minUp + extent.maxUp);
    view.midToward = 0.5 * (extent.minToward + extent.maxToward);
    const double size = std::fmax(extent.maxRight - extent.minRight, extent.maxUp - extent.minUp);
    const double usable = samplesPerSide * (1.0 - 2.0 * kMarginFraction);
    view.scale = size > 0.0 && std::isfinite(size) ? usable / size : 1.0;
    view.centre = 0.5 * samplesPerSide;
}

// The samples at full resolution: colour, depth (larger is nearer the viewer; -inf where nothing
// was drawn) and the facet normal turned towards the viewer, in the view's (right, up, toward)
// frame, as signed bytes.
struct SampleBuffer {
    int samplesPerSide;
    std::vector<uint8_t> rgb;
    std::vector<float> depth;
    std::vector<int8_t> normal;
};

// Shading: the neighbourhood a normal is averaged over, the depth step (in samples) beyond which
// a neighbour lies on another surface, and the ambient occlusion's samples and strength.
constexpr int kNormalRadius = 2;
constexpr float kSameSurfaceDepth = 3.0f;
constexpr int kOcclusionSamples = 16;
constexpr double kOcclusionStrength = 0.7;

double edge(double ax, double ay, double bx, double by, double px, double py) {
    return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

// Clamped before the conversion: a colour may hold any float, NaN included (taken as 0).
uint8_t shadeByte(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    return static_cast<uint8_t>(std::lround(std::fmin(value, 1.0) * 255.0));
}

// Clamped in double first: a far-off coordinate must not overflow the conversion to int.
int clampToSide(double coordinate, int side) {
    return static_cast<int>(std::fmin(std::fmax(coordinate, 0.0), static_cast<double>(side)));
}

// One triangle can cover the whole picture, so the stop flag is checked on every row of it.
void drawTriangle(const TriangleRecord& record, const View& view, SampleBuffer& samples) {
    const Vec3d world[3] = {toVec3d(record.vertices[0]), toVec3d(record.vertices[1]),
                           toVec3d(record.vertices[2])};
    double sx[3];
    double sy[3];
    double depth[3];
    for (int v = 0; v < 3; ++v) {
        sx[v] = view.centre + (dot(world[v], view.right) - view.midRight) * view.scale;
        sy[v] = view.centre - (dot(world[v], view.up) - view.midUp) * view.scale;
        depth[v] = (dot(world[v], view.toward) - view.midToward) * view.scale;
        if (!std::isfinite(sx[v]) || !std::isfinite(sy[v]) || !std::isfinite(depth[v])) {
            return;
        }
    }
    const double area = edge(sx[0], sy[0], sx[1], sy[1], sx[2], sy[2]);
    Vec3d normal = cross(subtract(world[1], world[0]), subtract(world[2], world[0]));
    const double normalLength = std::sqrt(dot(normal, normal));
    if (area == 0.0 || !(normalLength > 0.0) || !std::isfinite(normalLength)) {
        return;
    }
    normal = {normal.x / normalLength, normal.y / normalLength, normal.z / normalLength};
    // Two-sided: the mesh is open where the box cut it, and its inside shows through there.
    if (dot(normal, view.toward) < 0.0) {
        normal = {-normal.x, -normal.y, -normal.z};
    }
    const int8_t facetNormal[3] = {
        static_cast<int8_t>(std::lround(127.0 * dot(normal, view.right))),
        static_cast<int8_t>(std::lround(127.0 * dot(normal, view.up))),
        static_cast<int8_t>(std::lround(127.0 * dot(normal, view.toward)))};
    const uint8_t rgb[3] = {shadeByte(record.color.x), shadeByte(record.color.y),
                            shadeByte(record.color.z)};

    const int side = samples.samplesPerSide;
    const int lowX = clampToSide(std::floor(std::fmin(sx[0], std::fmin(sx[1], sx[2]))), side);
    const int highX = clampToSide(std::ceil(std::fmax(sx[0], std::fmax(sx[1], sx[2]))), side);
    const int lowY = clampToSide(std::floor(std::fmin(sy[0], std::fmin(sy[1], sy[2]))), side);
    const int highY = clampToSide(std::ceil(std::fmax(sy[0], std::fmax(sy[1], sy[2]))), side);
    const double inverseArea = 1.0 / area;
    for (int y = lowY; y < highY && !stopWasRequested(); ++y) {
        const double py = y + 0.5;
        for (int x = lowX; x < highX; ++x) {
            const double px = x + 0.5;
            // Barycentric weights; dividing by the signed area makes them positive inside for
            // either winding.
            const double w0 = edge(sx[1], sy[1], sx[2], sy[2], px, py) * inverseArea;
            const double w1 = edge(sx[2], sy[2], sx[0], sy[0], px, py) * inverseArea;
            const double w2 = edge(sx[0], sy[0], sx[1], sy[1], px, py) * inverseArea;
            if (w0 < 0.0 || w1 < 0.0 || w2 < 0.0) {
                continue;
            }
            const float z = static_cast<float>(w0 * depth[0] + w1 * depth[1] + w2 * depth[2]);
            const size_t index = static_cast<size_t>(y) * side + x;
            if (z > samples.depth[index]) {
                samples.depth[index] = z;
                std::memcpy(&samples.rgb[3 * index], rgb, 3);
                std::memcpy(&samples.normal[3 * index], facetNormal, 3);
            }
        }
    }
}

// The offsets of the occlusion samples: a spiral out to `radius` samples, fixed, so the picture
// is the same on every run.
void occlusionOffsets(int radius, int offsets[kOcclusionSamples][2]) {
    for (int k = 0; k < kOcclusionSamples; ++k) {
        const double angle = 2.399963229728653 * k;  // the golden angle
        const double distance = radius * std::sqrt((k + 0.5) / kOcclusionSamples);
        offsets[k][0] = static_cast<int>(std::lround(distance * std::cos(angle)));
        offsets[k][1] = static_cast<int>(std::lround(distance * std::sin(angle)));
    }
}

// The shaded colour of one drawn sample (x, y).
void shadeSample(const SampleBuffer& samples, const Vec3d& light, int x, int y,
                 const int offsets[kOcclusionSamples][2], int occlusionRadius, double rgb[3]) {
    const int side = samples.samplesPerSide;
    const size_t index = static_cast<size_t>(y) * side + x;
    const float depth = samples.depth[index];
    // Edge-aware average of the facet normals around: the same surface only, so silhouettes and
    // folds keep their edges.
    double n[3] = {0.0, 0.0, 0.0};
    for (int dy = -kNormalRadius; dy <= kNormalRadius; ++dy) {
        for (int dx = -kNormalRadius; dx <= kNormalRadius; ++dx) {
            const int nx = x + dx;
            const int ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= side || ny >= side) {
                continue;
            }
            const size_t neighbour = static_cast<size_t>(ny) * side + nx;
            if (std::fabs(samples.depth[neighbour] - depth) <= kSameSurfaceDepth) {
                for (int c = 0; c < 3; ++c) {
                    n[c] += samples.normal[3 * neighbour + c];
                }
            }
        }
    }
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const Vec3d normal = length > 0.0 ? Vec3d{n[0] / length, n[1] / length, n[2] / length}
                                      : Vec3d{0.0, 0.0, 1.0};
    const double keyLit = std::fmax(dot(normal, light), 0.0);
    const double facing = std::fmax(normal.z, 0.0);
    // Ambient occlusion: the share of samples around that lie in front of this one, by more than
    // a sample and less than the radius (nearer still is another part in front, not a wall).
    int occluded = 0;
    for (int k = 0; k < kOcclusionSamples; ++k) {
        const int ox = x + offsets[k][0];
        const int oy = y + offsets[k][1];
        if (ox < 0 || oy < 0 || ox >= side || oy >= side) {
            continue;
        }
        const float rise = samples.depth[static_cast<size_t>(oy) * side + ox] - depth;
        if (rise > 1.0f && rise < static_cast<float>(occlusionRadius)) {
            ++occluded;
        }
    }
    const double ambient = 1.0 - kOcclusionStrength * occluded / kOcclusionSamples;
    const double shade = (kAmbient + kHeadLight * facing) * ambient + kKeyLight * keyLit *
                         (0.5 + 0.5 * ambient);
    for (int c = 0; c < 3; ++c) {
        rgb[c] = samples.rgb[3 * index + c] / 255.0 * shade;
    }
}

// Shades every sample and box-filters 2 x 2 of them into each pixel; the stop flag is checked on
// every row.
void shadeAndDownsample(const SampleBuffer& samples, const View& view, RgbImage& image) {
    const int side = samples.samplesPerSide;
    const int occlusionRadius = std::max(4, side / 48);
    int offsets[kOcclusionSamples][2];
    occlusionOffsets(occlusionRadius, offsets);
    // The key light in the view's frame, the frame of the stored normals.
    const Vec3d light = {dot(view.light, view.right), dot(view.light, view.up),
                         dot(view.light, view.toward)};
    for (int y = 0; y < image.height && !stopWasRequested(); ++y) {
        for (int x = 0; x < image.width; ++x) {
            double sum[3] = {0.0, 0.0, 0.0};
            for (int dy = 0; dy < kSupersample; ++dy) {
                for (int dx = 0; dx < kSupersample; ++dx) {
                    const int sx = x * kSupersample + dx;
                    const int sy = y * kSupersample + dy;
                    double rgb[3] = {kBackgroundRgb[0] / 255.0, kBackgroundRgb[1] / 255.0,
                                     kBackgroundRgb[2] / 255.0};
                    if (samples.depth[static_cast<size_t>(sy) * side + sx] >
                        -std::numeric_limits<float>::infinity()) {
                        shadeSample(samples, light, sx, sy, offsets, occlusionRadius, rgb);
                    }
                    for (int c = 0; c < 3; ++c) {
                        sum[c] += rgb[c];
                    }
                }
            }
            for (int c = 0; c < 3; ++c) {
                image.pixels[3 * (static_cast<size_t>(y) * image.width + x) + c] =
                    shadeByte(sum[c] / (kSupersample * kSupersample));
            }
        }
    }
}

// One pass over the records from the start, calling `visit` for each whose vertices are all
// finite; progress counts on from `doneBefore`.
template <typename Visit>
bool forEachRecord(RecordReader& reader, Progress& progress, int64_t doneBefore, std::string& error,
                   Visit visit) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    return forEachRecordChunk(reader, progress, doneBefore, error,
                              [&](const TriangleRecord* records, int64_t count) {
                                  for (int64_t i = 0; i < count; ++i) {
                                      if (hasFiniteVertices(records[i])) {
                                          visit(records[i]);
                                      }
                                  }
                                  if (stopWasRequested()) {
                                      error = "interrupted";
                                      return false;
                                  }
                                  return true;
                              });
}

}  // namespace

bool renderMeshImage(RecordReader& reader, const RenderOptions& options, Progress& progress,
                     RgbImage& image, std::string& error) {
    if (options.sizePixels < kMinRenderSize || options.sizePixels > kMaxRenderSize) {
        error = "the picture size must be " + std::to_string(kMinRenderSize) + " to " +
                std::to_string(kMaxRenderSize) + " pixels";
        return false;
    }
    View view = makeView(options);
    ScreenExtent extent;
    if (!forEachRecord(reader, progress, 0, error, [&](const TriangleRecord& record) {
            for (const Vec3f& vertex : record.vertices) {
                extendScreenExtent(extent, view, vertex);
            }
        })) {
        return false;
    }
    SampleBuffer samples;
    samples.samplesPerSide = options.sizePixels * kSupersample;
    fitView(extent, samples.samplesPerSide, view);
    const size_t sampleCount = static_cast<size_t>(samples.samplesPerSide) * samples.samplesPerSide;
    // Filled a row at a time into reserved memory: touching a large picture's pages for the first
    // time takes seconds, and a stop request must not wait for it.
    const size_t side = static_cast<size_t>(samples.samplesPerSide);
    std::vector<uint8_t> backgroundRow(3 * side);
    for (size_t i = 0; i < side; ++i) {
        std::memcpy(&backgroundRow[3 * i], kBackgroundRgb, 3);
    }
    samples.depth.reserve(sampleCount);
    samples.rgb.reserve(3 * sampleCount);
    samples.normal.reserve(3 * sampleCount);
    for (size_t row = 0; row < side; ++row) {
        if (stopWasRequested()) {
            error = "interrupted";
            return false;
        }
        samples.depth.insert(samples.depth.end(), side, -std::numeric_limits<float>::infinity());
        samples.rgb.insert(samples.rgb.end(), backgroundRow.begin(), backgroundRow.end());
        samples.normal.insert(samples.normal.end(), 3 * side, 0);
    }
    const auto draw = [&](const TriangleRecord& record) { drawTriangle(record, view, samples); };
    if (!forEachRecord(reader, progress, reader.recordCount, error, draw)) {
        return false;
    }
    image.width = options.sizePixels;
    image.height = options.sizePixels;
    image.pixels.assign(3 * static_cast<size_t>(image.width) * image.height, 0);
    shadeAndDownsample(samples, view, image);
    if (stopWasRequested()) {
        error = "interrupted";
        return false;
    }
    return true;
}
