// The stand-in's object model: Application, Workbooks, Workbook, Sheets, Worksheet and Range,
// each a counted host object over the shared state. Every member the add-in reads goes through
// State::enter, which counts the call and applies the faults a test asked for.
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <utility>

#include "core/host/serial_date.h"
#include "standin/formula.h"
#include "standin/model.h"
#include "standin/number_format.h"

namespace tb::standin {

namespace {

// One row of the operations table: what the operation is called and which names call it.
struct Member {
    std::u16string_view name;  // "Object.Member"
    std::u16string_view object;
    std::u16string_view member;
    std::u16string_view also;
    bool is_default;
};

constexpr std::array<Member, op_count> members = {{
#define TB_OP_MEMBER(object, member, also, is_default) \
    Member{u"" #object "." #member, u"" #object, u"" #member, also, is_default},
    TB_STANDIN_OPERATIONS(TB_OP_MEMBER)
#undef TB_OP_MEMBER
}};

bool cell_holds_something(const CellData& cell) {
    return !cell.value.is_empty() || cell.formula || cell.format != u"General";
}

}  // namespace

std::u16string_view op_name(Op op) {
    return members[static_cast<std::size_t>(op)].name;
}

std::optional<Op> op_from_name(std::u16string_view name) {
    for (std::size_t i = 0; i < op_count; ++i)
        if (iequals(members[i].name, name)) return static_cast<Op>(i);
    return std::nullopt;
}

std::optional<Rect> intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.top, b.top), std::max(a.left, b.left), std::min(a.bottom, b.bottom),
           std::min(a.right, b.right)};
    if (r.top > r.bottom || r.left > r.right) return std::nullopt;
    return r;
}

// --- State -------------------------------------------------------------------------------

State::State(Profile p)
    : profile(p),
      max_rows(p == Profile::Modern ? 1048576u : 65536u),
      max_columns(p == Profile::Modern ? 16384u : 256u) {}

Op State::enter(std::u16string_view object, std::u16string_view member) {
    for (std::size_t i = 0; i < op_count; ++i) {
        const Member& m = members[i];
        if (m.object != object) continue;
        const bool named = member.empty() ? m.is_default
                                          : iequals(member, m.member) ||
                                                (!m.also.empty() && iequals(member, m.also));
        if (named) {
            enter(static_cast<Op>(i));
            return static_cast<Op>(i);
        }
    }
    fail(hr::unknown_name, "unknown member " + utf8(member));
}

void State::enter(Op op) {
    const auto index = static_cast<std::size_t>(op);
    const std::uint64_t n = ++calls[index];
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->op == op && it->at == n) {
            const std::int32_t hresult = it->hresult;
            faults.erase(it);
            fail(hresult, "injected failure of " + utf8(op_name(op)));
        }
    }
    const bool absent = unknown[index] || (op == Op::RangeCountLarge && profile == Profile::Legacy);
    if (absent) fail(hr::unknown_name, "unknown member " + utf8(op_name(op)));
}

SheetData& State::sheet(SheetRef ref) {
    if (ref.workbook >= workbooks.size() || ref.sheet >= workbooks[ref.workbook]->sheets.size())
        fail(hr::exception, "the sheet no longer exists");
    return workbooks[ref.workbook]->sheets[ref.sheet];
}

std::optional<CellData> State::cell(SheetRef ref, std::uint32_t row, std::uint32_t column) {
    return sheet(ref).find(row, column);
}

Rect State::used_range(SheetRef ref) {
    const SheetData& data = sheet(ref);
    auto found = used_.find(&data);
    if (found != used_.end() && found->second.generation == generation &&
        found->second.size == data.cells.size())
        return found->second.rect;
    std::optional<Rect> box;
    for (const auto& [key, cell] : data.cells) {
        if (!cell_holds_something(cell)) continue;
        const auto row = static_cast<std::uint32_t>(key >> 32);
        const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
        if (!box) {
            box = Rect{row, column, row, column};
        } else {
            box->top = std::min(box->top, row);
            box->bottom = std::max(box->bottom, row);
            box->left = std::min(box->left, column);
            box->right = std::max(box->right, column);
        }
    }
    const Rect rect = box.value_or(Rect{});
    used_[&data] = UsedCache{generation, data.cells.size(), rect};
    return rect;
}

