// The outputs of the commands: opened through the atomic output, refused where they would
// replace the input, committed with a one-line reason on failure.
#pragma once

#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"

// Opens the output for the records of `input`, with `error` set to the one-line reason on
// failure. Refuses an output that is the input file itself (same device and inode, so through a
// link too, or the same file through a FUSE alias): replacing it would destroy the input.
bool createOutput(const RecordReader& input, const std::string& path, AtomicOutput& output,
                  std::string& error);
// Commits it, with `error` set to the one-line reason on failure.
bool commitOutput(AtomicOutput& output, std::string& error);
