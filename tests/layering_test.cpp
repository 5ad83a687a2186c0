// The folders under src/ are the stages of the flow, and a stage may use only those below it.
// This table is the one place the rule is written; the README's architecture section shows it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// For each stage, a folder under src/, what its files may include: whole stages, or single
// headers of a stage.
const std::map<std::string, std::set<std::string>> kAllowedIncludes = {
    {"common", {"common"}},
    {"fractal", {"fractal", "common"}},
    {"io", {"io", "common"}},
    {"mesh", {"mesh", "fractal", "common", "io/triangle_record.h"}},
    {"pipeline", {"pipeline", "mesh", "fractal", "io", "common"}},
    {"app", {"app", "pipeline", "fractal", "common"}},
    // The companion: util -> model -> edit -> formats, render -> commands -> cli.
    {"quarnel_mesh/util", {"quarnel_mesh/util", "io", "common"}},
    {"quarnel_mesh/model", {"quarnel_mesh/model", "quarnel_mesh/util", "io", "common"}},
    {"quarnel_mesh/edit",
     {"quarnel_mesh/edit", "quarnel_mesh/model", "quarnel_mesh/util", "io", "common"}},
    {"quarnel_mesh/formats",
     {"quarnel_mesh/formats", "quarnel_mesh/edit", "quarnel_mesh/model", "quarnel_mesh/util",
      "io", "common"}},
    {"quarnel_mesh/render", {"quarnel_mesh/render", "quarnel_mesh/model", "quarnel_mesh/util",
                             "io", "common"}},
    {"quarnel_mesh/commands",
     {"quarnel_mesh/commands", "quarnel_mesh/formats", "quarnel_mesh/render", "quarnel_mesh/edit",
      "quarnel_mesh/model", "quarnel_mesh/util", "io", "common"}},
    {"quarnel_mesh/cli",
     {"quarnel_mesh/cli", "quarnel_mesh/commands", "quarnel_mesh/formats", "quarnel_mesh/render",
      "quarnel_mesh/util", "common"}},
};

// Every `#include "stage/file"` in the source tree that its stage's row does not allow. A file's
// stage is its folder under src/; an include's is the path before its file name.
std::vector<std::string> forbiddenIncludes(const std::filesystem::path& sourceRoot) {
    std::vector<std::string> problems;
    const std::regex include("^\\s*#\\s*include\\s*\"(([^\"]+)/[^/\"]+)\"");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sourceRoot)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const std::string stage =
            std::filesystem::relative(entry.path().parent_path(), sourceRoot).generic_string();
        const auto rule = kAllowedIncludes.find(stage);
        if (rule == kAllowedIncludes.end()) {
            problems.push_back(entry.path().string() + ": folder " + stage + " has no rule");
            continue;
        }
        std::ifstream file(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(file, line)) {
            if (!std::regex_search(line, match, include)) {
                continue;
            }
            const std::string target = match[1].str();
            if (rule->second.count(match[2].str()) == 0 && rule->second.count(target) == 0) {
                problems.push_back(entry.path().string() + " includes " + target);
            }
        }
    }
    return problems;
}

}  // namespace

TEST(Layering, EveryFolderIncludesOnlyWhatItsStageMayUse) {
    const std::vector<std::string> problems =
        forbiddenIncludes(std::filesystem::path(QUARNEL_SOURCE_DIR) / "src");
    for (const std::string& problem : problems) {
        ADD_FAILURE() << problem;
    }
}
