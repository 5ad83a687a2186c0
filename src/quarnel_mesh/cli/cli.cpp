#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <new>

#include "quarnel_mesh/cli/cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/process_setup.h"
#include "quarnel_mesh/commands/convert.h"
#include "quarnel_mesh/commands/info.h"
#include "quarnel_mesh/commands/render.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/util/progress.h"
#include "quarnel_mesh/util/text.h"

namespace {

// Each command's synopsis and description: the usage lists them all, and `COMMAND --help` prints
// its own.
struct CommandHelp {
    const char* name;
    const char* synopsis;
    const char* description;
};

const CommandHelp kCommands[] = {
    {"info", "info FILE [--topology]\n",
     "  info     triangle count, file size, bounding box and record checks; --topology adds\n"
     "           whether the surface is closed, its pieces, Euler characteristic and volume\n"},
    {"convert",
     "convert FILE OUT [--simplify RATIO] [--drop-islands N] [--body]\n"
     "                                     [--z-up] [--size MM] [--normals] [--compress]\n",
     "  convert  writes OUT by its extension: .stl (binary STL), .ply (binary PLY with\n"
     "           shared vertices and colour), .obj (text OBJ with shared vertices),\n"
     "           .glb (binary glTF 2.0 in metres, for the web and Blender) or .3mf (3MF for\n"
     "           slicers: upright, in millimetres, 100 mm across unless --size is given)\n"
     "           --simplify RATIO    keep about RATIO (above 0, at most 1) of the triangles\n"
     "           --drop-islands N    remove the pieces of fewer than N faces\n"
     "           --body              keep only what prints: the largest piece and, when\n"
     "                               it is closed, the voids inside it\n"
     "           --z-up              turn the fractal's axis (y) to z, for printing (not\n"
     "                               for .glb, which is y-up)\n"
     "           --size MM           scale the longest side of the box to MM millimetres\n"
     "           --normals           .glb only: add smooth vertex normals\n"
     "           --compress          .glb only: quantize and compress for the web (needs\n"
     "                               a reader with EXT_meshopt_compression, as three.js has)\n"},
    {"render", "render FILE OUT.png [--size N] [--azimuth DEG] [--elevation DEG]\n",
     "  render   draws a preview picture: --size 16-4096 pixels (default 800), the view\n"
     "           turned --azimuth degrees about the y axis (default 35) and raised\n"
     "           --elevation degrees, -90 to 90 (default 25)\n"},
};

const char kProgramLine[] = "quarnel-mesh ";
const char kUsageIndent[] = "       ";

std::string fullUsage() {
    std::string usage;
    for (const CommandHelp& command : kCommands) {
        usage += std::string(usage.empty() ? "Usage: " : kUsageIndent) + kProgramLine +
                 command.synopsis;
    }
    usage += std::string(kUsageIndent) + kProgramLine + "COMMAND --help\n";
    usage += std::string(kUsageIndent) + kProgramLine + "--help | -h | --version\n";
    usage += "\nInspects, converts and previews the triangle files quarnel writes.\n\n";
    for (const CommandHelp& command : kCommands) {
        usage += command.description;
    }
    return usage;
}

const std::string kUsage = fullUsage();

std::string commandUsage(const CommandHelp& command) {
    return std::string("Usage: ") + kProgramLine + command.synopsis + "\n" +
           command.description;
}

// Prints a requested text: status 0, unless standard output cannot take it.
int printRequested(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// The errors a person can fix by changing the command line: the message, then the usage.
int failUsage(const std::string& message) {
    std::fprintf(stderr, "quarnel-mesh: %s\n\n%s", message.c_str(), kUsage.c_str());
    return 1;
}

// What a stopped command prints: `info` writes no file, so it has none to speak of.
const char kInterruptedText[] = "quarnel-mesh: interrupted; no output written\n";
const char kInterruptedInfoText[] = "quarnel-mesh: interrupted\n";

int failRun(const std::string& message, const char* interruptedText = kInterruptedText) {
    if (stopWasRequested()) {
        // The stop backstop may already be ending the process with the same line.
        if (!claimInterruptedExit()) {
            waitForBackstopExit();
        }
        endProgressLine();
        std::fputs(interruptedText, stderr);
        return 130;
    }
    endProgressLine();
    std::fprintf(stderr, "quarnel-mesh: %s\n", message.c_str());
    return 1;
}

// The whole argument as a finite number, or false.
bool parseNumber(const char* text, double& number) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        return false;
    }
    number = value;
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

// A whole number of faces, 1 or more.
bool parseFaceCount(const char* text, int64_t& faceCount) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 1) {
        return false;
    }
    faceCount = value;
    return true;
}

