#include <csetjmp>
#include <cstdio>
#include <new>

#include <png.h>

#include "common/process_setup.h"
#include "quarnel_mesh/render/png.h"

namespace {

// libpng reports errors by longjmp; nothing with a destructor may live between the setjmp and a
// libpng call, so the state it touches is plain and owned by the caller.
struct PngSink {
    std::vector<uint8_t>* bytes;
    char message[200];
};

extern "C" void appendPngBytes(png_structp png, png_bytep data, png_size_t length) {
    PngSink* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    bool appended = true;
    try {
        sink->bytes->insert(sink->bytes->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        appended = false;
    }
    // Outside the handler: jumping out of a catch block would leave the exception half handled.
    if (!appended) {
        png_error(png, "out of memory");
    }
}

extern "C" void flushPngBytes(png_structp) {}

extern "C" void recordPngError(png_structp png, png_const_charp message) {
    PngSink* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", message);
    png_longjmp(png, 1);
}

extern "C" void ignorePngWarning(png_structp, png_const_charp) {}

}  // namespace

bool encodePng(const RgbImage& image, std::vector<uint8_t>& png, std::string& error) {
    png.clear();
    PngSink sink = {&png, ""};
    png_structp writer =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, recordPngError, ignorePngWarning);
    if (writer == nullptr) {
        error = "cannot encode the picture: out of memory";
        return false;
    }
    png_infop info = png_create_info_struct(writer);
    if (info == nullptr) {
        png_destroy_write_struct(&writer, nullptr);
        error = "cannot encode the picture: out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(writer)) != 0) {
        png_destroy_write_struct(&writer, &info);
        error = std::string("cannot encode the picture: ") + sink.message;
        return false;
    }
    png_set_write_fn(writer, &sink, appendPngBytes, flushPngBytes);
    png_set_IHDR(writer, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(writer, 9);
    // Row by row rather than png_write_png (the same bytes), so that a stop request is seen
    // between rows: a large picture at the highest compression takes seconds.
    png_write_info(writer, info);
    for (int y = 0; y < image.height; ++y) {
        if (stopWasRequested()) {
            png_destroy_write_struct(&writer, &info);
            error = "interrupted";
            return false;
        }
        png_write_row(writer, image.pixels.data() + 3 * static_cast<size_t>(y) * image.width);
    }
    png_write_end(writer, info);
    png_destroy_write_struct(&writer, &info);
    return true;
}
