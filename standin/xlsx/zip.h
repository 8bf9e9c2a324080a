// A small, strict reader for zip archives as .xlsx files use them: the end-of-central-directory
// record, the central directory and the local headers; stored and deflated entries. Everything
// read from the file is bounds-checked, and anything the reader does not support (encryption,
// zip64, other compression methods, archives split over disks) is refused with a clear error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct z_stream_s;  // zlib's inflate state

namespace tb::standin {

// Every failure to read a workbook: a one-line message naming the file or part and the problem.
// A reader failure with a one-line message: control characters copied from the file (line
// breaks in a sheet name or a cell's text) are shown as blanks, so the message stays one line.
class XlsxError : public std::runtime_error {
  public:
    explicit XlsxError(const std::string& message) : std::runtime_error(one_line(message)) {}

  private:
    static std::string one_line(std::string text) {
        for (char& c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) c = ' ';
        }
        return text;
    }
};

class ZipArchive {
  public:
    // Refuses entries that would inflate to more than this (zip bombs).
    static constexpr std::uint32_t max_entry_size = 256u * 1024u * 1024u;
    // Refuses to inflate more than this in all, however often entries are read.
    static constexpr std::uint64_t max_total_size = 1024u * 1024u * 1024u;

    struct Entry {
        std::string name;
        std::uint16_t method = 0;  // 0 stored, 8 deflated
        std::uint32_t crc = 0;
        std::uint32_t compressed_size = 0;
        std::uint32_t size = 0;
        std::uint32_t local_offset = 0;
    };

    // Reads the directory of an archive held in memory; the bytes must outlive the archive.
    // `label` names the archive in error messages. Throws XlsxError.
    ZipArchive(std::span<const std::uint8_t> bytes, std::string label);

    const std::vector<Entry>& entries() const { return entries_; }
    // The entry of that name (exact match first, then ignoring ASCII case, as package part
    // names compare); nullptr when absent.
    const Entry* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // An entry's contents as they inflate, piece by piece: what a reader needs that holds only a
    // window of a part. The size and the CRC are checked as the end is reached.
    class Stream {
      public:
        Stream(Stream&&) noexcept;
        ~Stream();
        // Up to `size` bytes into `out`; 0 once the entry ended (size and CRC checked).
        std::size_t read(char* out, std::size_t size);

      private:
        friend class ZipArchive;
        Stream(const ZipArchive& zip, const Entry& entry, const std::uint8_t* data);
        std::size_t inflate_some(char* out, std::size_t size);
        void finish();

        const ZipArchive* zip_;
        const Entry* entry_;
        const std::uint8_t* in_;  // the entry's data not yet taken
        std::uint64_t produced_ = 0;
        std::uint32_t crc_ = 0;
        bool ended_ = false;
        bool inflated_all_ = false;
        std::unique_ptr<z_stream_s> z_;  // deflated entries
    };

    // Opens an entry for reading. Throws XlsxError, also when the entries opened so far would
    // inflate to more than max_total_size.
    Stream open(const Entry& entry) const;
    // The named entry; throws XlsxError ("… is missing") when absent.
    Stream open(std::string_view name) const;
    // The whole contents of an entry, checked against its size and CRC.
    std::string read(const Entry& entry) const;

    const std::string& label() const { return label_; }

  private:
    [[noreturn]] void fail(std::string_view problem) const;

    std::span<const std::uint8_t> bytes_;
    std::string label_;
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> by_name_;
    std::unordered_map<std::string, std::size_t> by_folded_name_;
    mutable std::uint64_t total_read_ = 0;
};

}  // namespace tb::standin
