// The stand-in's object model, in both host profiles: the host operations the add-in relies on.
// Its events reach the add-in's sink in the connection tests; the counts and used ranges of whole
// columns, rows and sheets, and its live-object count, are checked through the formula table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/excel.h"
#include "tests/unit/standin_support.h"

namespace tb::standin {
namespace {

using testing::describe;

Value prop(const ObjectRef& o, std::u16string_view member, std::vector<Value> args = {}) {
    return get(o, member, args);
}
ObjectRef obj(const ObjectRef& o, std::u16string_view member, std::vector<Value> args = {}) {
    return get_object(o, member, args);
}
std::string address(const ObjectRef& range) {
    return describe(prop(range, u"Address"));
}
std::int32_t failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.hresult();
    }
    return hr::ok;
}

class Objects : public ::testing::TestWithParam<Profile> {
  protected:
    void SetUp() override { testing::open_sample(excel); }
    bool modern() const { return GetParam() == Profile::Modern; }
    ObjectRef first_sheet() {
        ObjectRef app = excel.application();
        ObjectRef book = obj(obj(app, u"Workbooks"), u"Item", {Value::integer(1)});
        return obj(obj(book, u"Worksheets"), u"Item", {Value::integer(1)});
    }
    Excel excel{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Profiles, Objects, ::testing::Values(Profile::Modern, Profile::Legacy),
                         [](const auto& profile) {
                             return profile.param == Profile::Modern ? "Modern" : "Legacy";
                         });

TEST_P(Objects, WorkbooksAndSheetsLeadToTheFirstWorksheet) {
    ObjectRef app = excel.application();
    ObjectRef books = obj(app, u"workbooks");
    EXPECT_EQ(describe(prop(books, u"Count")), "num:1");
    ObjectRef book = obj(books, u"", {Value::number(1)});  // the default member is Item
    EXPECT_EQ(describe(prop(book, u"Name")), "str:Book1");
    ObjectRef sheets = obj(book, u"Worksheets");
    EXPECT_EQ(describe(prop(sheets, u"Count")), "num:3");
    EXPECT_EQ(describe(prop(obj(book, u"SHEETS"), u"Count")), "num:3");  // Sheets, any case
    EXPECT_EQ(describe(prop(obj(sheets, u"Item", {Value::integer(2)}), u"Name")), "str:Sheet2");
    EXPECT_EQ(describe(prop(obj(sheets, u"Item", {Value::string(u"my sheet")}), u"Name")),
              "str:My Sheet");
    EXPECT_EQ(describe(prop(obj(sheets, u"", {Value::integer(1)}), u"Name")), "str:Sheet1");
    EXPECT_EQ(failure_of([&] { prop(sheets, u"Item", {Value::integer(4)}); }), hr::bad_index);
    EXPECT_EQ(failure_of([&] { prop(books, u"Item", {Value::integer(0)}); }), hr::bad_index);
    EXPECT_EQ(failure_of([&] { prop(books, u"Item", {Value::missing()}); }), hr::param_not_found);
    // A member is known on its own object only, and only some objects have a default member.
    for (auto [object, member] : {std::pair{app, u"NoSuchMember"},
                                  {app, u""},
                                  {book, u"Item"},
                                  {excel.range(u"A1"), u"Evaluate"}})
        EXPECT_EQ(failure_of([&] { prop(object, member); }), hr::unknown_name) << utf8(member);
    EXPECT_EQ(failure_of([&] { prop(app, u"Workbooks", {Value::integer(1)}); }),
              hr::bad_param_count);
    // Interfaces answer only their own identifier.
    EXPECT_EQ(app->query(iid::application).get(), app.get());
    EXPECT_EQ(failure_of([&] { app->query(iid::range); }), hr::no_interface);
    EXPECT_EQ(failure_of([&] { excel.range(u"A1")->query(iid::application); }), hr::no_interface);
    // An event connection that was never made cannot be ended (CONNECT_E_NOCONNECTION).
    EXPECT_EQ(failure_of([&] { app->disconnect_events(12345); }), std::int32_t(0x80040200));
}

TEST_P(Objects, IntersectGivesTheCommonRangeOrNoObject) {
    ObjectRef app = excel.application();
    ObjectRef used = obj(first_sheet(), u"UsedRange");  // A1:D4
    auto intersect = [&](std::vector<Value> args) { return call(app, u"Intersect", args); };
    auto range = [&](const char* ref) { return Value::object(excel.range(utf16(ref))); };
    const Value missing = Value::missing();
    EXPECT_EQ(address(intersect({range("B:B"), Value::object(used)}).object_value()),
              "str:$B$1:$B$4");
    EXPECT_EQ(address(intersect({range("2:3"), range("B:C"), missing, missing}).object_value()),
              "str:$B$2:$C$3");
    EXPECT_EQ(address(intersect({missing, range("A1:C3"), missing, range("B2:E9"), range("C1:C9")})
                          .object_value()),
              "str:$C$2:$C$3");
    EXPECT_EQ(describe(intersect({range("F:F"), Value::object(used)})), "noobj");
    EXPECT_EQ(describe(intersect({range("A1"), range("B2"), range("A1")})), "noobj");
    EXPECT_EQ(failure_of([&] { intersect({range("A1"), range("Sheet2!A1")}); }), hr::exception);
    EXPECT_EQ(failure_of([&] { intersect({range("A1"), Value::number(1)}); }), hr::type_mismatch);
    EXPECT_EQ(failure_of([&] { intersect({range("A1"), missing}); }), hr::param_not_found);
    EXPECT_EQ(failure_of([&] { intersect(std::vector<Value>(31, range("A1"))); }),
              hr::bad_param_count);
}

// A defined name answers Evaluate and Range as Excel's do: its areas; Worksheet.Range only for
// cells of its own sheet, and a sheet's own name only there.
TEST_P(Objects, NamesAnswerAsRanges) {
    ObjectRef app = excel.application();
    auto evaluate = [&](const char16_t* text) {
        const Value arg = Value::string(text);
        return call(app, u"Evaluate", std::span<const Value>(&arg, 1)).object_value();
    };
    ObjectRef second =
        obj(obj(obj(app, u"Workbooks"), u"Item", {Value::integer(1)}), u"Worksheets");
    second = obj(second, u"Item", {Value::integer(2)});
    EXPECT_EQ(address(evaluate(u"Two")), "str:$A$1,$B$1");
    EXPECT_EQ(describe(prop(obj(evaluate(u"Two"), u"Areas"), u"Count")), "num:2");
    EXPECT_EQ(address(obj(obj(evaluate(u"Two"), u"Areas"), u"", {Value::integer(2)})),
              "str:$B$1");  // the default member is Item
    EXPECT_EQ(address(evaluate(u"=Sheet2!Here")), "str:$A$1");
    EXPECT_EQ(address(obj(first_sheet(), u"Range", {Value::string(u"pair")})), "str:$A$1:$A$2");
    EXPECT_EQ(address(obj(second, u"Range", {Value::string(u"Here")})), "str:$A$1");
    EXPECT_EQ(failure_of([&] { prop(first_sheet(), u"Range", {Value::string(u"Here")}); }),
              hr::exception);
    EXPECT_EQ(failure_of([&] { prop(second, u"Range", {Value::string(u"Pair")}); }), hr::exception);
    EXPECT_EQ(address(excel.range(u"Two")), "str:$A$1,$B$1");
    EXPECT_EQ(failure_of([&] { excel.range(u"Half"); }), hr::invalid_arg);
    EXPECT_EQ(excel.live_objects(), 2) << "only the Application and the second sheet";
}

// Cells(r, c) counts from the top-left cell of the range, may leave the range but not the grid.
TEST_P(Objects, CellsAddressesRelativeToTheTopLeft) {
    ObjectRef b2 = excel.range(u"B2:C3");
    const auto last_row = static_cast<double>(excel.max_rows());
    const auto n = [](double v) { return Value::number(v); };
    struct Row {
        std::vector<Value> args;
        const char* expected;  // address, or nullptr for a failure
    };
    // One index runs row by row over the width.
    const std::vector<Row> table = {
        // clang-format off
        {{n(1), n(1)}, "str:$B$2"}, {{Value::integer(2), Value::long_(2)}, "str:$C$3"},
        {{n(3), n(4)}, "str:$E$4"}, {{n(0), n(0)}, "str:$A$1"}, {{n(1.4), n(2)}, "str:$C$2"},
        {{n(1), Value::string(u"c")}, "str:$D$2"}, {{n(3)}, "str:$B$3"}, {{n(-1), n(1)}, nullptr},
        {{n(1), n(-1)}, nullptr}, {{n(last_row), n(1)}, nullptr},
        {{n(1), n(excel.max_columns())}, nullptr},
        {{Value::string(u"x"), n(1)}, nullptr},
        // clang-format on
    };
    for (const Row& r : table) {
        if (r.expected) {
            EXPECT_EQ(address(obj(b2, u"Cells", r.args)), r.expected);
        } else {
            EXPECT_NE(failure_of([&] { prop(b2, u"Cells", r.args); }), hr::ok);
        }
    }
    ObjectRef sheet_cells =
        obj(first_sheet(), u"Cells", {Value::number(last_row), Value::number(2)});
    EXPECT_EQ(describe(prop(sheet_cells, u"Row")), modern() ? "num:1048576" : "num:65536");
    // Cells of a Rows or Columns collection are the cells again.
    ObjectRef rows_cells = obj(obj(excel.range(u"B:C"), u"Rows"), u"Cells");
    EXPECT_EQ(prop(rows_cells, u"Count").to_number(), 2 * last_row);
    // 2,048 whole columns of the large grid: 2^31 cells, one more than Count can give.
    if (modern()) {
        EXPECT_EQ(failure_of([&] { prop(excel.range(u"A:BZT"), u"Count"); }), hr::overflow);
        EXPECT_EQ(prop(excel.range(u"A:BZS"), u"Count").to_number(), 2147483648.0 - last_row);
    }
}

// Value gives date- and currency-formatted numbers as dates and currency, Value2 as doubles;
// several cells give a 2-D array with lower bounds 1, row by row.
TEST_P(Objects, ValueAndValue2) {
    SheetData& data = excel.workbook(0).sheets[0];
    data.set(10, 1, Value::number(45293), u"m/d/yyyy");
    data.set(10, 2, Value::number(12.5), u"\"$\"#,##0.00");
    data.set(10, 3, Value::number(0.5), u"h:mm");
    data.set(10, 4, Value::string(u"t"), u"m/d/yyyy");
    data.set(10, 5, Value::number(1), u"m/d/yyyy");   // 1/1/1900, OLE date 2
    data.set(10, 6, Value::number(60), u"m/d/yyyy");  // 2/29/1900, no OLE date: 2/28
    const struct {
        const char* ref;
        const char* value;
        const char* value2;
    } table[] = {
        // clang-format off
        {"A10", "date:45293", "num:45293"}, {"B10", "cur:125000", "num:12.5"},
        {"C10", "date:0.5", "num:0.5"}, {"D10", "str:t", "str:t"}, {"E10", "date:2", "num:1"},
        {"F10", "date:60", "num:60"},
        {"A1", "num:1", "num:1"}, {"C3", "bool:TRUE", "bool:TRUE"}, {"D4", "err:#N/A", "err:#N/A"},
        {"Z100", "empty", "empty"},
        {"A10:B10", "arr1x2{date:45293,cur:125000}", "arr1x2{num:45293,num:12.5}"},
        {"A1:B2", "arr2x2{num:1,str:b,num:2,empty}", "arr2x2{num:1,str:b,num:2,empty}"},
        // clang-format on
    };
    for (const auto& r : table) {
        ObjectRef range = excel.range(utf16(r.ref));
        EXPECT_EQ(describe(prop(range, u"Value")), r.value) << r.ref;
        EXPECT_EQ(describe(prop(range, u"")), r.value) << r.ref;  // the default value
        EXPECT_EQ(describe(prop(range, u"Value2")), r.value2) << r.ref;
    }
    const Value block = prop(excel.range(u"A1:B2"), u"Value2");
    EXPECT_EQ(block.array_value().lower(0) + block.array_value().lower(1), 2);
    EXPECT_EQ(describe(block.array_value().at(1, 2)), "str:b");
    // A whole column still reads as an array; the whole sheet is too big, as in Excel.
    EXPECT_EQ(prop(excel.range(u"A:A"), u"Value2").array_value().size(), excel.max_rows());
    if (modern()) {
        EXPECT_EQ(failure_of([&] { prop(obj(first_sheet(), u"Cells"), u"Value"); }),
                  hr::out_of_memory);
    }
}

TEST_P(Objects, TextIsTheDisplayedTextOrNullWhenCellsDiffer) {
    SheetData& data = excel.workbook(0).sheets[0];
    data.set(20, 1, Value::string(u"same"));
    data.set(20, 2, Value::string(u"same"));
    const struct {
        const char* ref;
        const char* text;
    } table[] = {
        {"B1", "str:b"},  {"C3", "str:TRUE"},      {"D4", "str:#N/A"},
        {"Z100", "str:"}, {"A20:B20", "str:same"}, {"A20:C20", "null"},
        {"X:Y", "str:"},  {"A:A", "null"},         {"A20:Z20", "null"},
    };
    for (const auto& r : table)
        EXPECT_EQ(describe(prop(excel.range(utf16(r.ref)), u"Text")), r.text) << r.ref;
    EXPECT_EQ(Excel::display_text(Value::string(u"x"), u"General"), u"x");
}

}  // namespace
}  // namespace tb::standin
