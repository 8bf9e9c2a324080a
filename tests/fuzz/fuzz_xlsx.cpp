// The .xlsx reader on arbitrary bytes: it either gives workbook data that keeps its contract
// (cells on the grid, only the value kinds a cell can hold, formats the stand-in can show) or
// raises its own error with a one-line message. Any other exception, crash or sanitizer report
// is a finding.
//
// An input that starts with "=== " is a list of parts ("=== <name>" on a line of its own, then
// the part's text), packed here into a zip of stored entries with correct checksums: mutations
// of the XML then reach the XML and workbook readers instead of failing the checksum. Any other
// input is read as the file itself.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "standin/excel.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using tb::Kind;
using tb::fuzz::violated;

void check(const tb::standin::WorkbookData& book) {
    // A workbook of chart sheets only gives no worksheet; the stand-in opens it with an empty one.
    for (const auto& sheet : book.sheets) {
        for (const auto& [key, cell] : sheet.cells) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
            if (row < 1 || row > 1048576 || column < 1 || column > 16384) {
                violated("a cell off the grid: row " + std::to_string(row) + " column " +
                         std::to_string(column));
            }
            const Kind kind = cell.value.kind();
            if (kind != Kind::Empty && kind != Kind::Double && kind != Kind::String &&
                kind != Kind::Boolean && kind != Kind::Error) {
                violated("a cell value of kind " + std::to_string(static_cast<int>(kind)));
            }
            // The displayed text under the file's own format code: the stand-in may refuse a
            // value it cannot show, but only with its own failure.
            try {
                (void)tb::standin::Excel::display_text(cell.value, cell.format);
            } catch (const tb::Failure&) {
            }
        }
    }
}

void put16(std::vector<std::uint8_t>& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void put32(std::vector<std::uint8_t>& out, std::size_t v) {
    put16(out, v & 0xFFFF);
    put16(out, (v >> 16) & 0xFFFF);
}

std::vector<std::uint8_t> pack(std::string_view text) {
    struct Part {
        std::string_view name, data;
        std::size_t offset = 0;
        std::uint32_t crc = 0;
    };
    std::vector<Part> parts;
    constexpr std::string_view marker = "=== ";
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t name_end = std::min(text.find('\n', at), text.size());
        const std::size_t next = std::min(text.find("\n=== ", name_end), text.size());
        const std::size_t data_begin = std::min(name_end + 1, next);
        parts.push_back({text.substr(at + marker.size(), name_end - at - marker.size()),
                         text.substr(data_begin, next - data_begin)});
        at = next + 1;
    }
    std::vector<std::uint8_t> zip;
    auto header = [&zip](std::uint32_t signature, bool central, const Part& part) {
        put32(zip, signature);
        if (central) put16(zip, 20);  // made by
        put16(zip, 20);               // needed to extract
        put16(zip, 0);                // flags
        put16(zip, 0);                // stored
        put32(zip, 0x00210000);       // 1980-01-01 00:00
        put32(zip, part.crc);
        put32(zip, part.data.size());
        put32(zip, part.data.size());
        put16(zip, part.name.size());
        put16(zip, 0);  // extra field
        if (central) {
            put16(zip, 0);  // comment
            put16(zip, 0);  // disk
            put16(zip, 0);  // internal attributes
            put32(zip, 0);  // external attributes
            put32(zip, part.offset);
        }
        zip.insert(zip.end(), part.name.begin(), part.name.end());
    };
    for (Part& part : parts) {
        part.offset = zip.size();
        part.crc =
            static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(part.data.data()),
                                             static_cast<uInt>(part.data.size())));
        header(0x04034b50, false, part);
        zip.insert(zip.end(), part.data.begin(), part.data.end());
    }
    const std::size_t directory = zip.size();
    for (const Part& part : parts)
        header(0x02014b50, true, part);
    put32(zip, 0x06054b50);
    put32(zip, 0);  // disks
    put16(zip, parts.size());
    put16(zip, parts.size());
    put32(zip, zip.size() - directory - 12);
    put32(zip, directory);
    put16(zip, 0);  // comment
    return zip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> packed =
        text.starts_with("=== ") ? pack(text) : std::vector<std::uint8_t>(data, data + size);
    try {
        const tb::standin::WorkbookData book = tb::standin::read_xlsx(packed, "fuzz.xlsx");
        if (std::getenv("TB_FUZZ_TRACE"))
            std::fprintf(stderr, "read %zu sheets\n", book.sheets.size());
        check(book);
    } catch (const tb::standin::XlsxError& e) {
        const std::string message = e.what();
        if (std::getenv("TB_FUZZ_TRACE")) std::fprintf(stderr, "error: %s\n", e.what());
        if (message.empty()) violated("an empty error message");
        if (message.find_first_of("\r\n") != std::string::npos) {
            violated("an error message of several lines: " + message);
        }
    } catch (const std::exception& e) {
        violated(std::string("an exception other than XlsxError escaped: ") + typeid(e).name() +
                 ": " + e.what());
    }
    return 0;
}