std::optional<SheetRef> State::find_sheet(std::size_t workbook, std::u16string_view name) const {
    if (workbook >= workbooks.size()) return std::nullopt;
    const auto& sheets = workbooks[workbook]->sheets;
    for (std::size_t i = 0; i < sheets.size(); ++i)
        if (to_upper(sheets[i].name) == to_upper(name)) return SheetRef{workbook, i};
    return std::nullopt;
}

void State::raise(std::u16string_view event, std::span<const Value> args) {
    auto counted = events.find(event);
    if (counted == events.end()) counted = events.emplace(std::u16string(event), 0).first;
    ++counted->second;
    // A sink may disconnect itself (or another) while handling the event.
    std::vector<std::pair<std::uint32_t, EventSink*>> targets(sinks.begin(), sinks.end());
    for (const auto& [cookie, sink] : targets) {
        if (!sinks.contains(cookie)) continue;
        try {
            sink->on_event(event, args);
        } catch (const std::exception&) {
            // Excel ignores what an event handler reports.
        }
    }
}

// --- values and addresses ----------------------------------------------------------------

Value cell_value(const CellData* cell, bool typed, bool date1904) {
    if (!cell) return Value();
    const Value& v = cell->value;
    if (!typed || v.kind() != Kind::Double) return v;
    const double d = v.to_number();
    if (is_date_format(cell->format) && d >= 0 && d < static_cast<double>(last_serial + 1)) {
        // The date handed out is the one the serial stands for in the workbook's date system.
        return Value::date(date1904 ? d + date1904_offset : ole_of_serial(d));
    }
    if (is_currency_format(cell->format)) {
        const double scaled = std::round(d * 10000);
        if (std::fabs(scaled) < 9.2e18) return Value::currency(static_cast<std::int64_t>(scaled));
    }
    return v;
}

bool in_1904_system(const State& state, SheetRef sheet) {
    return sheet.workbook < state.workbooks.size() && state.workbooks[sheet.workbook]->date1904;
}

Value area_value(State& state, const Area& area, bool typed) {
    settle_formulas(state, area);
    const Rect& r = area.rect;
    const bool date1904 = in_1904_system(state, area.sheet);
    if (r.area() == 1) return cell_value(state.cell(area.sheet, r.top, r.left), typed, date1904);
    if (r.area() > max_value_cells) fail(hr::out_of_memory, "the range is too large for an array");
    const auto rows = static_cast<std::uint32_t>(r.rows());
    const auto columns = static_cast<std::uint32_t>(r.columns());
    std::vector<Value> elements(static_cast<std::size_t>(r.area()));
    const SheetData& data = state.sheet(area.sheet);
    auto place = [&](std::uint32_t row, std::uint32_t column, const CellData& cell) {
        const std::size_t at = std::size_t{row - r.top} * columns + (column - r.left);
        elements[at] = cell_value(&cell, typed, date1904);
    };
    if (data.cells.size() < r.area()) {
        for (const auto& [key, cell] : data.cells) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
            if (r.contains(row, column)) place(row, column, cell);
        }
    } else {
        for (std::uint32_t row = r.top; row <= r.bottom; ++row)
            for (std::uint32_t column = r.left; column <= r.right; ++column)
                if (const auto cell = data.find(row, column)) place(row, column, *cell);
    }
    return Value::array(Array::grid(rows, columns, std::move(elements)));
}

std::u16string column_letters(std::uint32_t column) {
    std::u16string letters;
    while (column > 0) {
        const std::uint32_t digit = (column - 1) % 26;
        letters.insert(letters.begin(), static_cast<char16_t>(u'A' + digit));
        column = (column - 1) / 26;
    }
    return letters;
}

