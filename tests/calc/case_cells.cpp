// Prints the shared case workbook and formula table as tab-separated lines, for the test that
// runs them through LibreOffice Calc: "cell SHEET ROW COLUMN KIND VALUE FORMAT [FORMULA]" (KIND
// s, n, b, e or - for none) and "case NAME FORMULA".
#include <cstdio>

#include "tests/support/case_book.h"

int main() {
    using namespace tb;
    auto line = [](const std::u16string& text) { std::fputs(utf8(text).c_str(), stdout); };
    for (const standin::SheetData& sheet : testing::case_book().sheets) {
        for (const auto& [key, cell] : sheet.cells) {
            const Value& v = cell.value;
            const char* kind = v.is_string()    ? "s"
                               : v.is_boolean() ? "b"
                               : v.is_error()   ? "e"
                               : v.is_empty()   ? "-"
                                                : "n";
            const std::u16string value = v.is_error()     ? xlerr::display_text(v.error_code())
                                         : v.is_boolean() ? (v.boolean_value() ? u"1" : u"0")
                                                          : v.to_text();
            line(u"cell\t" + sheet.name + u"\t");
            std::printf("%u\t%u\t%s\t", static_cast<unsigned>(key >> 32),
                        static_cast<unsigned>(key & 0xFFFFFFFFu), kind);
            line(value + u"\t" + cell.format + u"\t" + cell.formula.value_or(u"") + u"\n");
        }
    }
    for (const testing::FormulaCase& c : testing::formula_cases()) {
        std::printf("case\t%s\t", c.name);
        line(c.formula + u"\n");
    }
}
