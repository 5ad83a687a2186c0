// Command-line front end of quarnel: banner, usage, preset table, argument check, the run header
// and every line the run prints, and the exit status.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/types.h"

struct ResolutionPreset {
    int32_t resolution;      // 64 x blocks along the longest side of the box
    float millionTriangles;  // expected mesh size; shown and used in the file name only
};

constexpr int kPresetCount = 12;
extern const ResolutionPreset kResolutionPresets[kPresetCount];

// The region every run meshes, and the level of its surface.
constexpr Box3d kRunBox = {{-1.2, -1.2, -1.2}, {1.2, 1.2, 1.2}};
constexpr double kRunIsoLevel = 0.5;

// What an interrupted run prints last, after its progress line.
extern const char kInterruptedText[];

// Prints the usage text and the preset list to standard output.
void printUsage();

// The preset index named by `argument`: base-10 strtol with leading blanks and a sign accepted
// and trailing characters ignored, valid when at least one digit was read, no range error was
// reported and the value is 0..11. Returns -1 for anything else.
int parsePresetIndex(const char* argument);

// CPUs this process may run on (its affinity mask), at least 1.
int availableCpuCount();

// The whole program: returns the exit status (0 done, 1 usage or failure, 130 interrupted).
// `stopRequested`, when given, interrupts the run after the blocks in progress; blocks are meshed
// on `threadCount` threads.
int runQuarnel(int argc, char** argv, const std::atomic<bool>* stopRequested, int threadCount);