std::u16string address_text(const Rect& rect) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on chains of string operator+.
    std::u16string text;
    auto add = [&text](std::uint32_t row, std::uint32_t column) {
        text += u'$';
        text += column_letters(column);
        text += u'$';
        text += utf16(std::to_string(row));
    };
    add(rect.top, rect.left);
    if (rect.area() > 1) {
        text += u':';
        add(rect.bottom, rect.right);
    }
    return text;
}

// --- objects -----------------------------------------------------------------------------

namespace {

// The common part of every object: the intrusive count, the live-object count and the
// shared state, which keeps the objects safe after the Excel itself is gone.
class Object : public HostObject {
  public:
    explicit Object(std::shared_ptr<State> state) : state_(std::move(state)) { ++state_->live; }
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void add_ref() noexcept override { ++refs_; }
    void release() noexcept override {
        if (--refs_ == 0) {
            --state_->live;
            delete this;
        }
    }
    ObjectRef query(const Guid& iid) override {
        if (answers(iid)) return ObjectRef::share(this);
        fail(hr::no_interface, "no such interface");
    }
    std::uint32_t connect_events(const Guid&, EventSink&) override {
        fail(hr::no_interface, "the object has no event source");
    }
    void disconnect_events(std::uint32_t) override {
        fail(hr::no_interface, "the object has no event source");
    }

  protected:
    virtual bool answers(const Guid&) const { return false; }
    State& state() { return *state_; }
    const std::shared_ptr<State>& shared() const { return state_; }