void printConvertReport(const ConvertReport& report) {
    if (report.islandsChecked) {
        std::printf("islands: %lld of %lld pieces dropped, %lld faces\n",
                    static_cast<long long>(report.islands.droppedPieceCount),
                    static_cast<long long>(report.islands.pieceCount),
                    static_cast<long long>(report.islands.droppedFaceCount));
    }
    if (report.bodyKept && !report.body.bodyClosed) {
        std::printf("body: kept the largest piece (%lld faces), which is not closed, so nothing "
                    "inside it counts as a void; dropped %lld of %lld pieces, %lld faces\n",
                    static_cast<long long>(report.body.bodyFaceCount),
                    static_cast<long long>(report.body.droppedPieceCount),
                    static_cast<long long>(report.body.pieceCount),
                    static_cast<long long>(report.body.droppedFaceCount));
    } else if (report.bodyKept) {
        std::printf("body: kept the largest piece (%lld faces) and %lld %s inside it; dropped "
                    "%lld of %lld pieces, %lld faces\n",
                    static_cast<long long>(report.body.bodyFaceCount),
                    static_cast<long long>(report.body.voidCount),
                    report.body.voidCount == 1 ? "void" : "voids",
                    static_cast<long long>(report.body.droppedPieceCount),
                    static_cast<long long>(report.body.pieceCount),
                    static_cast<long long>(report.body.droppedFaceCount));
    }
    if (report.simplified && std::isfinite(report.simplify.absoluteError)) {
        std::printf("simplified: %lld -> %lld triangles, geometric error %.3g (%.3g%% of the "
                    "extent)\n",
                    static_cast<long long>(report.simplify.triangleCountBefore),
                    static_cast<long long>(report.simplify.triangleCountAfter),
                    report.simplify.absoluteError, 100.0 * report.simplify.relativeError);
    } else if (report.simplified) {
        // Coordinates near float's limit overflow the simplifier's measure of the extent.
        std::printf("simplified: %lld -> %lld triangles, geometric error not measurable at "
                    "these coordinates\n",
                    static_cast<long long>(report.simplify.triangleCountBefore),
                    static_cast<long long>(report.simplify.triangleCountAfter));
    }
    if (report.scale != 1.0) {
        std::printf("scaled: by %.9g%s\n", report.scale, report.scaleNote);
    }
    // A warning, on standard error: the output lacks triangles the input has.
    if (report.nonFiniteDropped > 0) {
        std::fprintf(stderr, "quarnel-mesh: left out %lld %s with a non-finite vertex\n",
                     static_cast<long long>(report.nonFiniteDropped),
                     report.nonFiniteDropped == 1 ? "triangle" : "triangles");
    }
    if (report.degenerateDropped > 0) {
        std::printf("left out: %lld triangles with two equal vertices, which 3MF forbids\n",
                    static_cast<long long>(report.degenerateDropped));
    }
}

int runConvert(int argc, char** argv) {
    ConvertOptions options;
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            paths.push_back(argument);
            continue;
        }
        if (argument == "--z-up") {
            options.zUp = true;
            continue;
        }
        if (argument == "--normals") {
            options.smoothNormals = true;
            continue;
        }
        if (argument == "--compress") {
            options.compress = true;
            continue;
        }
        if (argument == "--body") {
            options.keepBodyOnly = true;
            continue;
        }
        if (argument != "--simplify" && argument != "--size" && argument != "--drop-islands") {
            return failUsage("unknown option " + argument);
        }
        if (i + 1 == argc) {
            return failUsage(argument + " needs a value");
        }
        const char* value = argv[++i];
        double number = 0.0;
        if (argument == "--simplify") {
            if (!parseNumber(value, number) || !(number > 0.0 && number <= 1.0)) {
                return failUsage("--simplify must be a ratio above 0 and at most 1, not '" +
                                 std::string(value) + "'");
            }
            options.simplifyRatio = number;
        } else if (argument == "--size") {
            if (!parseNumber(value, number) || !(number > 0.0)) {
                return failUsage("--size must be a length in millimetres above 0, not '" +
                                 std::string(value) + "'");
            }
            options.sizeMillimetres = number;
        } else if (!parseFaceCount(value, options.dropIslandFaces)) {
            return failUsage("--drop-islands must be a whole number of faces, 1 or more, not '" +
                             std::string(value) + "'");
        }
    }
    if (paths.size() != 2) {
        return failUsage("convert takes FILE and OUT");
    }
    // An unknown format is convertMesh's to refuse, with the input checked first.
    const MeshWriter* writer = meshWriterFor(paths[1]);
    const bool gltf = writer != nullptr && writer->isGltf;
    if (options.smoothNormals && !gltf) {
        return failUsage("--normals needs a .glb output, not " + paths[1]);
    }
    if (options.compress && !gltf) {
        return failUsage("--compress needs a .glb output, not " + paths[1]);
    }
    if (options.zUp && gltf) {
        // Turned, the model would lie on its side in every viewer.
        return failUsage("--z-up does not apply to .glb: glTF is y-up, and so is the fractal");
    }
    ConvertReport report;
    std::string error;
    if (!convertMesh(paths[0], paths[1], options, report, error)) {
        return failRun(error);
    }
    // The file is in place: a report that cannot be printed (a full disk under stdout) does not
    // turn the finished conversion into a failure, as for quarnel.
    printConvertReport(report);
    std::fflush(stdout);
    return 0;
}

