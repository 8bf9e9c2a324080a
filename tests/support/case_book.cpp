#include "tests/support/case_book.h"

#include <cctype>
#include <string>

namespace tb::testing {

standin::WorkbookData case_book() {
    standin::WorkbookData book;
    book.name = u"Cases";
    standin::SheetData& sheet = book.sheets.emplace_back();
    sheet.name = u"Sheet1";
    sheet.set(1, 1, Value::string(u"a"));
    sheet.set(1, 3, Value::string(u"b"));
    sheet.set(2, 1, Value::number(1.5), u"0.00");
    sheet.set(2, 2, Value::number(45293), u"m/d/yyyy");
    sheet.set(2, 3, Value::boolean(true));
    sheet.set(3, 1, Value::xl_error(xlerr::na));
    sheet.set(3, 2, Value::string(u"x"));
    sheet.set(3, 3, Value::number(7));
    sheet.set(4, 1, Value::xl_error(xlerr::div0));
    sheet.set(4, 2, Value::string(u"say \"hi\""));
    sheet.set(4, 3, Value::string(u"007"));
    sheet.set(1, 5, Value::string(u"tl"));
    sheet.set(1, 6, Value::string(u"tr"));
    sheet.set(2, 5, Value::string(u"bl"));
    sheet.set(2, 6, Value::string(u"br"));
    sheet.set(1, 7, Value::string(std::u16string(20000, u'x')));
    sheet.set(2, 7, Value::string(std::u16string(20000, u'y')));
    sheet.set(1, 10, Value::number(1234.5), u"#,##0.00");
    sheet.set(2, 10, Value::number(0.25), u"0%");
    sheet.set(3, 10, Value::number(-3), u"#,##0;(#,##0)");
    // Formula cells saved without results, newer error values, a cycle.
    sheet.set_formula(6, 12, u"UPPER(\"c\")");
    sheet.set_formula(7, 12, u"TEXTBRAID(\"|\",TRUE,FALSE,L6,\"end\")");
    sheet.set(8, 12, Value::xl_error(2045));
    sheet.set(9, 12, Value::xl_error(2050));
    sheet.set_formula(10, 12, u"TEXTBRAID(\",\",TRUE,FALSE,L11)");
    sheet.set_formula(11, 12, u"TEXTBRAID(\",\",TRUE,FALSE,L10)");
    // Formula cells of functions the stand-in does not know: a saved value kept, or none.
    sheet.set(12, 12, Value::string(u"saved"));
    sheet.set_formula(12, 12, u"VLOOKUP(\"x\",A1:B3,2)");
    sheet.set_formula(13, 12, u"_xlfn.XLOOKUP(1,A1:A2,B1:B2)");
    sheet.set(14, 12, Value::string(u"old"));
    sheet.set_formula(14, 12, u"UPPER(\"new\")");
    // A chain of formula cells: N21 reads N20, N22 reads N21, … N150 reads N149.
    sheet.set(20, 14, Value::string(u"x"));
    for (std::uint32_t row = 21; row <= 150; ++row)
        sheet.set_formula(row, 14, u"CONCATENATE(N" + utf16(std::to_string(row - 1)) + u")");
    standin::SheetData& other = book.sheets.emplace_back();
    other.name = u"Sheet2";
    other.set(1, 1, Value::string(u"other"));
    standin::SheetData& third = book.sheets.emplace_back();
    third.name = u"Sheet3";
    third.set_formula(1, 1, u"TEXTBRAID(\"+\",TRUE,FALSE,Local,Sheet2!A1)");
    book.names = {
        {u"Items", std::nullopt, u"Sheet1!$E$1:$E$2"},
        {u"Blocks", std::nullopt, u"Sheet1!$E$1:$E$2,Sheet1!$F$1:$F$2"},
        {u"Local", std::nullopt, u"Sheet1!$C$1"},
        {u"local", 0, u"Sheet1!$A$1"},
        {u"Twice", 1, u"Sheet2!$A$1&Sheet2!$A$1"},
        {u"Loop", std::nullopt, u"Loop&\"x\""},
    };
    return book;
}

std::vector<FormulaCase> formula_cases() {
    const std::u16string limit = u"Cell character limit exceeded.";
    return {
        // Joining and skipping empties.
        {"skips empty cells", u"TEXTBRAID(\",\", TRUE, FALSE, A1:C1)", u"a,b"},
        {"keeps empty cells", u"TEXTBRAID(\",\", FALSE, FALSE, A1:C1)", u"a,,b"},
        {"row by row", u"TEXTBRAID(\"-\", TRUE, FALSE, E1:F2)", u"tl-tr-bl-br"},
        {"arguments in order", u"TEXTBRAID(\"+\", TRUE, FALSE, E2:F2, E1, \"z\")", u"bl+br+tl+z"},
        {"omitted item kept", u"TEXTBRAID(\",\", FALSE, FALSE, E1, , F1)", u"tl,,tr"},
        {"formats, empties past the used range", u"TEXTBRAID(\"-\", FALSE, TRUE, E1:E6)",
         u"tl-bl----"},
        {"omitted item skipped", u"TEXTBRAID(\",\", TRUE, FALSE, E1, , F1)", u"tl,tr"},
        {"nothing accepted", u"TEXTBRAID(\",\", TRUE, FALSE, H1:H5)", u""},
        {"long delimiter", u"TEXTBRAID(\" | \", TRUE, FALSE, E1:F2)", u"tl | tr | bl | br"},
        {"empty delimiter", u"TEXTBRAID(\"\", TRUE, FALSE, E1:F2)", u"tltrblbr"},
        {"first three omitted", u"TEXTBRAID(,,,A1:C1)", u"ab"},
        {"fourth left empty", u"TEXTBRAID(\",\", TRUE, FALSE, )", u""},
        {"other sheet", u"TEXTBRAID(\",\", TRUE, FALSE, Sheet2!A1, E1)", u"other,tl"},
        {"quotes kept", u"TEXTBRAID(\";\", TRUE, FALSE, B4, C4)", u"say \"hi\";007"},
        {"ignore_empty omitted skips", u"TEXTBRAID(\",\", , FALSE, \"a\", \"\", \"b\")", u"a,b"},
        {"outside the used range", u"TEXTBRAID(\",\", TRUE, FALSE, Z100:Z200, \"x\")", u"x"},
        // Whole columns and the early length check.
        {"whole column, empties ignored", u"TEXTBRAID(\",\", TRUE, FALSE, E:E)", u"tl,bl"},
        {"whole row, empties ignored", u"TEXTBRAID(\",\", TRUE, FALSE, 1:1)",
         u"a,b,tl,tr," + std::u16string(20000, u'x') + u",1234.5"},
        {"whole sheet in both grids", u"TEXTBRAID(\",\", TRUE, FALSE, Sheet2!A:IV, E1:F1)",
         u"other,tl,tr"},
        {"whole column, empties kept", u"TEXTBRAID(\",\", FALSE, FALSE, E:E)", limit},
        {"empty delimiter: no early answer", u"TEXTBRAID(\"\", FALSE, FALSE, C1:C40000)",
         u"bTRUE7007"},
        {"delimiters just fit", u"LEN(TEXTBRAID(REPT(\"d\", 255), FALSE, FALSE, Z1:Z129))",
         u"32640"},
        {"array is one item", u"TEXTBRAID(\",\", FALSE, FALSE, {1,2;3,4})", u"1,2,3,4"},
        {"limit reached mid-walk", u"TEXTBRAID(\",\", TRUE, FALSE, G1:G2)", limit},
        {"long text alone fits", u"LEN(TEXTBRAID(\",\", TRUE, FALSE, G1))", u"20000"},
        // Errors among the items.
        {"error cell in range", u"TEXTBRAID(\",\", TRUE, FALSE, E1:F1, A3:C3)", u"#N/A"},
        {"error value item", u"TEXTBRAID(\",\", TRUE, FALSE, \"a\", NA())", u"#N/A"},
        {"error single cell", u"TEXTBRAID(\",\", TRUE, FALSE, E1, A4)", u"#DIV/0!"},
        // Formats and conversions.
        {"displayed text", u"TEXTBRAID(\",\", TRUE, TRUE, A2:C2)", u"1.50,1/2/2024,TRUE"},
        {"use_formats omitted", u"TEXTBRAID(\",\", TRUE, , A2:B2)", u"1.5,45293"},
        {"raw values", u"TEXTBRAID(\",\", TRUE, FALSE, A2:C2)", u"1.5,45293,TRUE"},
        {"number formats", u"TEXTBRAID(\" \", TRUE, TRUE, J1:J3)", u"1,234.50 25% (3)"},
        {"values not cells ignore formats", u"TEXTBRAID(\",\", TRUE, TRUE, 1.5, TRUE, 1/4)",
         u"1.5,TRUE,0.25"},
        {"numeric delimiter", u"TEXTBRAID(5, TRUE, FALSE, E1:F1)", u"tl5tr"},
        {"delimiter cell formatted", u"TEXTBRAID(A2, TRUE, TRUE, E1:F1)", u"tl1.50tr"},
        {"delimiter cell raw", u"TEXTBRAID(A2, TRUE, FALSE, E1:F1)", u"tl1.5tr"},
        // Invalid calls.
        {"delimiter NA()", u"TEXTBRAID(NA(), TRUE, FALSE, E1:F1)", u"#VALUE!"},
        {"delimiter error cell", u"TEXTBRAID(A4, TRUE, FALSE, E1:F1)", u"#VALUE!"},
        {"switch 2", u"TEXTBRAID(\",\", 2, FALSE, E1:F1)", u"#VALUE!"},
        {"switch -1", u"TEXTBRAID(\",\", -1, FALSE, E1:F1)", u"#VALUE!"},
        {"switch 0.5", u"TEXTBRAID(\",\", 0.5, FALSE, E1:F1)", u"#VALUE!"},
        {"switch yes", u"TEXTBRAID(\",\", \"yes\", FALSE, E1:F1)", u"#VALUE!"},
        {"switch 0", u"TEXTBRAID(\",\", 0, FALSE, A1:C1)", u"a,,b"},
        {"switch text TRUE", u"TEXTBRAID(\",\", \"TRUE\", FALSE, A1:C1)", u"a,b"},
        {"switch text false", u"TEXTBRAID(\",\", \" false \", FALSE, A1:C1)", u"a,,b"},
        {"switch text TRUE()", u"TEXTBRAID(\",\", \"TRUE()\", FALSE, A1:C1)", u"a,b"},
        {"switch from cell", u"TEXTBRAID(\",\", C2, FALSE, A1:C1)", u"a,b"},
        {"switch error cell", u"TEXTBRAID(\",\", A3, FALSE, A1:C1)", u"#VALUE!"},
        {"array with error element", u"TEXTBRAID(\",\", TRUE, FALSE, {1,#N/A})", u"#VALUE!"},
        {"too few arguments", u"TEXTBRAID(\",\", TRUE, FALSE)", u"#VALUE!", true},
        {"no argument", u"TEXTBRAID()", u"#VALUE!", true},
        // Formula cells evaluated when read; newer error values; several areas.
        {"formula cell read", u"TEXTBRAID(\"-\", TRUE, FALSE, L7)", u"C|end"},
        {"newer error value", u"TEXTBRAID(\",\", TRUE, FALSE, L8:L9)", u"#SPILL!"},
        {"circular reference reads 0", u"TEXTBRAID(\",\", TRUE, FALSE, L10, \"x\")", u"0,x"},
        {"union", u"TEXTBRAID(\",\", FALSE, FALSE, (A1:A2,C1:C2))", u"a,1.5,b,TRUE"},
        {"union, empties ignored", u"TEXTBRAID(\"-\", TRUE, FALSE, (E1:E2,B1:B2,F1))",
         u"tl-bl-45293-tr"},
        {"union, whole columns cut", u"TEXTBRAID(\",\", TRUE, FALSE, (F:F,E:E))", u"tr,br,tl,bl"},
        {"union with error cell", u"TEXTBRAID(\",\", TRUE, FALSE, (E1,A3))", u"#N/A"},
        // Defined names; functions the stand-in computes or keeps the saved value of.
        {"defined name", u"TEXTBRAID(\"-\", TRUE, FALSE, items)", u"tl-bl"},
        {"defined name of several areas", u"TEXTBRAID(\"-\", TRUE, FALSE, Blocks)", u"tl-bl-tr-br"},
        {"a sheet's own name first, on its sheet",
         u"TEXTBRAID(\"-\", TRUE, FALSE, Local, Sheet3!A1&\"\", E1)", u"a-b+other-tl"},
        {"a name of another sheet", u"TEXTBRAID(\"-\", TRUE, FALSE, Sheet2!Twice, E1)",
         u"otherother-tl"},
        {"another sheet's name unseen", u"TEXTBRAID(\"-\", TRUE, FALSE, Twice)", u"#NAME?"},
        {"unknown name", u"TEXTBRAID(\"-\", TRUE, FALSE, E1, tru)", u"#NAME?"},
        {"name refers to itself", u"TEXTBRAID(\"-\", TRUE, FALSE, Loop)", u"#NAME?"},
        {"line-break delimiter", u"TEXTBRAID(CHAR(10), TRUE, FALSE, E1:F1)", u"tl\ntr"},
        {"text functions", u"TEXTBRAID(\"-\", TRUE, FALSE, PROPER(\"ab cd\"), MID(E1, 2, 1))",
         u"Ab Cd-l"},
        {"saved value kept", u"TEXTBRAID(\",\", FALSE, FALSE, L12, \"z\")", u"saved,z"},
        {"no saved value to keep", u"TEXTBRAID(\",\", FALSE, FALSE, L13)", u"#NAME?"},
        {"saved value recomputed", u"TEXTBRAID(\",\", FALSE, FALSE, L14)", u"NEW"},
        {"chain of 128 formula cells", u"TEXTBRAID(\",\", TRUE, FALSE, N148)", u"x"},
        {"chain of 129 formula cells", u"TEXTBRAID(\",\", TRUE, FALSE, N149)", u"#VALUE!"},
    };
}

std::string case_test_name(bool legacy, std::size_t index, const FormulaCase& c) {
    std::string name = (legacy ? "Legacy_" : "Modern_") + std::to_string(index) + "_";
    for (const char* p = c.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

}  // namespace tb::testing
