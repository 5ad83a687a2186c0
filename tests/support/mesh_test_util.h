// Test helpers for quarnel-mesh: small meshes built by hand and the bytes of their files.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <cmath>
#include <limits>

#include <sys/resource.h>

#include "io/triangle_record.h"
#include "support/process.h"

inline TriangleRecord makeRecord(Vec3f a, Vec3f b, Vec3f c, Vec3f color = kTriangleColor) {
    TriangleRecord record;
    record.vertices[0] = a;
    record.vertices[1] = b;
    record.vertices[2] = c;
    record.color = color;
    return record;
}

// The unit cube [0, 1]^3 as 12 triangles, two per face, each wound so that (v1 - v0) x (v2 - v0)
// points out of the cube. Faces in the order -x, +x, -y, +y, -z, +z.
inline std::vector<TriangleRecord> unitCubeRecords() {
    // Each face's corners run counter-clockwise seen from outside.
    const Vec3f faces[6][4] = {
        {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}},
        {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}},
        {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}},
        {{0, 1, 0}, {0, 1, 1}, {1, 1, 1}, {1, 1, 0}},
        {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}},
        {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
    };
    std::vector<TriangleRecord> records;
    for (const auto& face : faces) {
        records.push_back(makeRecord(face[0], face[1], face[2]));
        records.push_back(makeRecord(face[0], face[2], face[3]));
    }
    return records;
}

inline std::string recordBytes(const std::vector<TriangleRecord>& records) {
    std::string bytes(records.size() * sizeof(TriangleRecord), '\0');
    if (!records.empty()) {
        std::memcpy(&bytes[0], records.data(), bytes.size());
    }
    return bytes;
}

// "00 ff 3f" -> the three bytes; blanks and newlines are ignored.
inline std::string bytesFromHex(const std::string& hex) {
    std::string bytes;
    int high = -1;
    for (char c : hex) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

inline float floatAt(const std::string& bytes, size_t offset) {
    float value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

inline uint32_t uint32At(const std::string& bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

inline ProcessResult runMesh(const std::vector<std::string>& args, void (*setup)() = nullptr) {
    return runProcess(QUARNEL_MESH_EXE, args, "", setup);
}

inline std::string writeMeshFile(const TempDir& dir, const std::string& name,
                                 const std::vector<TriangleRecord>& records) {
    const std::string path = dir.file(name);
    writeFile(path, recordBytes(records));
    return path;
}

inline void limitFileSizeTo4KiB() {
    const rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
}

inline bool sameFloats(const Vec3f& a, const Vec3f& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
