// Reads .xlsx workbooks (as Excel, LibreOffice or an xlsx writer library save them) into the
// stand-in Excel's workbook data: the worksheets in order with their names, and for each cell
// its value (numbers, shared and inline strings, booleans, error values, ISO dates), its
// formula with the cached result (kept, so that a formula the stand-in cannot compute still has
// the value the file saved), and its number format code; the workbook's defined names and its
// date system. Cells keep the file's own serials, also in a workbook of the 1904 date system.
// What the reader takes differently from the file (an error value it does not know, a defined
// name it cannot use) is noted in WorkbookData::notes; the rest of the workbook is read.
// Parts are inflated and parsed as streams: memory follows the cells held, not the file's size.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "standin/workbook_data.h"
#include "standin/xlsx/zip.h"  // XlsxError

namespace tb::standin {

// The cells a workbook may hold unless the caller allows more: at 20 to 30 bytes a cell, about
// 300 MB. A workbook with more is refused as soon as its reading passes the budget, before its
// cells take more memory.
inline constexpr std::uint64_t default_max_cells = 10'000'000;

// Reads the workbook at `path` (UTF-8). The workbook's name is the file name. Throws XlsxError
// with a one-line message naming the file (and the part) and the problem.
WorkbookData read_xlsx(const std::string& path, std::uint64_t max_cells = default_max_cells);

// Reads a workbook held in memory; `name` becomes its name and labels error messages.
WorkbookData read_xlsx(std::span<const std::uint8_t> bytes, std::string_view name = "Book1.xlsx",
                       std::uint64_t max_cells = default_max_cells);

// A formula (UTF-8, no leading '=') moved by the given rows and columns as a filled-down or
// filled-across copy would be: relative cell references, column ranges (A:C) and row ranges
// (1:3) shift; $-anchored parts, text literals, quoted sheet names, function and defined names
// stay. A reference pushed off the grid becomes #REF!.
std::string shift_formula(std::string_view formula, std::int64_t rows, std::int64_t columns);

// The 1900-system serial (days since 1899-12-30, with Excel's phantom 29 Feb 1900, so dates
// before 1 Mar 1900 are one less) of an ISO 8601 date, date-time or time ("2024-01-31",
// "2024-01-31T13:30:00", "13:30:00"). Returns false when the text is not such a date.
bool iso_to_serial(std::string_view text, double& serial);

}  // namespace tb::standin
