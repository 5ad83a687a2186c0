#include "quarnel_mesh/commands/render.h"

#include <vector>

#include "quarnel_mesh/render/png.h"
#include "quarnel_mesh/util/output_file.h"
#include "quarnel_mesh/util/text.h"

bool renderMesh(const std::string& inputPath, const std::string& outputPath,
                const RenderOptions& options, std::string& error) {
    if (!hasExtension(outputPath, ".png")) {
        error = "the picture is written as PNG: name it .png, not " + outputPath;
        return false;
    }
    RecordReader reader;
    if (!openRecordFile(inputPath, reader, error)) {
        return false;
    }
    // Created before the work so that a missing folder fails at once.
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    Progress progress =
        startProgress("rendering " + inputPath, 2 * reader.recordCount, reader.fileBytes);
    RgbImage image;
    const bool rendered = renderMeshImage(reader, options, progress, image, error);
    finishProgress(progress);
    if (!rendered) {
        return false;
    }
    std::vector<uint8_t> png;
    if (!encodePng(image, png, error)) {
        return false;
    }
    writeAtomicOutput(output, png.data(), png.size());
    return commitOutput(output, error);
}
