// quarnel-mesh's command line: usage and argument errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quarnel_mesh/commands/convert.h"
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

TEST(MeshCli, VersionAndEachCommandsHelpGoToStandardOutput) {
    const std::string usage = runMesh({"--help"}).out;
    EXPECT_EQ(runMesh({"-h"}).out, usage);
    const ProcessResult version = runMesh({"--version"});
    EXPECT_EQ(version.out, "quarnel-mesh 1.0\n");
    EXPECT_EQ(version.exitStatus, 0);
    // Each command's help is its line of the usage and its paragraph, whatever surrounds --help.
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"info", "--help"}, {"info FILE [--topology]", "--topology"}},
        {{"convert", "a", "--zup", "-h"},
         {"convert FILE OUT", "--simplify RATIO", "--drop-islands N", "--body", "--z-up",
          "--size MM", "--normals", "--compress"}},
        {{"render", "--size", "1", "--help"},
         {"render FILE OUT.png", "--size", "--azimuth", "--elevation"}},
    };
    for (const auto& [args, mentions] : cases) {
        const ProcessResult run = runMesh(args);
        EXPECT_EQ(run.out.rfind("Usage: quarnel-mesh " + args[0] + " ", 0), 0u) << run.out;
        const std::string paragraph = run.out.substr(run.out.find("\n\n") + 2);
        EXPECT_NE(usage.find(paragraph), std::string::npos) << paragraph;
        for (const std::string& mention : mentions) {
            EXPECT_NE(run.out.find(mention), std::string::npos) << mention;
        }
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 0);
    }
}

TEST(MeshCli, WrongArgumentsPrintTheProblemThenUsage) {
    const std::string usage = runMesh({"--help"}).out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"bogus"}, "unknown command 'bogus'"},
        {{"-x"}, "unknown command '-x'"},
        {{"info"}, "info takes one FILE"},
        {{"info", "a", "b"}, "info takes one FILE"},
        {{"info", "a", "--volume"}, "unknown option --volume"},
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

TEST(MeshCli, BadConvertOptionsSayWhyAndWriteNothing) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const std::string usage = runMesh({"--help"}).out;
    const std::string glb = dir.file("out.glb");
    const std::string stl = dir.file("out.stl");
    struct Case {
        std::vector<std::string> options;
        std::string output;
        std::string message;
    };
    const std::string ratio = "--simplify must be a ratio above 0 and at most 1, not ";
    const std::string size = "--size must be a length in millimetres above 0, not ";
    const std::string islands = "--drop-islands must be a whole number of faces, 1 or more, not ";
    const std::vector<Case> cases = {
        {{"--simplify", "0"}, glb, ratio + "'0'"},
        {{"--simplify", "-0.5"}, glb, ratio + "'-0.5'"},
        {{"--simplify", "1.01"}, glb, ratio + "'1.01'"},
        {{"--simplify", "nan"}, glb, ratio + "'nan'"},
        {{"--simplify", "10%"}, glb, ratio + "'10%'"},
        {{"--simplify"}, glb, "--simplify needs a value"},
        {{"--size", "0"}, stl, size + "'0'"},
        {{"--size", "-5"}, stl, size + "'-5'"},
        {{"--size", "inf"}, stl, size + "'inf'"},
        {{"--drop-islands", "ten"}, stl, islands + "'ten'"},
        {{"--drop-islands", "0"}, stl, islands + "'0'"},
        {{"--drop-islands", "2.5"}, stl, islands + "'2.5'"},
        {{"--normals"}, stl, "--normals needs a .glb output, not " + stl},
        {{"--compress"}, stl, "--compress needs a .glb output, not " + stl},
        {{"--zup"}, stl, "unknown option --zup"},
        {{"--z-up"}, glb, "--z-up does not apply to .glb: glTF is y-up, and so is the fractal"},
    };
    const std::vector<std::string> before = listDir(dir.path);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"convert", input, c.output};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ProcessResult run = runMesh(args);
        EXPECT_EQ(run.err, "quarnel-mesh: " + c.message + "\n\n" + usage) << c.options[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(listDir(dir.path), before) << c.options[0];
    }
    // A format it cannot tell is a failure of the run, not of the command line.
    const ProcessResult unknown =
        runMesh({"convert", input, dir.file("out.gltf"), "--simplify", "0.5"});
    EXPECT_EQ(unknown.err, "quarnel-mesh: cannot tell the format of " + dir.file("out.gltf") +
                               ": name it .stl, .ply, .obj, .glb or .3mf\n");
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(listDir(dir.path), before);
}
