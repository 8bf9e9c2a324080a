// The contents of a workbook as the stand-in Excel holds them: sheets of cells, each cell with
// its value, its number format code and, where it has one, its formula. Filled by the .xlsx
// reader or built directly by tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/host/value.h"

namespace tb::standin {

struct CellData {
    // Empty, Double, String, Boolean or Error (an Excel error SCODE); for a formula cell its
    // cached (or computed) result.
    Value value;
    std::u16string format = u"General";     // number format code
    std::optional<std::u16string> formula;  // without the leading '='
};

// Rows and columns count from 1.
inline std::uint64_t cell_key(std::uint32_t row, std::uint32_t column) {
    return (static_cast<std::uint64_t>(row) << 32) | column;
}

struct SheetData {
    std::u16string name;
    std::unordered_map<std::uint64_t, CellData> cells;

    const CellData* find(std::uint32_t row, std::uint32_t column) const {
        auto it = cells.find(cell_key(row, column));
        return it == cells.end() ? nullptr : &it->second;
    }
    CellData& at(std::uint32_t row, std::uint32_t column) { return cells[cell_key(row, column)]; }
    void set(std::uint32_t row, std::uint32_t column, Value value,
             std::u16string format = u"General") {
        auto& cell = at(row, column);
        cell.value = std::move(value);
        cell.format = std::move(format);
    }
};

struct WorkbookData {
    std::u16string name = u"Book1";
    std::vector<SheetData> sheets;
};

}  // namespace tb::standin