  private:
    std::shared_ptr<State> state_;
    std::uint32_t refs_ = 1;
};

[[noreturn]] void unknown_member(std::u16string_view member) {
    fail(hr::unknown_name, "unknown member " + utf8(member));
}

void expect_args(std::span<const Value> args, std::size_t most) {
    if (args.size() > most) fail(hr::bad_param_count, "too many arguments");
}

// An index argument as Excel reads it: any number kind, rounded to a whole number.
std::optional<std::int64_t> index_of(const Value& v) {
    if (v.is_number_kind() || v.is_boolean() || v.is_date()) {
        const double x = v.to_number();
        // A whole number, the usual index, needs no rounding (a library call on some targets).
        if (std::fabs(x) <= 9e15 && static_cast<double>(static_cast<std::int64_t>(x)) == x)
            return static_cast<std::int64_t>(x);
        const double d = std::nearbyint(x);
        if (std::fabs(d) > 9e15) fail(hr::overflow, "index out of range");
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

class RangeObject;

class WorksheetObject final : public Object {
  public:
    WorksheetObject(std::shared_ptr<State> s, SheetRef sheet)
        : Object(std::move(s)), sheet_(sheet) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override;

  private:
    SheetRef sheet_;
};

// A range: one area, or several on one sheet (the union operator's result). As in Excel, a
// range of several areas counts the cells of all of them, and everything else (Cells(r, c),
// Rows, Columns, Value, Text) is about its first area; Areas gives each.
class RangeObject final : public Object {
  public:
    RangeObject(std::shared_ptr<State> s, const Area& area, RangeMode mode)
        : Object(std::move(s)), area_(area), mode_(mode) {}
    RangeObject(std::shared_ptr<State> s, std::vector<Area> areas)
        : Object(std::move(s)), area_(areas.front()), mode_(RangeMode::Cells) {
        more_.assign(areas.begin() + 1, areas.end());
    }

    const Area& area() const { return area_; }
    std::vector<Area> areas() const {
        std::vector<Area> all{area_};
        all.insert(all.end(), more_.begin(), more_.end());
        return all;
    }
    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override;

  private:
    bool answers(const Guid& iid) const override { return iid == iid::range; }
    Value count(bool large);
    Value text();

    Area area_;
    std::vector<Area> more_;  // the areas after the first
    RangeMode mode_;
};

// Range.Areas: Count, and Item(n) (or the default member) for the nth area from 1.
class AreasObject final : public Object {
  public:
    AreasObject(std::shared_ptr<State> s, std::vector<Area> areas)
        : Object(std::move(s)), areas_(std::move(areas)) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        switch (state().enter(u"Areas", member)) {
            case Op::AreasCount:
                expect_args(args, 0);
                return Value::long_(static_cast<std::int32_t>(areas_.size()));
            case Op::AreasItem: {
                expect_args(args, 1);
                auto n = args.empty() ? std::nullopt : index_of(args[0]);
                if (!n) fail(hr::type_mismatch, "Areas.Item takes a number");
                if (*n < 1 || static_cast<std::uint64_t>(*n) > areas_.size())
                    fail(hr::bad_index, "no such area");
                return Value::object(
                    make_range(shared(), areas_[static_cast<std::size_t>(*n - 1)]));
            }
            default:
                unknown_member(member);
        }
    }

  private:
    std::vector<Area> areas_;
};

// Cells(), Cells(r, c) or Cells(n) of a rectangle, as Excel addresses them: relative to the
// top-left cell, allowed beyond the rectangle but not beyond the grid.
Value cells_of(const std::shared_ptr<State>& state, const Area& area, std::span<const Value> args) {
    expect_args(args, 2);
    const bool none = args.empty() || (args.size() == 1 && args[0].is_missing()) ||
                      (args.size() == 2 && args[0].is_missing() && args[1].is_missing());
    if (none) return Value::object(make_range(state, area));
    const Rect& r = area.rect;
    std::int64_t row = 0;
    std::int64_t column = 0;
    auto column_arg = [&](const Value& v) -> std::int64_t {
        if (auto n = index_of(v)) return *n;
        if (v.is_string()) {
            std::int64_t c = 0;
            for (char16_t ch : to_upper(v.string_value())) {
                if (ch < u'A' || ch > u'Z' || c > 100000) fail(hr::exception, "bad column");
                c = c * 26 + (ch - u'A' + 1);
            }
            if (c > 0) return c;
        }
        fail(hr::type_mismatch, "column index is not a number");
    };
    if (args.size() == 2 && !args[1].is_missing()) {
        auto r_index = args[0].is_missing() ? std::optional<std::int64_t>(1) : index_of(args[0]);
        if (!r_index) fail(hr::type_mismatch, "row index is not a number");
        row = r.top + *r_index - 1;
        column = r.left + column_arg(args[1]) - 1;
    } else {
        auto n = index_of(args[0]);
        if (!n) fail(hr::type_mismatch, "cell index is not a number");
        const auto width = static_cast<std::int64_t>(r.columns());
        const std::int64_t k = *n - 1;
        const std::int64_t down = k >= 0 ? k / width : -((-k + width - 1) / width);
        row = r.top + down;
        column = r.left + (k - down * width);
    }
    if (row < 1 || column < 1 || row > state->max_rows || column > state->max_columns)
        fail(hr::exception, "cell outside the sheet");
    const auto r32 = static_cast<std::uint32_t>(row);
    const auto c32 = static_cast<std::uint32_t>(column);
    return Value::object(make_range(state, Area{area.sheet, Rect{r32, c32, r32, c32}}));
}

Value WorksheetObject::invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) {
    State& s = state();
    switch (s.enter(u"Worksheet", member)) {
        case Op::WorksheetCells:
            return cells_of(shared(), Area{sheet_, s.grid()}, args);
        case Op::WorksheetUsedRange:
            expect_args(args, 0);
            return Value::object(make_range(shared(), Area{sheet_, s.used_range(sheet_)}));
        case Op::WorksheetName:
            expect_args(args, 0);
            return Value::string(s.sheet(sheet_).name);
        case Op::WorksheetRange: {
            expect_args(args, 1);
            if (args.empty() || !args[0].is_string()) fail(hr::type_mismatch, "address expected");
            const std::u16string& text = args[0].string_value();
            if (auto rect = parse_address(text, s.max_rows, s.max_columns))
                return Value::object(make_range(shared(), Area{sheet_, *rect}));
            // A defined name, as long as it refers to cells of this sheet.
            std::vector<Area> areas = name_areas(shared(), text, sheet_);
            if (areas.empty() || !(areas.front().sheet == sheet_))
                fail(hr::exception, "neither an address nor a name of this sheet's cells");
            return Value::object(make_range(shared(), std::move(areas)));
        }
        default:
            unknown_member(member);
    }
}

Value RangeObject::count(bool large) {
    const Rect& r = area_.rect;
    std::uint64_t n = mode_ == RangeMode::Rows      ? r.rows()
                      : mode_ == RangeMode::Columns ? r.columns()
                                                    : r.area();
    if (mode_ == RangeMode::Cells)
        for (const Area& more : more_)
            n += more.rect.area();
    if (large) return Value::number(static_cast<double>(n));
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        fail(hr::overflow, "the count does not fit a 32-bit integer");
    return Value::long_(static_cast<std::int32_t>(n));
}

// The displayed text of the top-left cell; for several cells, that text when every cell shows
// the same, otherwise null.
Value RangeObject::text() {
    State& s = state();
    settle_formulas(s, area_);
    const Rect& r = area_.rect;
    const bool date1904 = in_1904_system(s, area_.sheet);
    auto shown = [date1904](const std::optional<CellData>& cell) {
        return cell ? format_cell_text(cell->value, cell->format, date1904) : std::u16string();
    };
    const std::u16string first = shown(s.cell(area_.sheet, r.top, r.left));
    if (r.area() == 1) return Value::string(first);
    const SheetData& data = s.sheet(area_.sheet);
    std::uint64_t stored = 0;
    bool same = true;
    if (data.cells.size() < r.area()) {
        for (const auto& [key, cell] : data.cells) {
            const auto row = static_cast<std::uint32_t>(key >> 32);
            const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
            if (!r.contains(row, column)) continue;
            ++stored;
            if (shown(cell) != first) same = false;
        }
        if (stored < r.area() && !first.empty()) same = false;
    } else {
        for (std::uint32_t row = r.top; row <= r.bottom && same; ++row)
            for (std::uint32_t column = r.left; column <= r.right && same; ++column)
                if (shown(data.find(row, column)) != first) same = false;
    }
    return same ? Value::string(first) : Value::null();
}

Value RangeObject::invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) {
    State& s = state();
    const Op op = s.enter(u"Range", member);
    switch (op) {
        case Op::RangeValue:
            expect_args(args, 1);
            return area_value(s, area_, true);
        case Op::RangeValue2:
            expect_args(args, 0);
            return area_value(s, area_, false);
        case Op::RangeText:
            expect_args(args, 0);
            return text();
        case Op::RangeCells:
            if (!more_.empty() && (args.empty() || (args.size() == 1 && args[0].is_missing())))
                return Value::object(make_range(shared(), areas()));
            return cells_of(shared(), area_, args);
        case Op::RangeAreas:
            expect_args(args, 0);
            return Value::object(ObjectRef::adopt(new AreasObject(shared(), areas())));
        case Op::RangeCount:
        case Op::RangeCountLarge:
            expect_args(args, 0);
            return count(op == Op::RangeCountLarge);
        case Op::RangeRows:
        case Op::RangeColumns:
            expect_args(args, 0);
            return Value::object(make_range(
                shared(), area_, op == Op::RangeRows ? RangeMode::Rows : RangeMode::Columns));
        case Op::RangeWorksheet:
            expect_args(args, 0);
            s.sheet(area_.sheet);
            return Value::object(ObjectRef::adopt(new WorksheetObject(shared(), area_.sheet)));
        case Op::RangeAddress: {
            std::u16string text = address_text(area_.rect);
            for (const Area& more : more_) {
                text += u',';
                text += address_text(more.rect);
            }
            return Value::string(text);
        }
        case Op::RangeRow:
        case Op::RangeColumn:
            expect_args(args, 0);
            return Value::long_(
                static_cast<std::int32_t>(op == Op::RangeRow ? area_.rect.top : area_.rect.left));
        default:
            unknown_member(member);
    }
}

