// PNG encoding of the preview, through libpng.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "quarnel_mesh/render/rasteriser.h"

// Encodes `image` as an 8-bit RGB PNG into `png` (replacing its contents). Stops, false with
// `error` "interrupted", soon after `stopRequested` (may be null) is raised.
bool encodePng(const RgbImage& image, const std::atomic<bool>* stopRequested,
               std::vector<uint8_t>& png, std::string& error);
