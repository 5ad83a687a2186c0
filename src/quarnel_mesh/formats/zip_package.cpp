// The zip file format (PKWARE's APPNOTE), as far as a package of deflated members needs it:
// local headers, the central directory and its end record, with the ZIP64 extra field, end
// record and locator where 32 bits do not hold a size or an offset.
#include "quarnel_mesh/formats/zip_package.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {

constexpr std::size_t kPendingBytes = std::size_t{1} << 18;
constexpr std::size_t kDeflateOutBytes = std::size_t{1} << 18;

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint16_t kZip64ExtraTag = 0x0001;
constexpr uint16_t kDeflated = 8;
// Versions needed to extract: 2.0 for deflate, 4.5 for ZIP64.
constexpr uint16_t kPlainVersion = 20;
constexpr uint16_t kZip64Version = 45;
// 1980-01-01 00:00, the first time a DOS date can say: the same bytes on every run.
constexpr uint16_t kDosTime = 0;
constexpr uint16_t kDosDate = (1 << 5) | 1;
constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr uint64_t kMax16 = 0xFFFFu;

void emitCompressed(DeflateSegment& segment, std::size_t byteCount) {
    if (segment.file != nullptr) {
        writeScratchFile(*segment.file, segment.out.data(), byteCount);
    } else {
        segment.bytes.append(reinterpret_cast<const char*>(segment.out.data()), byteCount);
    }
    segment.outBytes += byteCount;
}

// Compresses the pending bytes with `flush`, the zlib usage of its own example (zpipe.c): call
// deflate until it leaves room in the output.
void runDeflate(DeflateSegment& segment, int flush) {
    segment.crc = static_cast<uint32_t>(crc32(segment.crc, segment.pending.data(),
                                              static_cast<uInt>(segment.pendingBytes)));
    segment.inBytes += segment.pendingBytes;
    segment.stream.next_in = segment.pending.data();
    segment.stream.avail_in = static_cast<uInt>(segment.pendingBytes);
    do {
        segment.stream.next_out = segment.out.data();
        segment.stream.avail_out = static_cast<uInt>(segment.out.size());
        const int result = deflate(&segment.stream, flush);
        assert(result != Z_STREAM_ERROR);
        (void)result;
        emitCompressed(segment, segment.out.size() - segment.stream.avail_out);
    } while (segment.stream.avail_out == 0);
    assert(segment.stream.avail_in == 0);
    segment.pendingBytes = 0;
}

void put16(std::string& bytes, uint64_t value) {
    for (int b = 0; b < 2; ++b) {
        bytes += static_cast<char>((value >> (8 * b)) & 0xFF);
    }
}

void put32(std::string& bytes, uint64_t value) {
    for (int b = 0; b < 4; ++b) {
        bytes += static_cast<char>((value >> (8 * b)) & 0xFF);
    }
}

void put64(std::string& bytes, uint64_t value) {
    for (int b = 0; b < 8; ++b) {
        bytes += static_cast<char>((value >> (8 * b)) & 0xFF);
    }
}

// What the headers say of a member once all of its segments are ended.
struct MemberRecord {
    std::string name;
    uint32_t crc = 0;
    uint64_t compressedBytes = 0;
    uint64_t uncompressedBytes = 0;
    uint64_t localHeaderOffset = 0;
};

bool localNeedsZip64(const MemberRecord& member) {
    return member.compressedBytes >= kMax32 || member.uncompressedBytes >= kMax32;
}

// The fields the two headers share, from the version needed to the name's length.
void putCommonFields(std::string& bytes, const MemberRecord& member, bool zip64,
                     uint64_t compressedField, uint64_t uncompressedField) {
    put16(bytes, zip64 ? kZip64Version : kPlainVersion);
    put16(bytes, 0);  // flags
    put16(bytes, kDeflated);
    put16(bytes, kDosTime);
    put16(bytes, kDosDate);
    put32(bytes, member.crc);
    put32(bytes, compressedField);
    put32(bytes, uncompressedField);
    put16(bytes, member.name.size());
}

// The local header carries both sizes in its ZIP64 field whenever it has one, as the format asks.
std::string localHeader(const MemberRecord& member) {
    const bool zip64 = localNeedsZip64(member);
    std::string bytes;
    put32(bytes, kLocalHeaderSignature);
    putCommonFields(bytes, member, zip64, zip64 ? kMax32 : member.compressedBytes,
                    zip64 ? kMax32 : member.uncompressedBytes);
    put16(bytes, zip64 ? 20 : 0);
    bytes += member.name;
    if (zip64) {
        put16(bytes, kZip64ExtraTag);
        put16(bytes, 16);
        put64(bytes, member.uncompressedBytes);
        put64(bytes, member.compressedBytes);
    }
    return bytes;
}

// The central header's ZIP64 field holds only the values whose own field overflows, in the
// format's order: uncompressed size, compressed size, offset.
std::string centralHeader(const MemberRecord& member) {
    std::string extra;
    const uint64_t values[3] = {member.uncompressedBytes, member.compressedBytes,
                                member.localHeaderOffset};
    for (const uint64_t value : values) {
        if (value >= kMax32) {
            put64(extra, value);
        }
    }
    const bool zip64 = !extra.empty() || localNeedsZip64(member);
    std::string bytes;
    put32(bytes, kCentralHeaderSignature);
    put16(bytes, zip64 ? kZip64Version : kPlainVersion);  // made by: MS-DOS attributes
    putCommonFields(bytes, member, zip64, std::min(member.compressedBytes, kMax32),
                    std::min(member.uncompressedBytes, kMax32));
    put16(bytes, extra.empty() ? 0 : 4 + extra.size());
    put16(bytes, 0);  // comment
    put16(bytes, 0);  // disk
    put16(bytes, 0);  // internal attributes
    put32(bytes, 0);  // external attributes
    put32(bytes, std::min(member.localHeaderOffset, kMax32));
    bytes += member.name;
    if (!extra.empty()) {
        put16(bytes, kZip64ExtraTag);
        put16(bytes, extra.size());
        bytes += extra;
    }
    return bytes;
}

