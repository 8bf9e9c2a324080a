// The contents of a workbook as the stand-in Excel holds them: sheets of cells, each cell with
// its value, its number format code and, where it has one, its formula. Filled by the .xlsx
// reader or built directly by tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/host/value.h"

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

// Spreads cell keys by both halves. The standard hash of a 64-bit key is the key cut to size_t:
// where that has 32 bits only the column is left, and every cell of a column shares one chain.
struct CellKeyHash {
    std::size_t operator()(std::uint64_t key) const noexcept {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<std::size_t>(key);
    }
};

// The cells of a sheet, 16 bytes a cell in an open-addressed table (about 20 to 30 bytes a cell
// with its free slots): a number, boolean or error in place; a text as an index into the sheet's
// texts, each distinct text held once; a format code as an index into the sheet's format codes;
// a formula, rare, beside the table. Cells are handed out as CellData values.
class CellMap {
  public:
    CellMap() = default;
    CellMap(const CellMap& other)
        : slots_(other.slots_),
          size_(other.size_),
          formats_(other.formats_),
          format_index_(other.format_index_),
          texts_(other.texts_),
          others_(other.others_),
          formulas_(other.formulas_) {
        reindex();
    }
    CellMap(CellMap&&) noexcept = default;
    CellMap& operator=(const CellMap& other) {
        if (this != &other) *this = CellMap(other);
        return *this;
    }
    CellMap& operator=(CellMap&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = CellMap(); }

    std::optional<CellData> find(std::uint64_t key) const {
        const Slot* slot = slot_of(key);
        if (!slot) return std::nullopt;
        return cell_of(*slot, key);
    }
    void insert_or_assign(std::uint64_t key, CellData cell) {
        const auto row = static_cast<std::uint32_t>(key >> 32);
        const auto column = static_cast<std::uint32_t>(key);
        if (row == 0 || row > kMaxRow || column == 0 || column > 0xFFFF)
            fail(hr::bad_index, "a cell outside the grid");
        if ((size_ + 1) * 5 > slots_.size() * 4) grow();
        Slot& slot = free_or_same(key);
        if (slot.row() == 0) ++size_;
        const std::uint32_t kind = store(cell.value, slot.payload);
        slot.tag = row | kind << 24 | (cell.formula ? 1u << 28 : 0u);
        slot.column = static_cast<std::uint16_t>(column);
        slot.format = format_index(cell.format);
        if (cell.formula) {
            formulas_.insert_or_assign(key, std::move(*cell.formula));
        } else if (!formulas_.empty()) {
            formulas_.erase(key);
        }
    }
    // The formula cells by key, unordered: what a reader needs to find them without visiting
    // every cell.
    const std::unordered_map<std::uint64_t, std::u16string, CellKeyHash>& formulas() const {
        return formulas_;
    }

    class iterator {
      public:
        iterator(const CellMap* map, std::size_t at) : map_(map), at_(at) { skip(); }
        std::pair<std::uint64_t, CellData> operator*() const {
            const Slot& slot = map_->slots_[at_];
            const std::uint64_t key = cell_key(slot.row(), slot.column);
            return {key, map_->cell_of(slot, key)};
        }
        iterator& operator++() {
            ++at_;
            skip();
            return *this;
        }
        bool operator!=(const iterator& other) const { return at_ != other.at_; }
        bool operator==(const iterator& other) const { return at_ == other.at_; }

