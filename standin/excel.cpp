#include "standin/excel.h"

#include <cstdint>
#include <utility>

#include "standin/formula.h"
#include "standin/model.h"
#include "standin/number_format.h"

namespace tb::standin {

namespace {

Op operation(std::u16string_view name) {
    auto op = op_from_name(name);
    if (!op) fail(hr::invalid_arg, "no such host operation: " + utf8(name));
    return *op;
}

}  // namespace

Excel::Excel(Profile profile) : state_(std::make_shared<State>(profile)) {}
Excel::~Excel() = default;

Profile Excel::profile() const {
    return state_->profile;
}
std::uint32_t Excel::max_rows() const {
    return state_->max_rows;
}
std::uint32_t Excel::max_columns() const {
    return state_->max_columns;
}

void Excel::set_cell_text_limit(std::optional<std::size_t> limit) {
    state_->cell_text_limit = limit.value_or(SIZE_MAX);
}

ObjectRef Excel::application() {
    return make_application(state_);
}

void Excel::open(WorkbookData data) {
    if (data.sheets.empty()) data.sheets.push_back(SheetData{u"Sheet1", {}});
    for (std::string& note : data.notes)
        state_->notes.push_back(std::move(note));
    data.notes.clear();
    state_->workbooks.push_back(std::make_unique<WorkbookData>(std::move(data)));
    ++state_->generation;
    if (!state_->active) state_->active = SheetRef{0, 0};
    const Value workbook = Value::object(make_workbook(state_, state_->workbooks.size() - 1));
    state_->raise(u"WorkbookOpen", std::span<const Value>(&workbook, 1));
}

void Excel::add_new_workbook() {
    WorkbookData data;
    data.name = u"Book" + utf16(std::to_string(state_->workbooks.size() + 1));
    data.sheets.push_back(SheetData{u"Sheet1", {}});
    state_->workbooks.push_back(std::make_unique<WorkbookData>(std::move(data)));
    ++state_->generation;
    if (!state_->active) state_->active = SheetRef{0, 0};
    const Value workbook = Value::object(make_workbook(state_, state_->workbooks.size() - 1));
    state_->raise(u"NewWorkbook", std::span<const Value>(&workbook, 1));
}

WorkbookData& Excel::workbook(std::size_t index) {
    if (index >= state_->workbooks.size()) fail(hr::bad_index, "no such workbook");
    // The caller may change the cells through this reference: cached used ranges go.
    ++state_->generation;
    return *state_->workbooks[index];
}

std::size_t Excel::workbook_count() const {
    return state_->workbooks.size();
}

void Excel::set_active_sheet(std::size_t workbook, std::size_t sheet) {
    if (workbook >= state_->workbooks.size() || sheet >= state_->workbooks[workbook]->sheets.size())
        fail(hr::bad_index, "no such sheet");
    state_->active = SheetRef{workbook, sheet};
}

Value Excel::evaluate(std::u16string_view formula, const FunctionResolver& resolver) {
    if (state_->recalc) {
        return evaluate_for_cell(state_, formula, resolver ? resolver : state_->recalc->resolver);
    }
    begin_recalculation(resolver);
    try {
        Value result = evaluate_for_cell(state_, formula, resolver);
        end_recalculation();
        return result;
    } catch (...) {
        end_recalculation();
        throw;
    }
}

void Excel::begin_recalculation(FunctionResolver resolver) {
    state_->recalc = std::make_unique<Recalculation>();
    state_->recalc->resolver = std::move(resolver);
}

void Excel::end_recalculation() {
    state_->recalc.reset();
}

Value Excel::cell_value(std::size_t workbook, std::size_t sheet, std::uint32_t row,
                        std::uint32_t column) {
    const SheetRef ref{workbook, sheet};
    settle_formulas(*state_, Area{ref, Rect{row, column, row, column}});
    return standin::cell_value(state_->cell(ref, row, column), false);
}

std::vector<std::string> Excel::take_problems() {
    std::vector<std::string> problems = std::exchange(state_->notes, {});
    if (state_->recalc) {
        for (std::string& problem : state_->recalc->problems)
            problems.push_back(std::move(problem));
        state_->recalc->problems.clear();
    }
    return problems;
}

ObjectRef Excel::range(std::u16string_view reference) {
    if (auto area = parse_reference(*state_, reference)) return make_range(state_, *area);
    std::vector<Area> areas;
    if (state_->active) areas = name_areas(state_, reference, *state_->active);
    if (areas.empty())
        fail(hr::invalid_arg,
             "neither a reference on an open sheet nor a name: " + utf8(reference));
    return make_range(state_, std::move(areas));
}

void Excel::changed() {
    ++state_->generation;
}

std::u16string Excel::display_text(const Value& value, std::u16string_view format) {
    return format_cell_text(value, format);
}

std::uint64_t Excel::calls(std::u16string_view operation_name) const {
    return state_->calls[static_cast<std::size_t>(operation(operation_name))];
}

std::uint64_t Excel::total_calls() const {
    std::uint64_t total = 0;
    for (std::uint64_t n : state_->calls)
        total += n;
    return total;
}

std::vector<std::u16string> Excel::operations() const {
    std::vector<std::u16string> names;
    for (std::size_t i = 0; i < op_count; ++i)
        names.emplace_back(op_name(static_cast<Op>(i)));
    return names;
}

void Excel::reset_counts() {
    state_->calls.fill(0);
}

std::int64_t Excel::live_objects() const {
    return state_->live;
}

void Excel::fail_call(std::u16string_view operation_name, std::uint64_t nth, std::int32_t hresult) {
    const Op op = operation(operation_name);
    if (nth == 0) fail(hr::invalid_arg, "calls are counted from 1");
    state_->faults.push_back(
        State::Fault{op, state_->calls[static_cast<std::size_t>(op)] + nth, hresult});
}

void Excel::make_unknown(std::u16string_view operation_name) {
    state_->unknown[static_cast<std::size_t>(operation(operation_name))] = true;
}

void Excel::clear_faults() {
    state_->faults.clear();
    state_->unknown.fill(false);
}

std::uint64_t Excel::events_raised(std::u16string_view name) const {
    auto found = state_->events.find(name);
    return found == state_->events.end() ? 0 : found->second;
}

std::size_t Excel::connected_sinks() const {
    return state_->sinks.size();
}

}  // namespace tb::standin
