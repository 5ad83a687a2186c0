#include "quarnel_mesh/util/text.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

bool hasExtension(const std::string& path, const char* extension) {
    const size_t length = std::strlen(extension);
    if (path.size() < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[path.size() - length + i]);
        if (std::tolower(c) != std::tolower(static_cast<unsigned char>(extension[i]))) {
            return false;
        }
    }
    return true;
}

std::string fileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// U+0080..U+009F, the C1 controls, are 0xC2 0x80..0x9F in UTF-8.
bool isC1Control(const std::string& text, size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::string portableUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A well-formed sequence is copied: no overlong form, no surrogate, nothing past U+10FFFF.
        const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool valid = length > 0 && c < 0xF5 && i + length <= text.size();
        uint32_t codePoint = c & (0x7F >> length);
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (valid && length == 3) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0);
        } else if (valid && length == 4) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
        }
        // Noncharacters are well formed, yet XML refuses U+FFFE and U+FFFF.
        const bool nonCharacter =
            (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
        if (valid && !nonCharacter) {
            out.append(text, i, length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += valid ? length : 1;
    }
    return out;
}

std::string jsonString(const std::string& text) {
    const std::string portable = portableUtf8(text);
    std::string json = "\"";
    for (size_t i = 0; i < portable.size(); ++i) {
        const char c = portable[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (isControl(byte) || isC1Control(portable, i)) {
            // A C1 control's second byte is its code point.
            const unsigned codePoint =
                isControl(byte) ? byte : static_cast<unsigned char>(portable[++i]);
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", codePoint);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

std::string xmlText(const std::string& text) {
    const std::string portable = portableUtf8(text);
    std::string xml;
    for (size_t i = 0; i < portable.size(); ++i) {
        const char c = portable[i];
        if (isControl(static_cast<unsigned char>(c))) {
            xml += '?';
        } else if (isC1Control(portable, i)) {
            xml += '?';
            ++i;
        } else if (c == '&') {
            xml += "&amp;";
        } else if (c == '<') {
            xml += "&lt;";
        } else if (c == '>') {
            xml += "&gt;";
        } else {
            xml += c;
        }
    }
    return xml;
}

std::string formatShortestFloat(float value) {
    char text[32];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string formatBytes(uint64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}