      private:
        void skip() {
            while (at_ < map_->slots_.size() && map_->slots_[at_].row() == 0)
                ++at_;
        }
        const CellMap* map_;
        std::size_t at_;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, slots_.size()); }

  private:
    static constexpr std::uint32_t kMaxRow = (1u << 24) - 1;
    enum Kind : std::uint8_t { Empty, Number, Text, Boolean, Error, Other };

    struct Slot {
        std::uint32_t tag = 0;  // the row (low 24 bits; 0: a free slot), the kind, a formula bit
        std::uint16_t column = 0;
        std::uint16_t format = 0;  // index into formats_
        std::uint64_t payload = 0;
        std::uint32_t row() const { return tag & kMaxRow; }
        std::uint32_t kind() const { return (tag >> 24) & 0xFu; }
        bool formula() const { return (tag >> 28) != 0; }
    };
    static_assert(sizeof(Slot) == 16);

    std::size_t home(std::uint64_t key) const {
        const auto hash = static_cast<std::uint64_t>(CellKeyHash{}(key)) & 0xFFFFFFFFu;
        return static_cast<std::size_t>((hash * slots_.size()) >> 32);
    }
    const Slot* slot_of(std::uint64_t key) const {
        if (slots_.empty()) return nullptr;
        const auto row = static_cast<std::uint32_t>(key >> 32);
        const auto column = static_cast<std::uint32_t>(key);
        for (std::size_t at = home(key);; at = at + 1 == slots_.size() ? 0 : at + 1) {
            const Slot& slot = slots_[at];
            if (slot.row() == 0) return nullptr;
            if (slot.row() == row && slot.column == column) return &slot;
        }
    }
    Slot& free_or_same(std::uint64_t key) {
        const auto row = static_cast<std::uint32_t>(key >> 32);
        const auto column = static_cast<std::uint32_t>(key);
        for (std::size_t at = home(key);; at = at + 1 == slots_.size() ? 0 : at + 1) {
            Slot& slot = slots_[at];
            if (slot.row() == 0 || (slot.row() == row && slot.column == column)) return slot;
        }
    }
    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 3 / 2));
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.row() != 0) free_or_same(cell_key(slot.row(), slot.column)) = slot;
    }

    std::uint16_t format_index(const std::u16string& code) {
        if (code == u"General") return 0;
        auto found = format_index_.find(code);
        if (found != format_index_.end()) return found->second;
        if (formats_.size() > 0xFFFF) fail(hr::out_of_memory, "too many number formats");
        const auto index = static_cast<std::uint16_t>(formats_.size());
        formats_.push_back(code);
        format_index_.emplace(code, index);
        return index;
    }
    std::uint32_t store(const Value& value, std::uint64_t& payload) {
        switch (value.kind()) {
            case tb::Kind::Empty:
                payload = 0;
                return Empty;
            case tb::Kind::Double: {
                const double d = value.to_number();
                std::memcpy(&payload, &d, sizeof d);
                return Number;
            }
            case tb::Kind::Boolean:
                payload = value.boolean_value() ? 1 : 0;
                return Boolean;
            case tb::Kind::Error:
                payload = static_cast<std::uint32_t>(value.error_code());
                return Error;
            case tb::Kind::String: {
                const std::u16string& text = value.string_value();
                auto found = text_index_.find(text);
                if (found != text_index_.end()) {
                    payload = found->second;
                } else {
                    const std::size_t capacity = texts_.capacity();
                    texts_.push_back(text);
                    payload = texts_.size() - 1;
                    if (texts_.capacity() != capacity) {
                        reindex();  // the texts moved, and short ones with their characters
                    } else {
                        text_index_.emplace(texts_.back(), texts_.size() - 1);
                    }
                }
                return Text;
            }
            default:
                others_.push_back(value);
                payload = others_.size() - 1;
                return Other;
        }
    }
    Value value_of(const Slot& slot) const {
        switch (slot.kind()) {
            case Number: {
                double d = 0;
                std::memcpy(&d, &slot.payload, sizeof d);
                return Value::number(d);
            }
            case Text:
                return Value::string(texts_[static_cast<std::size_t>(slot.payload)]);
            case Boolean:
                return Value::boolean(slot.payload != 0);
            case Error:
                return Value::error(
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(slot.payload)));
            case Other:
                return others_[static_cast<std::size_t>(slot.payload)];
            default:
                return Value();
        }
    }
    void reindex() {
        text_index_.clear();
        for (std::size_t i = 0; i < texts_.size(); ++i)
            text_index_.emplace(texts_[i], i);
    }
    CellData cell_of(const Slot& slot, std::uint64_t key) const {
        CellData cell;
        cell.value = value_of(slot);
        if (slot.format != 0) cell.format = formats_[slot.format];
        if (slot.formula()) cell.formula = formulas_.at(key);
        return cell;
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::vector<std::u16string> formats_ = {u"General"};
    std::map<std::u16string, std::uint16_t> format_index_;
    std::vector<std::u16string> texts_;  // each distinct text once; the index views them
    std::unordered_map<std::u16string_view, std::size_t> text_index_;
    std::vector<Value> others_;  // dates, currency and other kinds a test may store
    std::unordered_map<std::uint64_t, std::u16string, CellKeyHash> formulas_;
};

struct SheetData {
    std::u16string name;
    CellMap cells;

    std::optional<CellData> find(std::uint32_t row, std::uint32_t column) const {
        return cells.find(cell_key(row, column));
    }
    // Sets a cell's value and format; a formula it holds stays.
    void set(std::uint32_t row, std::uint32_t column, Value value,
             std::u16string format = u"General") {
        const std::uint64_t key = cell_key(row, column);
        CellData cell = cells.find(key).value_or(CellData{});
        cell.value = std::move(value);
        cell.format = std::move(format);
        cells.insert_or_assign(key, std::move(cell));
    }
    // Gives a cell a formula (without the leading '='); its value and format stay.
    void set_formula(std::uint32_t row, std::uint32_t column, std::u16string formula) {
        const std::uint64_t key = cell_key(row, column);
        CellData cell = cells.find(key).value_or(CellData{});
        cell.formula = std::move(formula);
        cells.insert_or_assign(key, std::move(cell));
    }
};

// A defined name: of the workbook (no sheet) or of one sheet (its 0-based index), with the text
// it refers to as the workbook holds it, without a leading '=' ("S!$A$1:$A$2",
// "S!$A$1:$A$2,S!$C$1:$C$2" for several areas).
struct DefinedName {
    std::u16string name;
    std::optional<std::size_t> sheet;
    std::u16string refers_to;
};

struct WorkbookData {
    std::u16string name = u"Book1";
    std::vector<SheetData> sheets;
    std::vector<DefinedName> names;
    // Date serials count from 1904-01-01 rather than 1900-01-00 (workbooks from old Macs).
    bool date1904 = false;
    // What reading the workbook could not take as it was, one line each naming the cell or
    // part (an error value of a newer Excel read as #VALUE!, a defined name left out).
    std::vector<std::string> notes = {};
};

}  // namespace tb::standin
