// Text for messages and files: names, numbers, JSON strings.
#pragma once

#include <cstdint>
#include <string>

// The tool's version, as outputs name their writer ("quarnel-mesh 1.0").
constexpr char kMeshToolVersion[] = "1.0";

// True when `path` ends with `extension` (".png"), in any letter case.
bool hasExtension(const std::string& path, const char* extension);

// What follows the last slash of `path` (all of it when there is none).
std::string fileNameOf(const std::string& path);

// `text` with every byte that is not part of a well-formed UTF-8 sequence, and every
// noncharacter (U+FDD0..U+FDEF, and U+FFFE and U+FFFF in every plane), replaced by U+FFFD.
std::string portableUtf8(const std::string& text);

// `text` as a JSON string, quotes included: quote, backslash and control characters (C0, DEL and
// C1) escaped, the rest as portableUtf8 makes it, so that any file name gives valid JSON.
std::string jsonString(const std::string& text);

// `text` as XML character data: control characters (C0, DEL and C1), which XML forbids or
// discourages even escaped, become '?', &, < and > their entities, the rest as portableUtf8
// makes it, so that any file name gives characters XML 1.0 allows.
std::string xmlText(const std::string& text);

// The shortest decimal text that reads back as exactly `value` ("0.1", "-2", "1e-07", "nan").
std::string formatShortestFloat(float value);

// "1.5 GiB", "312 MiB": a byte count for messages, one decimal.
std::string formatBytes(uint64_t bytes);
