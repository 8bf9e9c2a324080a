// Shared helpers of the stand-in Excel's tests: a sample workbook and a compact description of
// values, so case tables can state expected results as short strings.
#pragma once

#include <cstdio>
#include <string>

#include "core/host/value.h"
#include "standin/excel.h"

namespace tb::standin::testing {

// "num:3", "str:a\"b", "bool:TRUE", "err:#N/A", "missing", "empty", "null", "date:45293",
// "cur:12345" (scaled by 10,000), "obj", "noobj", "arr2x2{num:1,num:2,num:3,num:4}".
inline std::string describe(const Value& v) {
    char buffer[64];
    // clang-format off
    switch (v.kind()) {
        case Kind::Empty: return "empty";
        case Kind::Null: return "null";
        case Kind::Error: return v.is_missing() ? "missing" : "err:" + utf8(xlerr::display_text(v.error_code()));
        case Kind::Boolean: return v.boolean_value() ? "bool:TRUE" : "bool:FALSE";
        case Kind::String: return "str:" + utf8(v.string_value());
        case Kind::Currency: return "cur:" + std::to_string(v.currency_value());
        case Kind::Object: return v.object_value() ? "obj" : "noobj";
        // clang-format on
        case Kind::Date:
            std::snprintf(buffer, sizeof buffer, "date:%.15g", v.date_value());
            return buffer;
        case Kind::Array: {
            const Array& a = v.array_value();
            std::string s = "arr";
            for (std::size_t d = 0; d < a.dimensions(); ++d)
                s += (d ? "x" : "") + std::to_string(a.bound(d).count);
            s += "{";
            for (std::size_t i = 0; i < a.size(); ++i)
                s += (i ? "," : "") + describe(a.elements()[i]);
            return s + "}";
        }
        default:
            std::snprintf(buffer, sizeof buffer, "num:%.15g", v.to_number());
            return buffer;
    }
}

// Book1: Sheet1 with A1 = 1, A2 = 2, B1 = "b", C3 = TRUE, D4 = #N/A; Sheet2 with A1 = "s2";
// "My Sheet" with A1 = "my". Names: Pair A1:A2, Two A1 and B1, Half =1/2, Here (Sheet2's own)
// Sheet2!A1, Broken (to another workbook).
inline void open_sample(Excel& excel) {
    WorkbookData book{u"Book1",
                      {{u"Sheet1", {}}, {u"Sheet2", {}}, {u"My Sheet", {}}},
                      {{u"Pair", std::nullopt, u"Sheet1!$A$1:$A$2"},
                       {u"Two", std::nullopt, u"Sheet1!$A$1,Sheet1!$B$1"},
                       {u"Half", std::nullopt, u"1/2"},
                       {u"Here", 1, u"Sheet2!$A$1"},
                       {u"Broken", std::nullopt, u"[1]Sheet1!$A$1"}}};
    book.sheets[0].set(1, 1, Value::number(1));
    book.sheets[0].set(2, 1, Value::number(2));
    book.sheets[0].set(1, 2, Value::string(u"b"));
    book.sheets[0].set(3, 3, Value::boolean(true));
    book.sheets[0].set(4, 4, Value::xl_error(xlerr::na));
    book.sheets[1].set(1, 1, Value::string(u"s2"));
    book.sheets[2].set(1, 1, Value::string(u"my"));
    excel.open(std::move(book));
}

}  // namespace tb::standin::testing
