// `quarnel-mesh info`.
#pragma once

#include <cstdio>
#include <string>

// `quarnel-mesh info`: prints the summary of `path` to `out`, and with `topology` the closedness,
// pieces, Euler characteristic and volume as well (see computeTopology).
bool printMeshInfo(const std::string& path, bool topology, std::FILE* out, std::string& error);
