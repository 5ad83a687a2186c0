// PNG encoding of the preview, through libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quarnel_mesh/render/rasteriser.h"

// Encodes `image` as an 8-bit RGB PNG into `png` (replacing its contents). Stops, false with
// `error` "interrupted", soon after a stop is requested (stopWasRequested).
bool encodePng(const RgbImage& image, std::vector<uint8_t>& png, std::string& error);
