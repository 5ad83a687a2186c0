#include "app/front_end.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include <sched.h>

#include "fractal/field.h"
#include "output/tessellate.h"

const ResolutionPreset kResolutionPresets[kPresetCount] = {
    {64, 0.04f},    {192, 0.51f},   {256, 0.97f},    {320, 1.59f},
    {448, 3.31f},   {576, 5.71f},   {768, 10.61f},   {1088, 22.28f},
    {1536, 46.12f}, {2112, 89.79f}, {2944, 179.11f}, {4096, 354.26f},
};

namespace {

const char kFormatLine[] = "Output file format: array of struct {Vec3f vertices[3]; Vec3f color;}\n";

}  // namespace

void printUsage() {
    std::printf("Usage: Quarnel <resolution>\n\n");
    std::printf("Resolution:\n");
    for (int i = 0; i < kPresetCount; ++i) {
        std::printf("  %2d: %6.2fM triangles\n", i,
                    static_cast<double>(kResolutionPresets[i].millionTriangles));
    }
    std::printf("\n");
    std::printf("%s", kFormatLine);
}

int parsePresetIndex(const char* argument) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(argument, &end, 10);
    // Compared as a long, not as an unsigned 32-bit number: on LP64 the latter would wrap
    // 4294967296 to 0 and -4294967295 to 1.
    if (end == argument || errno == ERANGE || value < 0 || value >= kPresetCount) {
        return -1;
    }
    return static_cast<int>(value);
}

int availableCpuCount() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) {
        return 1;
    }
    const int count = CPU_COUNT(&cpus);
    return count > 0 ? count : 1;
}

int runQuarnel(int argc, char** argv, const std::atomic<bool>* stopRequested, int threadCount,
               SamplingPath sampling) {
    std::printf("Quarnel 1.0\n");
    std::printf("Power-8 triplex fractal to triangle mesh, by marching cubes\n");
    std::printf("\n");
    if (argc != 2) {
        printUsage();
        return 1;
    }
    const int index = parsePresetIndex(argv[1]);
    if (index < 0) {
        std::printf("Error: invalid resolution!\n\n");
        printUsage();
        return 1;
    }
    const ResolutionPreset& preset = kResolutionPresets[index];
    const double millions = static_cast<double>(preset.millionTriangles);
    std::printf("Resolution %d: %.2fM triangles\n", index, millions);
    char nameBuffer[260];
    std::snprintf(nameBuffer, sizeof nameBuffer, "quarnel_%.2fm.v3c1", millions);
    const std::string fileName = nameBuffer;
    std::printf("Output file: %s\n", fileName.c_str());
    std::printf("%s", kFormatLine);
    std::printf("\n");

    const FieldParams params = kDefaultFieldParams;
    const double isoLevel = 0.5;
    const Box3d box = {{-1.2, -1.2, -1.2}, {1.2, 1.2, 1.2}};
    TessellationOptions options;
    options.stopRequested = stopRequested;
    options.threadCount = threadCount;
    options.sampling = sampling;
    try {
        const TessellationResult result =
            tessellate(params, preset.resolution, isoLevel, fileName, box, options);
        switch (result.status) {
            case TessellationStatus::kDone:
                return 0;
            case TessellationStatus::kInterrupted:
                return 130;
            case TessellationStatus::kOpenFailed:
            case TessellationStatus::kWriteFailed:
                return 1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        std::printf("Error: out of memory!\n");
    } catch (const std::exception& error) {
        std::printf("Error: %s\n", error.what());
    }
    return 1;
}
