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

// For each folder, what its files may include: whole folders, or single headers of a folder.
const std::map<std::string, std::set<std::string>> kAllowedIncludes = {
    {"common", {"common"}},
    {"fractal", {"fractal", "common"}},
    {"io", {"io", "common"}},
    {"mesh", {"mesh", "fractal", "common", "io/triangle_record.h"}},
    {"pipeline", {"pipeline", "mesh", "fractal", "io", "common"}},
    {"app", {"app", "pipeline", "fractal", "common"}},
    {"quarnel_mesh", {"quarnel_mesh", "io", "common"}},
};

// Every `#include "folder/file"` in the source tree that its folder's row does not allow.
std::vector<std::string> forbiddenIncludes(const std::filesystem::path& sourceRoot) {
    std::vector<std::string> problems;
    const std::regex include("^\\s*#\\s*include\\s*\"([^/\"]+)/([^\"]+)\"");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sourceRoot)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const std::string folder = entry.path().parent_path().filename().string();
        const auto rule = kAllowedIncludes.find(folder);
        if (rule == kAllowedIncludes.end()) {
            problems.push_back(entry.path().string() + ": folder " + folder + " has no rule");
            continue;
        }
        std::ifstream file(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(file, line)) {
            if (!std::regex_search(line, match, include)) {
                continue;
            }
            const std::string target = match[1].str() + "/" + match[2].str();
            if (rule->second.count(match[1].str()) == 0 && rule->second.count(target) == 0) {
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