class SheetsObject final : public Object {
  public:
    SheetsObject(std::shared_ptr<State> s, std::size_t workbook)
        : Object(std::move(s)), workbook_(workbook) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        State& s = state();
        if (workbook_ >= s.workbooks.size()) fail(hr::exception, "the workbook is closed");
        const auto& sheets = s.workbooks[workbook_]->sheets;
        switch (s.enter(u"Sheets", member)) {
            case Op::SheetsCount:
                expect_args(args, 0);
                return Value::long_(static_cast<std::int32_t>(sheets.size()));
            case Op::SheetsItem: {
                expect_args(args, 1);
                if (args.empty() || args[0].is_missing())
                    fail(hr::param_not_found, "index expected");
                std::optional<SheetRef> ref;
                if (auto n = index_of(args[0])) {
                    if (*n >= 1 && static_cast<std::uint64_t>(*n) <= sheets.size())
                        ref = SheetRef{workbook_, static_cast<std::size_t>(*n - 1)};
                } else if (args[0].is_string()) {
                    ref = s.find_sheet(workbook_, args[0].string_value());
                } else {
                    fail(hr::type_mismatch, "index is neither a number nor a name");
                }
                if (!ref) fail(hr::bad_index, "no such sheet");
                return Value::object(ObjectRef::adopt(new WorksheetObject(shared(), *ref)));
            }
            default:
                unknown_member(member);
        }
    }

  private:
    std::size_t workbook_;
};