// The end of the central directory, with the ZIP64 end record and its locator first when the
// classic record cannot hold the count, the size or the offset.
std::string directoryEnd(uint64_t memberCount, uint64_t directoryBytes, uint64_t directoryOffset) {
    std::string bytes;
    const bool zip64 =
        memberCount >= kMax16 || directoryBytes >= kMax32 || directoryOffset >= kMax32;
    if (zip64) {
        const uint64_t recordOffset = directoryOffset + directoryBytes;
        put32(bytes, kZip64EndSignature);
        put64(bytes, 44);  // the record's size after this field
        put16(bytes, kZip64Version);
        put16(bytes, kZip64Version);
        put32(bytes, 0);  // this disk
        put32(bytes, 0);  // the directory's disk
        put64(bytes, memberCount);
        put64(bytes, memberCount);
        put64(bytes, directoryBytes);
        put64(bytes, directoryOffset);
        put32(bytes, kZip64LocatorSignature);
        put32(bytes, 0);  // the record's disk
        put64(bytes, recordOffset);
        put32(bytes, 1);  // disks
    }
    put32(bytes, kEndSignature);
    put16(bytes, 0);
    put16(bytes, 0);
    put16(bytes, std::min(memberCount, kMax16));
    put16(bytes, std::min(memberCount, kMax16));
    put32(bytes, std::min(directoryBytes, kMax32));
    put32(bytes, std::min(directoryOffset, kMax32));
    put16(bytes, 0);  // comment
    return bytes;
}

}  // namespace

DeflateSegment::~DeflateSegment() {
    if (open) {
        deflateEnd(&stream);
    }
}

bool startDeflateSegment(DeflateSegment& segment, ScratchFile* file) {
    assert(!segment.open);
    segment.file = file;
    segment.pending.resize(kPendingBytes);
    segment.out.resize(kDeflateOutBytes);
    // Raw deflate (negative window bits): the zip headers carry the CRC and sizes. Level 1 is
    // several times faster than the default on this text for a tenth more bytes.
    if (deflateInit2(&segment.stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        segment.failed = true;
        return false;
    }
    segment.open = true;
    return true;
}

void deflateBytes(DeflateSegment& segment, const void* bytes, std::size_t byteCount) {
    assert(segment.open);
    const unsigned char* next = static_cast<const unsigned char*>(bytes);
    while (byteCount > 0) {
        const std::size_t taken = std::min(byteCount, segment.pending.size() - segment.pendingBytes);
        std::memcpy(segment.pending.data() + segment.pendingBytes, next, taken);
        segment.pendingBytes += taken;
        next += taken;
        byteCount -= taken;
        if (segment.pendingBytes == segment.pending.size()) {
            runDeflate(segment, Z_NO_FLUSH);
        }
    }
}

void drainDeflateSegment(DeflateSegment& segment) {
    if (segment.pendingBytes > 0) {
        runDeflate(segment, Z_NO_FLUSH);
    }
}

void endDeflateSegment(DeflateSegment& segment, bool last) {
    assert(segment.open);
    // A full flush ends on a byte boundary with an empty stored block and no final block; the
    // next segment's compressor refers to nothing before it, so its blocks may simply follow.
    runDeflate(segment, last ? Z_FINISH : Z_FULL_FLUSH);
    deflateEnd(&segment.stream);
    segment.open = false;
}

bool writeZipPackage(const std::vector<ZipMember>& members, AtomicOutput& output,
                     const std::function<void(uint64_t copiedBytes)>& onCopied,
                     std::string& error) {
    std::vector<MemberRecord> records;
    uint64_t offset = 0;
    uint64_t copiedBytes = 0;
    for (const ZipMember& member : members) {
        MemberRecord record;
        record.name = member.name;
        for (const DeflateSegment* segment : member.segments) {
            assert(!segment->open);
            record.crc = static_cast<uint32_t>(
                crc32_combine(record.crc, segment->crc, static_cast<z_off_t>(segment->inBytes)));
            record.uncompressedBytes += segment->inBytes;
            record.compressedBytes += segment->outBytes;
        }
        record.localHeaderOffset = offset;
        const std::string header = localHeader(record);
        writeAtomicOutput(output, header.data(), header.size());
        for (DeflateSegment* segment : member.segments) {
            if (segment->file == nullptr) {
                writeAtomicOutput(output, segment->bytes.data(), segment->bytes.size());
                continue;
            }
            const uint64_t before = copiedBytes;
            if (!copyScratchFile(*segment->file, output, [&](uint64_t fileBytes) {
                    copiedBytes = before + fileBytes;
                    if (onCopied) {
                        onCopied(copiedBytes);
                    }
                })) {
                if (segment->file->errorNumber != 0) {
                    error = "cannot write " + output.finalPath + ": " +
                            std::strerror(segment->file->errorNumber);
                } else {
                    error = describeOutputFailure(output);
                }
                return false;
            }
            copiedBytes = before + segment->file->byteCount;
        }
        offset += header.size() + record.compressedBytes;
        records.push_back(record);
    }
    std::string directory;
    for (const MemberRecord& record : records) {
        directory += centralHeader(record);
    }
    directory += directoryEnd(records.size(), directory.size(), offset);
    writeAtomicOutput(output, directory.data(), directory.size());
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}
