// The output formats, told by the name's extension.
#pragma once

#include <string>

enum class MeshFormat { kUnknown, kStl, kPly, kObj, kGlb, kThreeMf };

// The format named by the extension of `path`, in any letter case.
MeshFormat formatFromPath(const std::string& path);