class WorkbookObject final : public Object {
  public:
    WorkbookObject(std::shared_ptr<State> s, std::size_t workbook)
        : Object(std::move(s)), workbook_(workbook) {}

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        State& s = state();
        switch (s.enter(u"Workbook", member)) {
            case Op::WorkbookWorksheets:
                expect_args(args, 0);
                return Value::object(ObjectRef::adopt(new SheetsObject(shared(), workbook_)));
            case Op::WorkbookName:
                expect_args(args, 0);
                if (workbook_ >= s.workbooks.size()) fail(hr::exception, "the workbook is closed");
                return Value::string(s.workbooks[workbook_]->name);
            default:
                unknown_member(member);
        }
    }

  private:
    bool answers(const Guid& iid) const override { return iid == iid::workbook; }
    std::size_t workbook_;
};

class WorkbooksObject final : public Object {
  public:
    using Object::Object;

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        State& s = state();
        switch (s.enter(u"Workbooks", member)) {
            case Op::WorkbooksCount:
                expect_args(args, 0);
                return Value::long_(static_cast<std::int32_t>(s.workbooks.size()));
            case Op::WorkbooksItem: {
                expect_args(args, 1);
                if (args.empty() || args[0].is_missing())
                    fail(hr::param_not_found, "index expected");
                std::optional<std::size_t> found;
                if (auto n = index_of(args[0])) {
                    if (*n >= 1 && static_cast<std::uint64_t>(*n) <= s.workbooks.size())
                        found = static_cast<std::size_t>(*n - 1);
                } else if (args[0].is_string()) {
                    for (std::size_t i = 0; i < s.workbooks.size() && !found; ++i)
                        if (to_upper(s.workbooks[i]->name) == to_upper(args[0].string_value()))
                            found = i;
                } else {
                    fail(hr::type_mismatch, "index is neither a number nor a name");
                }
                if (!found) fail(hr::bad_index, "no such workbook");
                return Value::object(make_workbook(shared(), *found));
            }
            default:
                unknown_member(member);
        }
    }
};

class ApplicationObject final : public Object {
  public:
    using Object::Object;

