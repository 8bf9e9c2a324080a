// The inside of the stand-in Excel: the state that the Excel and every object it hands out
// share, the counted operations, and the helpers the object model and the formula evaluator
// both use. Not part of the stand-in's public interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/host/host_object.h"
#include "standin/profile.h"
#include "standin/workbook_data.h"

namespace tb::standin {

// Every counted host operation, one row each: the object, the member, another name the member
// answers to (or none) and whether it is the object's default member (the one an empty name
// calls). The enumeration, the operation names and every object's member lookup are made from
// this one table.
#define TB_STANDIN_OPERATIONS(X)              \
    X(Application, Evaluate, u"", false)      \
    X(Application, Intersect, u"", false)     \
    X(Application, Workbooks, u"", false)     \
    X(Workbooks, Count, u"", false)           \
    X(Workbooks, Item, u"", true)             \
    X(Workbook, Worksheets, u"Sheets", false) \
    X(Workbook, Name, u"", false)             \
    X(Sheets, Count, u"", false)              \
    X(Sheets, Item, u"", true)                \
    X(Worksheet, Cells, u"", false)           \
    X(Worksheet, UsedRange, u"", false)       \
    X(Worksheet, Name, u"", false)            \
    X(Worksheet, Range, u"", false)           \
    X(Range, Cells, u"", false)               \
    X(Range, Count, u"", false)               \
    X(Range, CountLarge, u"", false)          \
    X(Range, Rows, u"", false)                \
    X(Range, Columns, u"", false)             \
    X(Range, Worksheet, u"", false)           \
    X(Range, Text, u"", false)                \
    X(Range, Value, u"", true)                \
    X(Range, Value2, u"", false)              \
    X(Range, Address, u"", false)             \
    X(Range, Row, u"", false)                 \
    X(Range, Column, u"", false)              \
    X(Range, Areas, u"", false)               \
    X(Areas, Count, u"", false)               \
    X(Areas, Item, u"", true)

enum class Op : std::uint8_t {
#define TB_OP_ENUMERATOR(object, member, also, is_default) object##member,
    TB_STANDIN_OPERATIONS(TB_OP_ENUMERATOR)
#undef TB_OP_ENUMERATOR
};
#define TB_OP_ONE(object, member, also, is_default) +1
inline constexpr std::size_t op_count = 0 TB_STANDIN_OPERATIONS(TB_OP_ONE);
#undef TB_OP_ONE

std::u16string_view op_name(Op op);
std::optional<Op> op_from_name(std::u16string_view name);

struct SheetRef {
    std::size_t workbook = 0;
    std::size_t sheet = 0;
    friend bool operator==(const SheetRef&, const SheetRef&) = default;
};

// A rectangle of cells, rows and columns counted from 1, bounds included.
struct Rect {
    std::uint32_t top = 1;
    std::uint32_t left = 1;
    std::uint32_t bottom = 1;
    std::uint32_t right = 1;
    std::uint64_t rows() const { return std::uint64_t{bottom} - top + 1; }
    std::uint64_t columns() const { return std::uint64_t{right} - left + 1; }
    std::uint64_t area() const { return rows() * columns(); }
    bool contains(std::uint32_t row, std::uint32_t column) const {
        return row >= top && row <= bottom && column >= left && column <= right;
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A reference: a rectangle on a sheet.
struct Area {
    SheetRef sheet;
    Rect rect;
};

// The common part of two rectangles, if any.
std::optional<Rect> intersect(const Rect& a, const Rect& b);

// How a range object counts and enumerates: cells, or its rows or columns as units.
enum class RangeMode : std::uint8_t { Cells, Rows, Columns };

// The largest array the stand-in builds for a range's value; Excel runs out of memory too.
inline constexpr std::uint64_t max_value_cells = std::uint64_t{1} << 22;

// A recalculation: formula cells are evaluated when their value is first read, in whatever
// order the reads come (so dependencies first), and keep their result until it ends.
struct Recalculation {
    FunctionResolver resolver;
    struct CellId {
        SheetRef sheet;
        std::uint64_t key;
        friend bool operator==(const CellId&, const CellId&) = default;
    };
    struct CellIdHash {
        std::size_t operator()(const CellId& id) const noexcept {
            return std::hash<std::uint64_t>()(id.key ^ (std::uint64_t{id.sheet.sheet} << 20) ^
                                              (std::uint64_t{id.sheet.workbook} << 40));
        }
    };
    enum class Status : std::uint8_t { Computing, Done };
    std::unordered_map<CellId, Status, CellIdHash> status;
    std::vector<CellId> computing;                    // the cells being evaluated, outermost first
    std::unordered_set<CellId, CellIdHash> circular;  // cells on a cycle; their result is 0
    std::vector<std::string> problems;
    // What the formula cell being evaluated could not compute (unsupported functions, unknown
    // names), noted when it is done.
    std::vector<std::string> cannot_compute;
};

struct State : std::enable_shared_from_this<State> {
    explicit State(Profile p);

    Profile profile;
    std::uint32_t max_rows;
    std::uint32_t max_columns;
    // The longest text REPT gives; longer is #VALUE!.
    std::size_t cell_text_limit = 32767;

    std::vector<std::unique_ptr<WorkbookData>> workbooks;
    std::optional<SheetRef> active;
    // Bumped whenever the workbooks may have changed; drops cached used ranges.
    std::uint64_t generation = 0;

    // --- instrumentation ---
    std::array<std::uint64_t, op_count> calls{};
    struct Fault {
        Op op;
        std::uint64_t at;  // the value of calls[op] at which the call fails
        std::int32_t hresult;
    };
    std::vector<Fault> faults;
    std::array<bool, op_count> unknown{};
    std::int64_t live = 0;
    std::map<std::uint32_t, EventSink*> sinks;
    std::uint32_t next_cookie = 1;
    std::map<std::u16string, std::uint64_t, std::less<>> events;
    std::unique_ptr<Recalculation> recalc;  // while a recalculation runs
    // What opening workbooks noted, until take_problems() hands it out.
    std::vector<std::string> notes;

    // The choke point of every counted call: finds the operation a member name means on an
    // object (failing for a name it does not have), counts the call, then fails it when a fault
    // is due or the member is unknown in this host.
    Op enter(std::u16string_view object, std::u16string_view member);
    void enter(Op op);

    Rect grid() const { return Rect{1, 1, max_rows, max_columns}; }
    SheetData& sheet(SheetRef ref);  // fails when the sheet no longer exists
    std::optional<CellData> cell(SheetRef ref, std::uint32_t row, std::uint32_t column);
    // The bounding rectangle of the cells that hold something; A1 for an empty sheet.
    Rect used_range(SheetRef ref);
    // A sheet of a workbook by name (case-insensitive).
    std::optional<SheetRef> find_sheet(std::size_t workbook, std::u16string_view name) const;
    // Hands an event to every connected sink (a sink's failure is ignored, as Excel does).
    void raise(std::u16string_view event, std::span<const Value> args);

  private:
    struct UsedCache {
        std::uint64_t generation;
        std::size_t size;
        Rect rect;
    };
    std::unordered_map<const SheetData*, UsedCache> used_;
};

// Object factories; each gives a new counted reference.
ObjectRef make_application(const std::shared_ptr<State>& state);
ObjectRef make_workbook(const std::shared_ptr<State>& state, std::size_t workbook);
ObjectRef make_range(const std::shared_ptr<State>& state, const Area& area,
                     RangeMode mode = RangeMode::Cells);
// A range of several areas on one sheet, as the union operator gives it.
ObjectRef make_range(const std::shared_ptr<State>& state, std::vector<Area> areas);
// The (first) area of a range object handed out by a stand-in Excel, or nothing for any other
// object; areas_of gives every area.
std::optional<Area> area_of(HostObject* object);
std::vector<Area> areas_of(HostObject* object);

// During a recalculation, evaluates the formula cells of the area not yet evaluated in it;
// otherwise does nothing (cells keep the results they were saved with).
void settle_formulas(State& state, const Area& area);
// "Sheet1!B3", or "'My Sheet'!B3" for names that need quotes.
std::u16string cell_name(std::u16string_view sheet, std::uint32_t row, std::uint32_t column);

// A cell's value: raw (Value2), or typed (Value: dates and currency per the number format, a
// date serial read in the workbook's date system).
Value cell_value(const CellData* cell, bool typed, bool date1904 = false);
// Whether the sheet's workbook counts dates from 1904 (its serial 0 is 1 January 1904).
bool in_1904_system(const State& state, SheetRef sheet);
inline Value cell_value(const std::optional<CellData>& cell, bool typed, bool date1904 = false) {
    return cell_value(cell ? &*cell : nullptr, typed, date1904);
}
// The value of an area: one cell's value, or a 2-D array (lower bounds 1) for several cells.
// Fails with out of memory past max_value_cells.
Value area_value(State& state, const Area& area, bool typed);

// "A", "Z", "AA", … "XFD".
std::u16string column_letters(std::uint32_t column);
// "$A$1" or "$A$1:$C$3".
std::u16string address_text(const Rect& rect);

}  // namespace tb::standin