int runRender(int argc, char** argv) {
    RenderOptions options;
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
            if (!parseNumber(value, options.azimuthDegrees)) {
                return failUsage("--azimuth must be a number of degrees, not '" +
                                 std::string(value) + "'");
            }
        } else if (!parseNumber(value, options.elevationDegrees) ||
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
        return failRun(error);
    }
    return 0;
}

}  // namespace

namespace {

int runCommand(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage.c_str(), stderr);
        return 1;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        return printRequested(kUsage);
    }
    if (command == "--version") {
        return printRequested(std::string(kProgramLine) + kMeshToolVersion + "\n");
    }
    // A help option anywhere after a command asks for that command's help, whatever else the
    // line holds.
    for (const CommandHelp& help : kCommands) {
        if (command != help.name) {
            continue;
        }
        for (int i = 2; i < argc; ++i) {
            if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
                return printRequested(commandUsage(help));
            }
        }
    }
    std::string error;
    if (command == "info") {
        std::vector<std::string> paths;
        bool topology = false;
        for (int i = 2; i < argc; ++i) {
            const std::string argument = argv[i];
            if (argument == "--topology") {
                topology = true;
            } else if (argument.size() >= 2 && argument.compare(0, 2, "--") == 0) {
                return failUsage("unknown option " + argument);
            } else {
                paths.push_back(argument);
            }
        }
        if (paths.size() != 1) {
            return failUsage("info takes one FILE");
        }
        if (!printMeshInfo(paths[0], topology, stdout, error)) {
            return failRun(error, kInterruptedInfoText);
        }
        return 0;
    }
    if (command == "convert") {
        return runConvert(argc, argv);
    }
    if (command == "render") {
        return runRender(argc, argv);
    }
    return failUsage("unknown command '" + command + "'");
}

// An exception thrown where it cannot be caught (lib3mf throws from destructors when zlib runs out
// of memory) still ends the command with one line, status 1 and no file.
[[noreturn]] void endOnUncaughtException() {
    std::string what = "an unexpected failure";
    try {
        if (std::exception_ptr current = std::current_exception()) {
            std::rethrow_exception(current);
        }
    } catch (const std::bad_alloc&) {
        what = "ran out of memory";
    } catch (const std::exception& failure) {
        what = std::string("failed: ") + failure.what() + " (short of memory?)";
    } catch (...) {
    }
    endProgressLine();
    std::fprintf(stderr, "quarnel-mesh: %s; no output written\n", what.c_str());
    endProcessNow(1);
}

}  // namespace

int runMeshTool(int argc, char** argv) {
    // Commands stop between chunks; inside a library call that cannot be interrupted (the
    // simplifier, the vertex-cache order, lib3mf) the backstop ends the process instead.
    const bool info = argc >= 2 && std::string(argv[1]) == "info";
    startStopBackstop(2, info ? kInterruptedInfoText : kInterruptedText, 100);
    std::set_terminate(endOnUncaughtException);
    // Whatever escapes a command (memory exhausted inside a library, lib3mf's own exceptions)
    // ends it here with one line; the unnamed output, never committed, vanishes with the process.
    try {
        return runCommand(argc, argv);
    } catch (const std::bad_alloc&) {
        return failRun(info ? "ran out of memory" : "ran out of memory; no output written");
    } catch (const std::exception& failure) {
        return failRun(std::string("failed: ") + failure.what() +
                       (info ? "" : "; no output written (short of memory?)"));
    } catch (...) {
        return failRun(info ? "failed unexpectedly" : "failed unexpectedly; no output written");
    }
}