    Value invoke(std::u16string_view member, InvokeKind, std::span<const Value> args) override {
        switch (state().enter(u"Application", member)) {
            case Op::ApplicationWorkbooks:
                expect_args(args, 0);
                return Value::object(ObjectRef::adopt(new WorkbooksObject(shared())));
            case Op::ApplicationEvaluate:
                expect_args(args, 1);
                if (args.empty() || args[0].is_missing())
                    fail(hr::param_not_found, "formula expected");
                if (args[0].is_error() || args[0].is_object() || args[0].is_array() ||
                    args[0].is_null())
                    fail(hr::type_mismatch, "the formula is not a text");
                return evaluate_for_application(shared(), args[0].to_text());
            case Op::ApplicationIntersect:
                return intersect_ranges(args);
            default:
                unknown_member(member);
        }
    }

    std::uint32_t connect_events(const Guid& source, EventSink& sink) override {
        if (!(source == iid::app_events)) fail(hr::no_interface, "no such event source");
        State& s = state();
        const std::uint32_t cookie = s.next_cookie++;
        s.sinks.emplace(cookie, &sink);
        return cookie;
    }
    void disconnect_events(std::uint32_t cookie) override {
        // CONNECT_E_NOCONNECTION, as a connection point answers an unknown cookie.
        constexpr auto no_connection = static_cast<std::int32_t>(0x80040200);
        if (state().sinks.erase(cookie) == 0) fail(no_connection, "no such connection");
    }

  private:
    bool answers(const Guid& iid) const override { return iid == iid::application; }

    // Intersect(r1, r2, …): the ranges common part, or no object (an empty object reference)
    // when they share no cell. Omitted arguments are skipped.
    Value intersect_ranges(std::span<const Value> args) {
        expect_args(args, 30);
        std::vector<Area> areas;
        for (const Value& arg : args) {
            if (arg.is_missing()) continue;
            std::optional<Area> area;
            if (arg.is_object() && arg.object_value()) area = area_of(arg.object_value().get());
            if (!area) fail(hr::type_mismatch, "Intersect takes ranges");
            areas.push_back(*area);
        }
        if (areas.size() < 2) fail(hr::param_not_found, "Intersect needs at least two ranges");
        std::optional<Rect> common = areas.front().rect;
        for (const Area& area : areas) {
            if (!(area.sheet == areas.front().sheet))
                fail(hr::exception, "Intersect of ranges on different sheets");
            if (common) common = intersect(*common, area.rect);
        }
        if (!common) return Value::object(ObjectRef());
        return Value::object(make_range(shared(), Area{areas.front().sheet, *common}));
    }
};

}  // namespace

ObjectRef make_application(const std::shared_ptr<State>& state) {
    return ObjectRef::adopt(new ApplicationObject(state));
}

ObjectRef make_workbook(const std::shared_ptr<State>& state, std::size_t workbook) {
    return ObjectRef::adopt(new WorkbookObject(state, workbook));
}

ObjectRef make_range(const std::shared_ptr<State>& state, const Area& area, RangeMode mode) {
    return ObjectRef::adopt(new RangeObject(state, area, mode));
}

ObjectRef make_range(const std::shared_ptr<State>& state, std::vector<Area> areas) {
    if (areas.empty()) fail(hr::invalid_arg, "a range needs an area");
    return ObjectRef::adopt(new RangeObject(state, std::move(areas)));
}

std::optional<Area> area_of(HostObject* object) {
    if (auto* range = dynamic_cast<RangeObject*>(object)) return range->area();
    return std::nullopt;
}

std::vector<Area> areas_of(HostObject* object) {
    if (auto* range = dynamic_cast<RangeObject*>(object)) return range->areas();
    return {};
}

std::u16string cell_name(std::u16string_view sheet, std::uint32_t row, std::uint32_t column) {
    const bool plain = !sheet.empty() && std::all_of(sheet.begin(), sheet.end(), [](char16_t c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               c == u'_' || c == u'.';
    });
    std::u16string name;
    if (plain) {
        name = sheet;
    } else {
        name = u"'";
        for (char16_t c : sheet) {
            name += c;
            if (c == u'\'') name += c;
        }
        name += u"'";
    }
    name += u"!";
    name += column_letters(column);
    name += utf16(std::to_string(row));
    return name;
}

}  // namespace tb::standin
