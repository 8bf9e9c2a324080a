// The .xlsx reader on arbitrary bytes: it either gives workbook data that keeps its contract
// (cells on the grid, only the value kinds a cell can hold, formats the stand-in can show,
// defined names with a name, a formula and a sheet it holds, notes of one line each) or
// raises its own error with a one-line message. Any other exception, crash or sanitizer report
// is a finding.
//
// An input that starts with "=== " is a list of parts ("=== <name>" on a line of its own, then
// the part's text), packed here into a zip of stored entries with correct checksums: mutations
// of the XML then reach the XML and workbook readers instead of failing the checksum. Any other
// input is read as the file itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "standin/excel.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/unit/xlsx_test_zip.h"

namespace {

using tb::Kind;
using tb::fuzz::violated;

void check(const tb::standin::WorkbookData& book) {
    for (const std::string& note : book.notes) {
        if (note.empty() || note.find_first_of("\r\n") != std::string::npos)
            violated("a note that is not one line: " + note);
    }
    for (const auto& name : book.names) {
        if (name.name.empty() || name.refers_to.empty())
            violated("a defined name without a name or a formula");
        if (name.sheet && *name.sheet >= book.sheets.size())
            violated("a defined name of a sheet the workbook does not hold");
    }
    // A workbook of chart sheets only gives no worksheet; the stand-in opens it with an empty one.
    for (const auto& sheet : book.sheets) {
        for (const auto& [key, cell] : sheet.cells) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
            if (row < 1 || row > 1048576 || column < 1 || column > 16384)
                violated("a cell off the grid: row " + std::to_string(row) + " column " +
                         std::to_string(column));
            const Kind kind = cell.value.kind();
            if (kind != Kind::Empty && kind != Kind::Double && kind != Kind::String &&
                kind != Kind::Boolean && kind != Kind::Error)
                violated("a cell value of kind " + std::to_string(static_cast<int>(kind)));
            // The displayed text under the file's own format code: the stand-in may refuse a
            // value it cannot show, but only with its own failure.
            try {
                (void)tb::standin::Excel::display_text(cell.value, cell.format);
            } catch (const tb::Failure&) {
            }
        }
    }
}

// Splits "=== <name>" lines and the text after each into (name, data) parts.
std::vector<std::uint8_t> pack(std::string_view text) {
    std::vector<std::pair<std::string_view, std::string_view>> parts;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t name_end = std::min(text.find('\n', at), text.size());
        const std::size_t next = std::min(text.find("\n=== ", name_end), text.size());
        const std::size_t data_begin = std::min(name_end + 1, next);
        parts.emplace_back(text.substr(at + 4, name_end - at - 4),
                           text.substr(data_begin, next - data_begin));
        at = next + 1;
    }
    return tb::test::zip_parts(parts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> packed =
        text.starts_with("=== ") ? pack(text) : std::vector<std::uint8_t>(data, data + size);
    try {
        const tb::standin::WorkbookData book = tb::standin::read_xlsx(packed, "fuzz.xlsx");
        check(book);
    } catch (const tb::standin::XlsxError& e) {
        const std::string message = e.what();
        if (message.empty()) violated("an empty error message");
        if (message.find_first_of("\r\n") != std::string::npos)
            violated("an error message of several lines: " + message);
    } catch (const std::exception& e) {
        violated(std::string("an exception other than XlsxError escaped: ") + typeid(e).name() +
                 ": " + e.what());
    }
    return 0;
}
