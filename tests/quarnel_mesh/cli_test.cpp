// quarnel-mesh's command line: usage and argument errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quarnel_mesh/quarnel_mesh.h"
#include "support/mesh_test_util.h"

TEST(MeshCli, HelpPrintsUsageAndSucceeds) {
    const ProcessResult run = runMesh({"--help"});
    EXPECT_EQ(run.out.rfind("Usage: quarnel-mesh info FILE [--topology]\n", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
    const ProcessResult bare = runMesh({});
    EXPECT_EQ(bare.out, "");
    EXPECT_EQ(bare.err, run.out);
    EXPECT_EQ(bare.exitStatus, 1);
}

TEST(MeshCli, WrongArgumentsPrintTheProblemThenUsage) {
    const std::string usage = runMesh({"--help"}).out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"bogus"}, "unknown command 'bogus'"},
        {{"-x"}, "unknown command '-x'"},
        {{"info"}, "info takes one FILE"},
        {{"info", "a", "b"}, "info takes one FILE"},
        {{"convert", "a"}, "convert takes FILE and OUT"},
        {{"convert", "a", "b.stl", "c"}, "convert takes FILE and OUT"},
        {{"render", "a"}, "render takes FILE and OUT.png"},
        {{"render", "a", "b.png", "c"}, "render takes FILE and OUT.png"},
        {{"render", "a", "b.png", "--size"}, "--size needs a value"},
        {{"render", "a", "b.png", "--zoom", "2"}, "unknown option --zoom"},
        {{"render", "a", "b.png", "--size", "15"},
         "--size must be a whole number of pixels from 16 to 4096, not '15'"},
        {{"render", "a", "b.png", "--size", "4097"},
         "--size must be a whole number of pixels from 16 to 4096, not '4097'"},
        {{"render", "a", "b.png", "--size", "64px"},
         "--size must be a whole number of pixels from 16 to 4096, not '64px'"},
        {{"render", "a", "b.png", "--size", ""},
         "--size must be a whole number of pixels from 16 to 4096, not ''"},
        {{"render", "a", "b.png", "--azimuth", "east"},
         "--azimuth must be a number of degrees, not 'east'"},
        {{"render", "a", "b.png", "--azimuth", "inf"},
         "--azimuth must be a number of degrees, not 'inf'"},
        {{"render", "a", "b.png", "--elevation", "90.5"},
         "--elevation must be a number of degrees from -90 to 90, not '90.5'"},
        {{"render", "a", "b.png", "--elevation", "nan"},
         "--elevation must be a number of degrees from -90 to 90, not 'nan'"},
    };
    for (const auto& [args, message] : cases) {
        const ProcessResult run = runMesh(args);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "quarnel-mesh: " + message + "\n\n" + usage) << args[0];
        EXPECT_EQ(run.exitStatus, 1);
    }
}
