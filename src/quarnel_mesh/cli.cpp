#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "quarnel_mesh/quarnel_mesh.h"

namespace {

const char kUsage[] =
    "Usage: quarnel-mesh info FILE\n"
    "       quarnel-mesh convert FILE OUT\n"
    "       quarnel-mesh render FILE OUT.png [--size N] [--azimuth DEG] [--elevation DEG]\n"
    "       quarnel-mesh --help\n"
    "\n"
    "Inspects, converts and previews the triangle files quarnel writes.\n"
    "\n"
    "  info     triangle count, file size, bounding box and record checks\n"
    "  convert  writes OUT by its extension: .stl (binary STL), .ply (binary PLY with\n"
    "           shared vertices and colour) or .obj (text OBJ with shared vertices)\n"
    "  render   draws a preview picture: --size 16-4096 pixels (default 800), the view\n"
    "           turned --azimuth degrees about the y axis (default 35) and raised\n"
    "           --elevation degrees, -90 to 90 (default 25)\n";

// The errors a person can fix by changing the command line: the message, then the usage.
int failUsage(const std::string& message) {
    std::fprintf(stderr, "quarnel-mesh: %s\n\n%s", message.c_str(), kUsage);
    return 1;
}

int failRun(const std::string& message, const std::atomic<bool>* stopRequested) {
    if (stopRequested != nullptr && stopRequested->load()) {
        std::fprintf(stderr, "quarnel-mesh: interrupted; no output written\n");
        return 130;
    }
    std::fprintf(stderr, "quarnel-mesh: %s\n", message.c_str());
    return 1;
}

// The whole argument as a finite number, or false.
bool parseDegrees(const char* text, double& degrees) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        return false;
    }
    degrees = value;
    return true;
}

bool parseSize(const char* text, int& sizePixels) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < kMinRenderSize ||
        value > kMaxRenderSize) {
        return false;
    }
    sizePixels = static_cast<int>(value);
    return true;
}

int runRender(int argc, char** argv, const std::atomic<bool>* stopRequested) {
    RenderOptions options;
    options.stopRequested = stopRequested;
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            paths.push_back(argument);
            continue;
        }
        if (argument != "--size" && argument != "--azimuth" && argument != "--elevation") {
            return failUsage("unknown option " + argument);
        }
        if (i + 1 == argc) {
            return failUsage(argument + " needs a value");
        }
        const char* value = argv[++i];
        if (argument == "--size") {
            if (!parseSize(value, options.sizePixels)) {
                return failUsage("--size must be a whole number of pixels from 16 to 4096, not '" +
                                 std::string(value) + "'");
            }
        } else if (argument == "--azimuth") {
            if (!parseDegrees(value, options.azimuthDegrees)) {
                return failUsage("--azimuth must be a number of degrees, not '" +
                                 std::string(value) + "'");
            }
        } else if (!parseDegrees(value, options.elevationDegrees) ||
                   std::fabs(options.elevationDegrees) > 90.0) {
            return failUsage("--elevation must be a number of degrees from -90 to 90, not '" +
                             std::string(value) + "'");
        }
    }
    if (paths.size() != 2) {
        return failUsage("render takes FILE and OUT.png");
    }
    std::string error;
    if (!renderMesh(paths[0], paths[1], options, error)) {
        return failRun(error, stopRequested);
    }
    return 0;
}

}  // namespace

int runMeshTool(int argc, char** argv, const std::atomic<bool>* stopRequested) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::string error;
    if (command == "info") {
        if (argc != 3) {
            return failUsage("info takes one FILE");
        }
        if (!printMeshInfo(argv[2], stdout, stopRequested, error)) {
            return failRun(error, stopRequested);
        }
        return 0;
    }
    if (command == "convert") {
        if (argc != 4) {
            return failUsage("convert takes FILE and OUT");
        }
        ConvertOptions options;
        options.stopRequested = stopRequested;
        if (!convertMesh(argv[2], argv[3], options, error)) {
            return failRun(error, stopRequested);
        }
        return 0;
    }
    if (command == "render") {
        return runRender(argc, argv, stopRequested);
    }
    return failUsage("unknown command '" + command + "'");
}
