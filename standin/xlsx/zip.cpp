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

ZipArchive::Stream ZipArchive::open(std::string_view name) const {
    const Entry* e = find(name);
    if (e == nullptr) fail(std::string(name) + " is missing");
    return open(*e);
}

std::string ZipArchive::read(const Entry& entry) const {
    Stream stream = open(entry);
    std::string out(entry.size, '\0');
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t n = stream.read(out.data() + at, out.size() - at);
        if (n == 0) break;  // checked by the stream: fewer bytes than declared fail there
        at += n;
    }
    char spare = 0;
    stream.read(&spare, 1);  // reaches the end: more than declared, or a bad CRC, fails there
    return out;
}

ZipArchive::Stream ZipArchive::open(const Entry& e) const {
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
    if (e.method != 0 && e.method != 8) {
        fail(e.name + ": unsupported compression method " + std::to_string(e.method));
    }
    if (e.method == 0 && e.compressed_size != e.size) {
        fail(e.name + ": corrupt zip file (stored size mismatch)");
    }
    total_read_ += e.size;
    return Stream(*this, e, bytes_.data() + data);
}

ZipArchive::Stream::Stream(const ZipArchive& zip, const Entry& entry, const std::uint8_t* data)
    : zip_(&zip),
      entry_(&entry),
      in_(data),
      crc_(static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0))) {
    if (entry.method != 8) return;
    z_ = std::make_unique<z_stream_s>();
    if (inflateInit2(z_.get(), -MAX_WBITS) != Z_OK) {
        z_.reset();
        zip.fail(entry.name + ": cannot start inflating");
    }
    z_->next_in = const_cast<Bytef*>(data);  // zlib's API is not const-correct; it only reads
    z_->avail_in = static_cast<uInt>(entry.compressed_size);
}

ZipArchive::Stream::Stream(Stream&&) noexcept = default;

ZipArchive::Stream::~Stream() {
    if (z_) inflateEnd(z_.get());
}

std::size_t ZipArchive::Stream::read(char* out, std::size_t size) {
    if (ended_ || size == 0) return 0;
    std::size_t n = 0;
    if (!z_) {
        const std::uint64_t left = entry_->size - produced_;
        n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
        std::memcpy(out, in_, n);
        in_ += n;
    } else {
        n = inflate_some(out, size);
    }
    produced_ += n;
    // crc32 takes a uInt length; pieces are far below its range.
    crc_ = static_cast<std::uint32_t>(
        crc32(crc_, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(n)));
    if (n == 0) finish();
    return n;
}

// Inflates into `out` until something came out or the stream ended; a stream that would
// produce more than the entry declares fails as soon as it does.
std::size_t ZipArchive::Stream::inflate_some(char* out, std::size_t size) {
    const std::string& name = entry_->name;
    const std::uint64_t left = entry_->size - produced_;
    // One byte past the declared size is asked for, to tell an overlong stream apart.
    const auto room = static_cast<uInt>(std::min<std::uint64_t>({size, left + 1, UINT_MAX}));
    for (;;) {
        if (inflated_all_) return 0;
        z_->next_out = reinterpret_cast<Bytef*>(out);
        z_->avail_out = room;
        const int rc = inflate(z_.get(), Z_NO_FLUSH);
        const std::size_t n = room - z_->avail_out;
        if (n > left) {
            zip_->fail(name + ": corrupt zip file (inflates to more than its declared size)");
        }
        if (rc == Z_STREAM_END) inflated_all_ = true;
        if (rc == Z_STREAM_END || (rc == Z_OK && n > 0)) return n;
        if (rc == Z_BUF_ERROR || (rc == Z_OK && z_->avail_in == 0)) {
            zip_->fail(name + ": truncated or corrupt deflate data");
        }
        if (rc != Z_OK) {
            zip_->fail(name + ": corrupt deflate data" +
                       (z_->msg != nullptr ? std::string(" (") + z_->msg + ")" : std::string()));
        }
    }
}

void ZipArchive::Stream::finish() {
    ended_ = true;
    const std::string& name = entry_->name;
    if (produced_ != entry_->size) {
        zip_->fail(name + ": corrupt zip file (inflates to " + std::to_string(produced_) +
                   " bytes, declared " + std::to_string(entry_->size) + ")");
    }
    if (crc_ != entry_->crc) zip_->fail(name + ": corrupt zip file (CRC mismatch)");
}

}  // namespace tb::standin
