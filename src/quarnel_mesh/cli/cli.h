// quarnel-mesh: inspects, converts and previews the triangle files the main tool writes. The
// command line: options, usage and dispatch to the commands, and every line the commands report.
#pragma once

// The whole program: returns the exit status (0 done, 1 usage or failure, 130 interrupted).
int runMeshTool(int argc, char** argv);
