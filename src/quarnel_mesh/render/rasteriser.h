// The preview picture: rasterised and shaded in memory that depends on the picture's size only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/record_reader.h"
#include "quarnel_mesh/util/progress.h"

struct RenderOptions {
    int sizePixels = 800;          // width and height
    double azimuthDegrees = 35.0;  // turn about the y axis (the fractal's polar axis)
    double elevationDegrees = 25.0;
};

constexpr int kMinRenderSize = 16;
constexpr int kMaxRenderSize = 4096;

// Row-major 8-bit RGB, top row first.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// The background colour of every picture.
constexpr uint8_t kBackgroundRgb[3] = {48, 48, 52};

// Draws the triangles of an open file (those with finite vertices) with a z-buffer, orthographic,
// their extent in this view fitted to the picture; reads the file twice. Memory does not grow
// with the file.
bool renderMeshImage(RecordReader& reader, const RenderOptions& options, Progress& progress,
                     RgbImage& image, std::string& error);
