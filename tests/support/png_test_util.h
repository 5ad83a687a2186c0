// Test helper: a PNG decoded to 8-bit RGB, for tests that check what a picture shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <png.h>

struct DecodedPng {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // row by row, three bytes a pixel
};

// The picture in `bytes`, or one of width and height 0 when they are not a PNG.
inline DecodedPng decodePng(const std::string& bytes) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    DecodedPng decoded;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        return decoded;
    }
    image.format = PNG_FORMAT_RGB;
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr)) {
        return decoded;
    }
    decoded.width = static_cast<int>(image.width);
    decoded.height = static_cast<int>(image.height);
    return decoded;
}
