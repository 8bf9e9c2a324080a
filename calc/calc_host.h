// Calc as the Excel host the worksheet function expects: Application, Workbooks, Workbook,
// Sheets, Worksheet, Range and Areas answered over Calc's UNO API for the document that calls,
// so the unchanged worksheet function runs in Calc. Where Calc's answer differs from Excel's,
// Excel's is given: the text of a value (CONCATENATE) and the cell text limit come from the
// Excel rules of the stand-in, the General format's text too; booleans, dates and currency are
// told apart by the cell's number-format type; error values are mapped both ways.
#pragma once

#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/uno/Any.hxx>
#include <com/sun/star/uno/Sequence.hxx>
#include <com/sun/star/uno/XComponentContext.hpp>

#include "core/host/host_object.h"

namespace tb::calc {

namespace css = ::com::sun::star;

// The Application object of one call in the document the hidden caller gives. Fails when the
// caller is no spreadsheet document.
ObjectRef make_application(const css::uno::Reference<css::uno::XComponentContext>& context,
                           const css::uno::Reference<css::beans::XPropertySet>& caller);

// A range argument as the Range object Excel would hand over; an empty reference is an
// omitted argument.
Value range_argument(const ObjectRef& application,
                     const css::uno::Reference<css::table::XCellRange>& range);

// A value argument: void is an omitted argument, a one-cell array its one value, a larger
// array a grid, numbers, texts and booleans as they are.
Value value_argument(const css::uno::Any& any);

// What Calc shows for a result: a text as it is, an error value as Calc's error of the same
// meaning, a range (a cell holding an error) by its value; anything else is #VALUE!.
css::uno::Any result_of(const Value& result);

// Calc's error code of an Excel error value and back. Calc's errors that Excel lacks keep their
// code through the round trip; Excel's that Calc lacks are #VALUE!.
std::int32_t calc_error_of(std::int32_t scode);
std::int32_t scode_of_calc_error(std::int32_t calc_error);

}  // namespace tb::calc
