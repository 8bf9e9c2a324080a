#include "core/host/excel_ops.h"

#include <array>

#include "core/host/mod_globals.h"

namespace tb::excel {

namespace {

ObjectRef object_of(Value answer, const char* what) {
    if (!answer.is_object() || !answer.object_value()) fail(hr::type_mismatch, what);
    return answer.object_value();
}

}  // namespace

ObjectRef Application() {
    const ObjectRef& application = modGlobals().gExcelApp;
    if (!application) fail(hr::pointer, "the add-in is not connected to Excel");
    return application;
}

Value Application_Evaluate(const ObjectRef& application, std::u16string_view formula) {
    const Value args[] = {Value::string(formula)};
    return call(application, u"Evaluate", args);
}

Value Application_Intersect(const ObjectRef& application, const ObjectRef& range1,
                            const ObjectRef& range2) {
    std::array<Value, 30> args;
    args.fill(Value::missing());
    args[0] = Value::object(range1);
    args[1] = Value::object(range2);
    Value answer = call(application, u"Intersect", args);
    if (answer.is_empty()) return Value::object(ObjectRef());
    if (!answer.is_object()) fail(hr::type_mismatch, "Intersect gave no range");
    return answer;
}

ObjectRef Application_Workbooks(const ObjectRef& application) {
    return object_of(get(application, u"Workbooks"), "Workbooks");
}

double Workbooks_Count(const ObjectRef& workbooks) {
    return get(workbooks, u"Count").to_number();
}

ObjectRef Workbooks_Item(const ObjectRef& workbooks, std::int16_t index) {
    const Value args[] = {Value::integer(index)};
    return object_of(get(workbooks, u"Item", args), "Workbooks.Item");
}

ObjectRef Workbook_Worksheets(const ObjectRef& workbook) {
    return object_of(get(workbook, u"Worksheets"), "Workbook.Worksheets");
}

ObjectRef Sheets_Item(const ObjectRef& sheets, std::int16_t index) {
    const Value args[] = {Value::integer(index)};
    return object_of(get(sheets, u"Item", args), "Sheets.Item");
}

ObjectRef Range_Cells(const ObjectRef& range) {
    return object_of(get(range, u"Cells"), "Cells");
}

ObjectRef Range_Cells(const ObjectRef& range, double row, double column) {
    const Value args[] = {Value::number(row), Value::number(column)};
    return object_of(get(range, u"Cells", args), "Cells");
}

Value Range_Count(const ObjectRef& cells) {
    return get(cells, u"Count");
}

Value Range_CountLarge(const ObjectRef& cells) {
    return get(cells, u"Countlarge");
}

ObjectRef Range_Rows(const ObjectRef& cells) {
    return object_of(get(cells, u"Rows"), "Rows");
}

ObjectRef Range_Columns(const ObjectRef& cells) {
    return object_of(get(cells, u"Columns"), "Columns");
}

ObjectRef Range_Worksheet(const ObjectRef& range) {
    return object_of(get(range, u"Worksheet"), "Worksheet");
}

ObjectRef Worksheet_UsedRange(const ObjectRef& worksheet) {
    return object_of(get(worksheet, u"UsedRange"), "UsedRange");
}

ObjectRef Range_Areas(const ObjectRef& range) {
    return object_of(get(range, u"Areas"), "Areas");
}

double Areas_Count(const ObjectRef& areas) {
    return get(areas, u"Count").to_number();
}

ObjectRef Areas_Item(const ObjectRef& areas, std::int32_t index) {
    const Value args[] = {Value::long_(index)};
    return object_of(get(areas, u"Item", args), "Areas.Item");
}

Value Range_Text(const ObjectRef& cell) {
    return get(cell, u"Text");
}

Value Range_Value2(const ObjectRef& range) {
    return get(range, u"Value2");
}

Value Range_Value(const ObjectRef& range) {
    return get(range, u"");
}

}  // namespace tb::excel
