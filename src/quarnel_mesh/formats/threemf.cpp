// 3MF through lib3mf's C interface: one mesh object in millimetres with a base material of the
// record colour, one build item. lib3mf writes the zip package into memory (it seeks back to
// patch the zip headers, which the append-only output cannot do), and the bytes then go through
// the atomic output like every other format.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include <Model/COM/NMR_DLLInterfaces.h>

#include "common/process_setup.h"
#include "quarnel_mesh/formats/threemf.h"
#include "quarnel_mesh/model/vertex_welder.h"
#include "quarnel_mesh/util/text.h"

namespace {

// lib3mf refuses any coordinate beyond a billion millimetres.
constexpr float kMaxThreeMfCoordinate = 1e9f;

struct MemoryStream {
    std::vector<char> bytes;
    size_t position = 0;
    bool failed = false;
    bool stopped = false;
};

// lib3mf's stream callbacks (its nfUint32, nfByte and nfUint64 are these fixed-width types)
// return 0 for success.
uint32_t writeToMemory(const uint8_t* data, uint32_t byteCount, void* user) {
    MemoryStream& stream = *static_cast<MemoryStream*>(user);
    // lib3mf writes the package in many small pieces. A failed piece would make it throw from a
    // destructor (and so abort), so after a stop the pieces are only dropped: the write ends
    // without the deflate work it skips, or the stop backstop ends it first.
    if (stream.stopped || stopWasRequested()) {
        stream.stopped = true;
        return 0;
    }
    try {
        if (stream.position + byteCount > stream.bytes.size()) {
            stream.bytes.resize(stream.position + byteCount);
        }
    } catch (const std::bad_alloc&) {
        stream.failed = true;
        return 1;
    }
    std::memcpy(stream.bytes.data() + stream.position, data, byteCount);
    stream.position += byteCount;
    return 0;
}

uint32_t seekInMemory(uint64_t position, void* user) {
    MemoryStream& stream = *static_cast<MemoryStream*>(user);
    if (position > stream.bytes.size()) {
        return 1;
    }
    stream.position = static_cast<size_t>(position);
    return 0;
}

// FNV-1a over the geometry: the seed of the package's identifiers.
uint64_t hashGeometry(const std::vector<NMR::MODELMESHVERTEX>& vertices,
                      const std::vector<NMR::MODELMESHTRIANGLE>& triangles) {
    uint64_t hash = 0xCBF29CE484222325ull;
    const auto add = [&hash](const void* data, size_t byteCount) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < byteCount; ++i) {
            hash = (hash ^ bytes[i]) * 0x100000001B3ull;
        }
    };
    add(vertices.data(), vertices.size() * sizeof(NMR::MODELMESHVERTEX));
    add(triangles.data(), triangles.size() * sizeof(NMR::MODELMESHTRIANGLE));
    return hash;
}

