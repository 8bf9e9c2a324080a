// Shared helpers of the stand-in Excel's tests: a sample workbook and a compact description of
// values, so case tables can state expected results as short strings.
#pragma once

#include <cstdio>
#include <string>

#include "server/host/value.h"
#include "standin/excel.h"

namespace tb::standin::testing {

// "num:3", "str:a\"b", "bool:TRUE", "err:#N/A", "missing", "empty", "null", "date:45293",
// "cur:12345" (scaled by 10,000), "obj", "noobj", "arr2x2{num:1,num:2,num:3,num:4}".
inline std::string describe(const Value& v) {
    char buffer[64];
    switch (v.kind()) {
        case Kind::Empty:
            return "empty";
        case Kind::Null:
            return "null";
        case Kind::Error:
            if (v.is_missing()) return "missing";
            return "err:" + utf8(xlerr::display_text(v.error_code()));
        case Kind::Boolean:
            return v.boolean_value() ? "bool:TRUE" : "bool:FALSE";
        case Kind::String:
            return "str:" + utf8(v.string_value());
        case Kind::Date:
            std::snprintf(buffer, sizeof buffer, "date:%.15g", v.date_value());
            return buffer;
        case Kind::Currency:
            return "cur:" + std::to_string(v.currency_value());
        case Kind::Object:
            return v.object_value() ? "obj" : "noobj";
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
// "My Sheet" with A1 = "my".
inline void open_sample(Excel& excel) {
    WorkbookData book;
    book.name = u"Book1";
    SheetData one{u"Sheet1", {}};
    one.set(1, 1, Value::number(1));
    one.set(2, 1, Value::number(2));
    one.set(1, 2, Value::string(u"b"));
    one.set(3, 3, Value::boolean(true));
    one.set(4, 4, Value::xl_error(xlerr::na));
    SheetData two{u"Sheet2", {}};
    two.set(1, 1, Value::string(u"s2"));
    SheetData three{u"My Sheet", {}};
    three.set(1, 1, Value::string(u"my"));
    book.sheets = {std::move(one), std::move(two), std::move(three)};
    excel.open(std::move(book));
}

}  // namespace tb::standin::testing
