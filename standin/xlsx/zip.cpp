#include "standin/xlsx/zip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tb::standin {
namespace {

constexpr std::uint32_t eocd_signature = 0x06054b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::size_t eocd_size = 22;
constexpr std::size_t central_header_size = 46;
constexpr std::size_t local_header_size = 30;
constexpr std::size_t max_comment = 0xFFFF;

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::string fold(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

void ZipArchive::fail(std::string_view problem) const {
    throw XlsxError(label_.empty() ? std::string(problem) : label_ + ": " + std::string(problem));
}

ZipArchive::ZipArchive(std::span<const std::uint8_t> bytes, std::string label)
    : bytes_(bytes), label_(std::move(label)) {
    const std::size_t size = bytes_.size();
    if (size < 4 || le32(bytes_, 0) != local_signature) {
        if (size >= 4 && le32(bytes_, 0) == eocd_signature) fail("the zip archive is empty");
        fail("not a zip file");
    }
    if (size < eocd_size) fail("truncated zip file (no end of central directory)");

    // The end-of-central-directory record sits at the end, followed by a comment of up to
    // 64 KiB; search backwards for a signature whose comment length fits.
    std::size_t eocd = SIZE_MAX;
    const std::size_t lowest = size - eocd_size > max_comment ? size - eocd_size - max_comment : 0;
    for (std::size_t at = size - eocd_size + 1; at-- > lowest;) {
        if (le32(bytes_, at) == eocd_signature && at + eocd_size + le16(bytes_, at + 20) <= size) {
            eocd = at;
            break;
        }
    }
    if (eocd == SIZE_MAX) fail("truncated zip file (no end of central directory)");

    const std::uint16_t disk = le16(bytes_, eocd + 4);
    const std::uint16_t cd_disk = le16(bytes_, eocd + 6);
    const std::uint16_t disk_entries = le16(bytes_, eocd + 8);
    const std::uint16_t total_entries = le16(bytes_, eocd + 10);
    const std::uint32_t cd_size = le32(bytes_, eocd + 12);
    const std::uint32_t cd_offset = le32(bytes_, eocd + 16);
    if (total_entries == 0xFFFF || cd_size == 0xFFFFFFFFu || cd_offset == 0xFFFFFFFFu ||
        (eocd >= 20 && le32(bytes_, eocd - 20) == zip64_locator_signature)) {
        fail("zip64 archives are not supported");
    }
    if (disk != 0 || cd_disk != 0 || disk_entries != total_entries) {
        fail("zip archives split over several disks are not supported");
    }
    if (static_cast<std::uint64_t>(cd_offset) + cd_size > eocd) {
        fail("corrupt zip file (central directory outside the file)");
    }

    entries_.reserve(total_entries);
    std::size_t at = cd_offset;
    const std::size_t cd_end = static_cast<std::size_t>(cd_offset) + cd_size;
    for (std::size_t i = 0; i < total_entries; ++i) {
        if (at + central_header_size > cd_end || le32(bytes_, at) != central_signature) {
            fail("corrupt zip file (bad central directory entry " + std::to_string(i) + ")");
        }
        Entry e;
        const std::uint16_t flags = le16(bytes_, at + 8);
        e.method = le16(bytes_, at + 10);
        e.crc = le32(bytes_, at + 16);
        e.compressed_size = le32(bytes_, at + 20);
        e.size = le32(bytes_, at + 24);
        const std::size_t name_length = le16(bytes_, at + 28);
        const std::size_t extra_length = le16(bytes_, at + 30);
        const std::size_t comment_length = le16(bytes_, at + 32);
        e.local_offset = le32(bytes_, at + 42);
        const std::size_t next =
            at + central_header_size + name_length + extra_length + comment_length;
        if (next > cd_end) {
            fail("corrupt zip file (central directory entry " + std::to_string(i) +
                 " runs past the directory)");
        }
        e.name.assign(reinterpret_cast<const char*>(bytes_.data() + at + central_header_size),
                      name_length);
        if (e.name.empty()) fail("corrupt zip file (entry without a name)");
        if (e.name.find('\0') != std::string::npos) {
            fail("corrupt zip file (entry name contains a NUL byte)");
        }
        if ((flags & 0x0041u) != 0) fail("encrypted zip entries are not supported: " + e.name);
        if (e.compressed_size == 0xFFFFFFFFu || e.size == 0xFFFFFFFFu ||
            e.local_offset == 0xFFFFFFFFu) {
            fail("zip64 archives are not supported");
        }
        if (by_name_.contains(e.name)) fail("corrupt zip file (duplicate entry " + e.name + ")");
        by_name_.emplace(e.name, entries_.size());
        by_folded_name_.emplace(fold(e.name), entries_.size());
        entries_.push_back(std::move(e));
        at = next;
    }
}

const ZipArchive::Entry* ZipArchive::find(std::string_view name) const {
    if (auto it = by_name_.find(std::string(name)); it != by_name_.end()) {
        return &entries_[it->second];
    }
    if (auto it = by_folded_name_.find(fold(name)); it != by_folded_name_.end()) {
        return &entries_[it->second];
    }
    return nullptr;
}

std::string ZipArchive::read(std::string_view name) const {
    const Entry* e = find(name);
    if (e == nullptr) fail(std::string(name) + " is missing");
    return read(*e);
}

std::string ZipArchive::read(const Entry& e) const {
    const std::size_t size = bytes_.size();
    const std::size_t at = e.local_offset;
    if (at > size || size - at < local_header_size || le32(bytes_, at) != local_signature) {
        fail(e.name + ": corrupt zip file (bad local header)");
    }
    if ((le16(bytes_, at + 6) & 0x0041u) != 0) {
        fail("encrypted zip entries are not supported: " + e.name);
    }
    const std::size_t data = at + local_header_size + le16(bytes_, at + 26) + le16(bytes_, at + 28);
    if (data > size || e.compressed_size > size - data) {
        fail(e.name + ": truncated zip file (entry data runs past the end)");
    }
    if (e.size > max_entry_size) {
        fail(e.name + ": declared size of " + std::to_string(e.size) +
             " bytes is over the limit of " + std::to_string(max_entry_size));
    }
    if (total_read_ + e.size > max_total_size) {
        fail(e.name + ": the archive inflates to more than " + std::to_string(max_total_size) +
             " bytes in all");
    }
    total_read_ += e.size;
    const std::uint8_t* in = bytes_.data() + data;

    std::string out;
    if (e.method == 0) {
        if (e.compressed_size != e.size) fail(e.name + ": corrupt zip file (stored size mismatch)");
        out.assign(reinterpret_cast<const char*>(in), e.size);
    } else if (e.method == 8) {
        out.resize(e.size);
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) fail(e.name + ": cannot start inflating");
        z.next_in = const_cast<Bytef*>(in);  // zlib's API is not const-correct; it only reads
        z.avail_in = static_cast<uInt>(e.compressed_size);
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(e.size);
        int rc = inflate(&z, Z_FINISH);
        // A stream that fills the declared size exactly may still have its end marker left;
        // probe with a spare byte so an overlong stream is told apart from a complete one.
        bool overlong = false;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) {
            Bytef spare = 0;
            z.next_out = &spare;
            z.avail_out = 1;
            rc = inflate(&z, Z_FINISH);
            overlong = z.avail_out == 0;
        }
        const uLong produced = z.total_out;
        const char* message = z.msg;
        inflateEnd(&z);
        if (overlong) {
            fail(e.name + ": corrupt zip file (inflates to more than its declared size)");
        }
        if (rc != Z_STREAM_END) {
            if (rc == Z_BUF_ERROR) fail(e.name + ": truncated or corrupt deflate data");
            fail(e.name + ": corrupt deflate data" +
                 (message != nullptr ? std::string(" (") + message + ")" : std::string()));
        }
        if (produced != e.size) {
            fail(e.name + ": corrupt zip file (inflates to " + std::to_string(produced) +
                 " bytes, declared " + std::to_string(e.size) + ")");
        }
    } else {
        fail(e.name + ": unsupported compression method " + std::to_string(e.method));
    }

    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes a uInt length; entries are capped well below its range.
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
    if ((crc & 0xFFFFFFFFu) != e.crc) fail(e.name + ": corrupt zip file (CRC mismatch)");
    return out;
}

}  // namespace tb::standin
