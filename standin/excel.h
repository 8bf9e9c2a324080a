// A stand-in Excel: the part of Excel's object model the add-in calls, over workbooks held in
// memory. It models what the add-in relies on (grid sizes, Count/CountLarge, used range,
// Intersect, Evaluate with CONCATENATE/LEN/REPT, displayed text under number formats, events)
// and counts what happens to it: calls per operation, live objects, and faults on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/host/host_object.h"
#include "standin/profile.h"
#include "standin/workbook_data.h"

namespace tb::standin {

struct State;  // shared by the Excel and every object it hands out

class Excel {
  public:
    explicit Excel(Profile profile = Profile::Modern);
    ~Excel();
    Excel(const Excel&) = delete;
    Excel& operator=(const Excel&) = delete;

    Profile profile() const;
    std::uint32_t max_rows() const;
    std::uint32_t max_columns() const;

    // The longest text a cell holds (REPT answers #VALUE! beyond it), 32,767 as in Excel;
    // nothing: no limit. Hosts with other limits stand in for other versions and products.
    void set_cell_text_limit(std::optional<std::size_t> limit);

    // The Application object (answers query(iid::application)); a new counted reference.
    ObjectRef application();

    // Opens a workbook and raises WorkbookOpen; a workbook without sheets gets one empty sheet.
    void open(WorkbookData data);
    // Adds a new empty workbook and raises NewWorkbook.
    void add_new_workbook();
    // 0-based. Handing out the mutable contents drops cached used ranges; after changing cells
    // through a reference kept from earlier, call changed().
    WorkbookData& workbook(std::size_t index);
    std::size_t workbook_count() const;
    // The sheet that unqualified references in evaluate() refer to (default: first sheet of
    // the first workbook).
    void set_active_sheet(std::size_t workbook, std::size_t sheet);

    // Evaluates a formula in US syntax (a leading '=' is allowed) as Application.Evaluate does,
    // with references resolved against the active sheet, and functions the evaluator does not
    // know handed to the resolver (by its upper-case name). References that end up as a
    // formula's result are given as their value. This is the path of the command-line tools;
    // it is not counted as a host call. A formula that does not parse fails with E_INVALIDARG
    // and a message saying why; it may be up to 8,192 characters long, as in a cell.
    Value evaluate(std::u16string_view formula, const FunctionResolver& resolver = {});

    // A recalculation: from begin_recalculation() to end_recalculation(), a formula cell is
    // evaluated when its value is first read (by evaluate() or through the object model), with
    // its own sheet active and functions the evaluator does not know handed to the resolver,
    // and keeps its result until the end; a cell read again while it is being evaluated is a
    // circular reference. In a recalculation, evaluate() without a resolver uses the
    // recalculation's. Outside a recalculation, evaluate() runs in one of its own, and the
    // object model reads the values the cells were saved with.
    void begin_recalculation(FunctionResolver resolver);
    void end_recalculation();
    // The value of a cell (0-based workbook and sheet), its formula evaluated first in a
    // recalculation.
    Value cell_value(std::size_t workbook, std::size_t sheet, std::uint32_t row,
                     std::uint32_t column);
    // What the recalculation could not evaluate since the last call, one line each, naming the
    // cell: a formula that does not parse, an unsupported function, a circular reference; first
    // what opening a workbook noted (WorkbookData::notes).
    std::vector<std::string> take_problems();

    // A Range object for a reference ("A1:C3", "Sheet2!A:A", "'My Sheet'!1:3") or a defined
    // name (its areas) resolved as evaluate() resolves it; fails (E_INVALIDARG) when the text
    // is neither. For tests and tools: not counted as a host call.
    ObjectRef range(std::u16string_view reference);
    // Tells the stand-in that cells changed through a kept WorkbookData reference.
    void changed();

    // The displayed text of a value under a number format code, as Range.Text gives it.
    static std::u16string display_text(const Value& value, std::u16string_view format);

    // --- instrumentation -------------------------------------------------------------------
    // Host calls made through the object model, by operation name: "Application.Evaluate",
    // "Application.Intersect", "Application.Workbooks", "Workbooks.Count", "Workbooks.Item",
    // "Workbook.Worksheets", "Sheets.Item", "Worksheet.Cells", "Worksheet.UsedRange",
    // "Range.Cells", "Range.Count", "Range.CountLarge", "Range.Rows", "Range.Columns",
    // "Range.Worksheet", "Range.Text", "Range.Value", "Range.Value2", and the members the
    // add-in does not read: "Workbook.Name", "Sheets.Count", "Worksheet.Name",
    // "Worksheet.Range", "Range.Address", "Range.Row", "Range.Column". Cells with and without
    // arguments count as the same operation; a default-value read counts as the member it
    // stands for (Range.Value, Workbooks.Item, Sheets.Item). Failed calls count too. An
    // unknown operation name fails with E_INVALIDARG.
    std::uint64_t calls(std::u16string_view operation) const;
    std::uint64_t total_calls() const;
    std::vector<std::u16string> operations() const;  // every operation name above
    void reset_counts();
    // Host objects handed out and not yet released (the Application included).
    std::int64_t live_objects() const;
    // Makes the nth call (counting from 1, from now on) of an operation fail with the HRESULT.
    void fail_call(std::u16string_view operation, std::uint64_t nth,
                   std::int32_t hresult = hr::fail);
    // Makes an operation's member unknown (DISP_E_UNKNOWNNAME), as an older host would.
    void make_unknown(std::u16string_view operation);
    void clear_faults();
    // Events raised so far, by name ("WorkbookOpen", "NewWorkbook").
    std::uint64_t events_raised(std::u16string_view name) const;
    // Event sinks connected to the Application's AppEvents source now.
    std::size_t connected_sinks() const;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace tb::standin
