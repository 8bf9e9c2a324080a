// What the command-line tools print for an evaluated formula: the result as the cell shows it,
// or one JSON object, and the help boxes the call would have shown. Shared by the native tool
// and the Windows stand-in application so both print the same.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/host/value.h"
#include "standin/workbook_data.h"

namespace tb::tools {

struct BoxShown {
    std::u16string text;
    std::u16string title;
    std::uint32_t style = 0;
};

struct Outcome {
    Value result;
    std::vector<BoxShown> boxes;
};

// The text a cell shows for a result: text as is, error values as #VALUE!, #N/A …, numbers in
// General form, booleans as TRUE/FALSE.
std::u16string shown_text(const Value& result);

// Plain: "[cell<TAB>]shown text" on out, the text with tab, line feed, carriage return and
// backslash escaped (\t \n \r \\), each box as "[TITLE] text" on err.
// JSON: {"cell": …, "index": …, "type": "text"|"error"|"number"|"boolean", "value": …,
// "boxes": [...]}, a number as the shortest text that reads back as the same double.
void print(std::ostream& out, std::ostream& err, const Outcome& outcome, bool json,
           const std::optional<std::u16string>& cell,
           std::optional<std::size_t> index = std::nullopt);

std::string json_string(std::u16string_view text);

// Each problem as "PROGRAM: problem" on its own line.
void print_problems(std::ostream& err, const std::string& program,
                    const std::vector<std::string>& problems);

struct FormulaCell {
    std::uint32_t row;
    std::uint32_t column;
    std::u16string formula;
};
// The formula cells of a sheet that call TEXTBRAID, row by row.
std::vector<FormulaCell> textbraid_cells(const standin::SheetData& sheet);

// "Sheet1!B3", or "'My Sheet'!B3" for names that need quotes.
std::u16string cell_name(std::u16string_view sheet, std::uint32_t row, std::uint32_t column);

}  // namespace tb::tools
