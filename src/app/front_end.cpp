#include "app/front_end.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include <sched.h>

#include "common/process_setup.h"
#include "fractal/field.h"
#include "pipeline/tessellate.h"

const char kInterruptedText[] = "\nInterrupted.\n";

const ResolutionPreset kResolutionPresets[kPresetCount] = {
    {64, 0.04f},    {192, 0.51f},   {256, 0.97f},    {320, 1.59f},
    {448, 3.31f},   {576, 5.71f},   {768, 10.61f},   {1088, 22.28f},
    {1536, 46.12f}, {2112, 89.79f}, {2944, 179.11f}, {4096, 354.26f},
};

namespace {

const char kFormatLine[] = "Output file format: array of struct {Vec3f vertices[3]; Vec3f color;}\n";

// The progress line: it starts with a carriage return and has no newline, so each one overwrites
// the last on a terminal.
void printProgress(const TessellationProgress& progress) {
    const double percent = progress.finished ? 100.0
                                             : static_cast<double>(progress.blocksDone) * 100.0 /
                                                   static_cast<double>(progress.totalBlocks);
    std::printf("\rTessellating: %.2f%%, %.2fM triangles, %.2f MB", percent,
                static_cast<double>(progress.triangles) / 1000000.0,
                48.0 * static_cast<double>(progress.triangles) * 0x1p-20);
    // A terminal is line-buffered here; the line has no newline, so push it out now.
    std::fflush(stdout);
}

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

int runQuarnel(int argc, char** argv, const std::atomic<bool>* stopRequested, int threadCount) {
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

    // Every message after a progress line starts on a line of its own.
    bool progressLineOpen = false;
    TessellationOptions options;
    options.stopRequested = stopRequested;
    options.threadCount = threadCount;
    options.onProgress = [&](const TessellationProgress& progress) {
        printProgress(progress);
        progressLineOpen = true;
    };
    try {
        const TessellationResult result = tessellate(kDefaultFieldParams, preset.resolution,
                                                     kRunIsoLevel, fileName, kRunBox, options);
        switch (result.status) {
            case TessellationStatus::kDone:
                std::printf("\nDone: %lld triangles, %.0f seconds\n",
                            static_cast<long long>(result.triangles), result.elapsedSeconds);
                return 0;
            case TessellationStatus::kInterrupted:
                // The stop backstop may already be ending the process with this same line.
                if (!claimInterruptedExit()) {
                    waitForBackstopExit();
                }
                std::printf("%s", kInterruptedText);
                return 130;
            case TessellationStatus::kOpenFailed:
                std::printf("Error: could not open file! %s\n", std::strerror(result.errorNumber));
                return 1;
            case TessellationStatus::kCannotReplace:
                std::printf("Error: could not replace file! %s\n", result.problem);
                return 1;
            case TessellationStatus::kWriteFailed:
                std::printf("%sError: could not write file! %s\n", progressLineOpen ? "\n" : "",
                            std::strerror(result.errorNumber));
                return 1;
            case TessellationStatus::kRenameFailed:
                std::printf("%sError: could not give the file its name! %s\n",
                            progressLineOpen ? "\n" : "", std::strerror(result.errorNumber));
                return 1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        std::printf("%sError: out of memory!\n", progressLineOpen ? "\n" : "");
    } catch (const std::exception& error) {
        std::printf("%sError: %s\n", progressLineOpen ? "\n" : "", error.what());
    } catch (...) {
        std::printf("%sError: an unexpected failure; no file written\n",
                    progressLineOpen ? "\n" : "");
    }
    return 1;
}