// lib3mf draws random UUIDs for the object, the build and its item; these take their place so
// that the same mesh gives the same bytes, and different meshes different identifiers. Shaped as
// version-4 UUIDs, which readers expect.
std::string geometryUuid(uint64_t geometryHash, uint64_t salt) {
    const uint64_t high = mixBits(geometryHash ^ salt);
    const uint64_t low = mixBits(high + 0x9E3779B97F4A7C15ull * (salt + 1));
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFF),
                  static_cast<unsigned long long>(0x8000 | ((low >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

// Releases every lib3mf handle it holds when the write ends, however it ends.
struct Lib3mfHandles {
    std::vector<NMR::PLib3MFBase*> held;
    ~Lib3mfHandles() {
        for (auto it = held.rbegin(); it != held.rend(); ++it) {
            NMR::lib3mf_release(*it);
        }
    }
    NMR::PLib3MFBase* keep(NMR::PLib3MFBase* handle) {
        held.push_back(handle);
        return handle;
    }
};

// The one line for a lib3mf failure. With a valid model in hand its failures are, in practice,
// memory running short (zlib's deflate, the XML buffers), so that is the advice it gives.
std::string describeLib3mfFailure(const std::string& what) {
    return "lib3mf could not write the 3MF file" + (what.empty() ? "" : " (" + what + ")") +
           ", most likely for lack of memory: free some, or convert fewer triangles "
           "(--simplify)";
}

bool writeThreeMfModel(const IndexedMesh& mesh, const std::string& title, AtomicOutput& output,
                       int64_t& degenerateDropped, std::string& error);

// `text` as XML character data: control characters, which XML forbids even escaped, become '?',
// bytes that are not UTF-8 U+FFFD, and &, < and > their entities, which lib3mf does not write for
// metadata.
std::string xmlSafeText(const std::string& text) {
    std::string safe;
    for (const char c : wellFormedUtf8(text)) {
        const unsigned char byte = static_cast<unsigned char>(c);
        safe += byte < 0x20 || byte == 0x7F ? "?"
                : c == '&'                  ? "&amp;"
                : c == '<'                  ? "&lt;"
                : c == '>'                  ? "&gt;"
                                            : std::string(1, c);
    }
    return safe;
}

}  // namespace

bool writeThreeMf(const IndexedMesh& mesh, const std::string& sourceName, AtomicOutput& output,
                  int64_t& degenerateDropped, std::string& error) {
    // lib3mf's C interface lets some of its exceptions through.
    try {
        return writeThreeMfModel(mesh, xmlSafeText(sourceName), output, degenerateDropped, error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory to build the 3MF model";
    } catch (const std::exception& failure) {
        error = describeLib3mfFailure(failure.what());
    }
    return false;
}

namespace {

bool writeThreeMfModel(const IndexedMesh& mesh, const std::string& title, AtomicOutput& output,
                       int64_t& degenerateDropped, std::string& error) {
    std::vector<NMR::MODELMESHVERTEX> vertices;
    std::vector<NMR::MODELMESHTRIANGLE> triangles;
    MemoryStream stream;
    degenerateDropped = 0;
    try {
        vertices.resize(mesh.vertices.size());
        float largest = 0.0f;
        for (size_t v = 0; v < mesh.vertices.size(); ++v) {
            const Vec3f& p = mesh.vertices[v].position;
            vertices[v] = {{p.x, p.y, p.z}};
            largest = std::fmax(largest, std::fmax(std::fabs(p.x),
                                                   std::fmax(std::fabs(p.y), std::fabs(p.z))));
        }
        if (largest > kMaxThreeMfCoordinate) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "3MF holds coordinates up to 1e+09 mm and this mesh reaches %.3g; give "
                          "a smaller --size", static_cast<double>(largest));
            error = text;
            return false;
        }
        triangles.reserve(mesh.indices.size() / 3);
        for (size_t i = 0; i < mesh.indices.size(); i += 3) {
            const uint32_t a = mesh.indices[i];
            const uint32_t b = mesh.indices[i + 1];
            const uint32_t c = mesh.indices[i + 2];
            if (a == b || b == c || c == a) {
                ++degenerateDropped;
                continue;
            }
            triangles.push_back({{a, b, c}});
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to build the 3MF model";
        return false;
    }
    if (triangles.empty()) {
        error = "no triangle with three different vertices is left to write";
        return false;
    }

    Lib3mfHandles handles;
    NMR::PLib3MFModel* model = nullptr;
    NMR::PLib3MFModelBaseMaterial* materials = nullptr;
    NMR::PLib3MFModelMeshObject* object = nullptr;
    NMR::PLib3MFDefaultPropertyHandler* properties = nullptr;
    NMR::PLib3MFModelBuildItem* buildItem = nullptr;
    NMR::PLib3MFModelWriter* writer = nullptr;
    DWORD materialIndex = 0;
    DWORD materialGroup = 0;
    const std::string name = "quarnel";
    const uint64_t geometryHash = hashGeometry(vertices, triangles);
    bool built = NMR::lib3mf_createmodel(&model) == LIB3MF_OK && handles.keep(model) &&
                 NMR::lib3mf_model_setunit(model, NMR::MODELUNIT_MILLIMETER) == LIB3MF_OK &&
                 NMR::lib3mf_model_addmetadatautf8(model, "Title", title.c_str()) == LIB3MF_OK &&
                 NMR::lib3mf_model_addmetadatautf8(
                     model, "Application",
                     (std::string("quarnel-mesh ") + kMeshToolVersion).c_str()) == LIB3MF_OK &&
                 NMR::lib3mf_model_addbasematerialgroup(model, &materials) == LIB3MF_OK &&
                 handles.keep(materials) &&
                 NMR::lib3mf_basematerial_addmaterialutf8(
                     materials, name.c_str(), colorByte(mesh.color.x), colorByte(mesh.color.y),
                     colorByte(mesh.color.z), &materialIndex) == LIB3MF_OK &&
                 // addmaterial leaves the alpha at 0, which readers take as fully transparent.
                 NMR::lib3mf_basematerial_setdisplaycolorrgba(
                     materials, materialIndex, colorByte(mesh.color.x), colorByte(mesh.color.y),
                     colorByte(mesh.color.z), 255) == LIB3MF_OK &&
                 NMR::lib3mf_basematerial_getresourceid(materials, &materialGroup) == LIB3MF_OK &&
                 NMR::lib3mf_model_addmeshobject(model, &object) == LIB3MF_OK &&
                 handles.keep(object) &&
                 NMR::lib3mf_object_setnameutf8(object, name.c_str()) == LIB3MF_OK &&
                 NMR::lib3mf_object_setuuidutf8(object, geometryUuid(geometryHash, 1).c_str()) ==
                     LIB3MF_OK &&
                 NMR::lib3mf_meshobject_setgeometry(
                     object, vertices.data(), static_cast<DWORD>(vertices.size()),
                     triangles.data(), static_cast<DWORD>(triangles.size())) == LIB3MF_OK &&
                 NMR::lib3mf_object_createdefaultpropertyhandler(object, &properties) ==
                     LIB3MF_OK &&
                 handles.keep(properties) &&
                 NMR::lib3mf_defaultpropertyhandler_setbasematerial(properties, materialGroup,
                                                                    materialIndex) == LIB3MF_OK &&
                 NMR::lib3mf_model_addbuilditem(model, object, nullptr, &buildItem) ==
                     LIB3MF_OK &&
                 handles.keep(buildItem) &&
                 NMR::lib3mf_builditem_setuuidutf8(buildItem,
                                                   geometryUuid(geometryHash, 2).c_str()) ==
                     LIB3MF_OK &&
                 NMR::lib3mf_model_setbuilduuidutf8(model, geometryUuid(geometryHash, 3).c_str()) ==
                     LIB3MF_OK &&
                 NMR::lib3mf_model_querywriter(model, "3mf", &writer) == LIB3MF_OK &&
                 handles.keep(writer);
    // The model's copy of the geometry is all lib3mf needs from here on.
    std::vector<NMR::MODELMESHVERTEX>().swap(vertices);
    std::vector<NMR::MODELMESHTRIANGLE>().swap(triangles);
    built = built && NMR::lib3mf_writer_writetocallback(
                         writer, reinterpret_cast<void*>(&writeToMemory),
                         reinterpret_cast<void*>(&seekInMemory), &stream) == LIB3MF_OK;
    if (built && stream.stopped) {
        error = "interrupted";
        return false;
    }
    if (!built) {
        DWORD code = 0;
        LPCSTR message = nullptr;
        if (model != nullptr) {
            NMR::lib3mf_getlasterror(writer != nullptr ? writer : model, &code, &message);
        }
        char codeText[32];
        std::snprintf(codeText, sizeof codeText, "error 0x%X", static_cast<unsigned>(code));
        if (stream.stopped) {
            error = "interrupted";
        } else if (stream.failed) {
            error = "not enough memory for the 3MF package";
        } else {
            const std::string text = message != nullptr ? message : "";
            error = describeLib3mfFailure(code == 0 ? text
                                          : text.empty() ? std::string(codeText)
                                                         : text + ", " + codeText);
        }
        return false;
    }
    writeAtomicOutput(output, stream.bytes.data(), stream.bytes.size());
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}

}  // namespace
