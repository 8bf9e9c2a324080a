// The .xlsx reader on arbitrary bytes: it either gives workbook data that keeps its contract
// (cells on the grid, only the value kinds a cell can hold, formats the stand-in can show) or
// raises its own error with a one-line message. Any other exception, crash or sanitizer report
// is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <typeinfo>

#include "standin/excel.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using tb::Kind;
using tb::fuzz::violated;

void check(const tb::standin::WorkbookData& book) {
    if (book.sheets.empty()) violated("a workbook without sheets was read");
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        check(tb::standin::read_xlsx(std::span<const std::uint8_t>(data, size), "fuzz.xlsx"));
    } catch (const tb::standin::XlsxError& e) {
        const std::string message = e.what();
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
