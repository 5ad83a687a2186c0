// quarnel-mesh's .glb where web users open it: three.js's GLTFLoader in headless Chromium (its
// software WebGL, no GPU needed), driven by support/browser_glb.js. Skipped where Chromium or
// three.js is missing; make test installs both.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/mesh_test_util.h"
#include "support/png_test_util.h"

namespace {

const char kChromium[] = "/usr/bin/chromium";

// The share of the pixels of the box [x0, x1) x [y0, y1), in fractions of the picture's sides,
// that have the hue of the records' colour, sRGB (1.0, 0.8, 0.4): 40 degrees. Lighting scales
// the colour and a highlight whitens it, neither moves its hue far; dark and grey pixels do not
// count.
double recordHueShare(const DecodedPng& png, double x0, double x1, double y0, double y1) {
    size_t inBox = 0;
    size_t matching = 0;
    for (int y = static_cast<int>(y0 * png.height); y < static_cast<int>(y1 * png.height); ++y) {
        for (int x = static_cast<int>(x0 * png.width); x < static_cast<int>(x1 * png.width); ++x) {
            const uint8_t* rgb = &png.rgb[3 * (static_cast<size_t>(y) * png.width + x)];
            const int hi = std::max({rgb[0], rgb[1], rgb[2]});
            const int lo = std::min({rgb[0], rgb[1], rgb[2]});
            ++inBox;
            // Red is the largest component at this hue: hue = 60 (g - b) / (hi - lo) degrees.
            if (hi == rgb[0] && hi >= 50 && hi - lo >= 0.4 * hi) {
                const double hue = 60.0 * (rgb[1] - rgb[2]) / (hi - lo);
                matching += hue >= 30.0 && hue <= 50.0 ? 1 : 0;
            }
        }
    }
    return inBox == 0 ? 0.0 : static_cast<double>(matching) / static_cast<double>(inBox);
}

}  // namespace

TEST(MeshBrowser, GlbLoadsInThreeJsWithItsTriangleCountAndShowsTheObject) {
    const std::string three = std::string(QUARNEL_THREE_JS) + "/package.json";
    if (access(kChromium, X_OK) != 0) {
        GTEST_SKIP() << "chromium is not installed (make test installs it)";
    }
    if (access("/usr/bin/node", X_OK) != 0 || access(three.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "three.js is not installed (make test installs it with npm into "
                        "build/tools)";
    }
    TempDir dir;
    for (const std::string preset : {"0", "1"}) {
        ASSERT_EQ(runProcess(QUARNEL_EXE, {preset}, dir.path).exitStatus, 0);
    }
    // quarnel_0.04m.v3c1 and quarnel_0.51m.v3c1: 43388 and 512512 records.
    for (const std::string& name : listDir(dir.path)) {
        const std::string input = dir.file(name);
        const size_t triangleCount = readFile(input).size() / 48;
        for (const std::vector<std::string>& options :
             std::vector<std::vector<std::string>>{{}, {"--normals"}, {"--normals", "--compress"}}) {
            std::string label = name;
            for (const std::string& option : options) {
                label += " " + option;
            }
            std::vector<std::string> args = {"convert", input, dir.file("web.glb")};
            args.insert(args.end(), options.begin(), options.end());
            ASSERT_EQ(runMesh(args).exitStatus, 0) << label;
            const ProcessResult page = runProcess(
                "/usr/bin/node", {QUARNEL_BROWSER_GLB_SCRIPT, kChromium, QUARNEL_THREE_JS,
                                  dir.file("web.glb"), dir.file("shot.png")});
            ASSERT_EQ(page.exitStatus, 0) << label << ": " << page.out << page.err;
            EXPECT_EQ(page.out, "triangles " + std::to_string(triangleCount) + "\n") << label;
            // The page frames the object by its bounds: it fills the middle, the top rows are the
            // page's black.
            const DecodedPng shot = decodePng(readFile(dir.file("shot.png")));
            ASSERT_EQ(shot.width, 512) << label;
            ASSERT_EQ(shot.height, 512) << label;
            EXPECT_GE(recordHueShare(shot, 0.25, 0.75, 0.25, 0.75), 0.5) << label;
            EXPECT_EQ(recordHueShare(shot, 0.0, 1.0, 0.0, 0.05), 0.0) << label;
        }
    }
}
