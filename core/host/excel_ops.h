// The Excel host operations the server calls, as thin named functions over host objects. Each
// call goes to Excel synchronously; a failing call raises tb::Failure in the caller.
// Early-bound members of _Application, Workbooks, _Workbook and Sheets are reached by name
// here too; everything else is late-bound by the names Excel publishes.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/host/host_object.h"

namespace tb::excel {

// The Application reference of this thread (gExcelApp); fails when the add-in is not connected.
ObjectRef Application();

// Application.Evaluate(formula): the formula's value (text, number or an error code).
Value Application_Evaluate(const ObjectRef& application, std::u16string_view formula);
// Application.Intersect(range1, range2, 28 omitted arguments): the common range, or a Value of
// the object kind holding no object when the ranges share no cell.
Value Application_Intersect(const ObjectRef& application, const ObjectRef& range1,
                            const ObjectRef& range2);
ObjectRef Application_Workbooks(const ObjectRef& application);
double Workbooks_Count(const ObjectRef& workbooks);
// Item(index) with the index passed as a 16-bit integer.
ObjectRef Workbooks_Item(const ObjectRef& workbooks, std::int16_t index);
ObjectRef Workbook_Worksheets(const ObjectRef& workbook);
ObjectRef Sheets_Item(const ObjectRef& sheets, std::int16_t index);

// Late-bound members.
ObjectRef Range_Cells(const ObjectRef& range);
ObjectRef Range_Cells(const ObjectRef& range, double row, double column);
Value Range_Count(const ObjectRef& cells);
Value Range_CountLarge(const ObjectRef& cells);
ObjectRef Range_Rows(const ObjectRef& cells);
ObjectRef Range_Columns(const ObjectRef& cells);
ObjectRef Range_Worksheet(const ObjectRef& range);
ObjectRef Worksheet_UsedRange(const ObjectRef& worksheet);
// The areas of a range (one for a plain block, several for a union), and one of them by its
// position from 1.
ObjectRef Range_Areas(const ObjectRef& range);
double Areas_Count(const ObjectRef& areas);
ObjectRef Areas_Item(const ObjectRef& areas, std::int32_t index);
Value Range_Text(const ObjectRef& cell);
Value Range_Value2(const ObjectRef& range);
// The default value (what Range.Value gives): one value for one cell, an array for several.
Value Range_Value(const ObjectRef& range);

}  // namespace tb::excel
