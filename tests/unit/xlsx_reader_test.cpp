// The workbook reader: bad cells and damaged packages named in clear errors, shifted shared
// formulas, ISO dates; then the workbooks written by the generator scripts (every cell type,
// formats, shared and inline strings, positions, sheets, the 1904 date system as the stand-in
// shows it).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "standin/xlsx/xlsx_reader.h"
#include "tests/unit/standin_support.h"
#include "tests/unit/xlsx_test_zip.h"

namespace tb::standin {
namespace {

namespace fs = std::filesystem;
using testing::describe;

CellData cell(const SheetData& sheet, std::uint32_t row, std::uint32_t column) {
    return sheet.find(row, column).value_or(CellData{Value::string(u"<no cell>"), u"", {}});
}

std::string error_of(const std::map<std::string, std::string>& parts) {
    try {
        read_xlsx(test::zip_parts(parts), "t.xlsx");
    } catch (const XlsxError& e) {
        return e.what();
    }
    return "no error";
}

TEST(XlsxReader, BadCellsNameTheCellAndProblem) {
    const struct {
        const char* xml;
        const char* message;
    } cases[] = {
        // clang-format off
        {"<c r='A1'><v>abc</v></c>", "cell A1 has the bad number abc"},
        {"<c r='A1'><v>inf</v></c>", "bad number"}, {"<c r='A1'><v>nan</v></c>", "bad number"},
        {"<c r='A1' t='b'><v>2</v></c>", "cell A1 has the bad boolean 2"},
        {"<c r='A1' t='d'><v>2023-02-29</v></c>", "cell A1 has the bad date"},
        {"<c r='B2' t='s'><v>2</v></c>", "cell B2 refers to shared string 2, past the 2 strings"},
        {"<c r='A1' t='s'><v>-1</v></c>", "refers to shared string"},
        {"<c r='A1' t='q'><v>1</v></c>", "cell A1 has the unknown type q"},
        {"<c r='A1' s='4'><v>1</v></c>", "cell A1 has style index 4, past the 4 cell formats"},
        {"<c r='A0'><v>1</v></c>", "bad cell reference A0"},
        {"<c r='XFE1'><v>1</v></c>", "bad cell reference XFE1"},
        {"<c r='A1048577'><v>1</v></c>", "bad cell reference"},
        {"<c r='1A'><v>1</v></c>", "bad cell reference"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        const std::string what =
            error_of(test::book_parts(std::string("<row r='1'>") + c.xml + "</row>"));
        EXPECT_TRUE(what.starts_with("t.xlsx: xl/worksheets/sheet1.xml: ")) << what;
        EXPECT_NE(what.find(c.message), std::string::npos) << what;
    }
    EXPECT_NE(error_of(test::book_parts("<row r='0'/>")).find("bad row number 0"),
              std::string::npos);
}

// Parts of a workbook the reader takes as Excel would rather than refusing the workbook: defined
// names (given as the workbook's <definedNames>), error values of newer Excels, blank cells.
// What is read: each name ("NAME@SHEET=REFERS;"), A1's value, the cells held, then the notes.
// The workbook has a second sheet, "Two", with the first one's part (its cells count twice).
TEST(XlsxReader, LenientPartsKeepTheWorkbook) {
    const struct {
        const char* names;
        const char* cells;
        const char* read;
    } cases[] = {
        {"<definedName name='Items'>Sheet1!$A$1:$A$2</definedName>"
         "<definedName name='Local' localSheetId='0' hidden='1'>=Sheet1!$A$1,Sheet1!$C$1"
         "</definedName><definedName name='_xlnm.Print_Area' localSheetId='0'>Sheet1!$A:$B"
         "</definedName><definedName name='Rate'> 0.5 </definedName>"
         "<definedName name='Other' localSheetId='1'>Two!$A$1</definedName>"
         "<definedName name='Fits'>@8192@</definedName><definedName name='Long'>@8193@"
         "</definedName>",
         "",
         "Items=Sheet1!$A$1:$A$2;Local@0=Sheet1!$A$1,Sheet1!$C$1;Print_Area@0=Sheet1!$A:$B;"
         "Rate=0.5;Other@1=Two!$A$1;Fits=(8192 characters);cells:0;the defined name 'Long' "
         "refers to a formula too long; left out;"},
        {"<definedName name='1st'>1</definedName><definedName>2</definedName>"
         "<definedName name='a b'>3</definedName><definedName name='?x'>4</definedName>",
         "",
         "cells:0;the defined name '1st' is no valid name; left out;the defined name '' is "
         "no valid name; left out;the defined name 'a b' is no valid name; left out;the "
         "defined name '?x' is no valid name; left out;"},
        {"<definedName name='Far' localSheetId='2'>1</definedName>"
         "<definedName name='Bad' localSheetId='x'>1</definedName>",
         "",
         "cells:0;the defined name 'Far' belongs to no worksheet; left out;the defined name "
         "'Bad' belongs to no worksheet; left out;"},
        {"<definedName name='Empty'> = </definedName><definedName name='Twice'>1</definedName>"
         "<definedName name='TWICE'>2</definedName><definedName name='Twice' localSheetId='0'>3"
         "</definedName>",
         "",
         "Twice=1;Twice@0=3;cells:0;the defined name 'Empty' refers to nothing; left out;the "
         "defined name 'TWICE' is defined twice in one scope; the first is kept;"},
        {"",
         "<c r='A1' t='e'><v>#PYTHON!</v></c><c r='B1' t='e'><v>#TIMEOUT!</v></c>"
         "<c r='C1' t='e'><v> #TIMEOUT! </v></c><c r='D1' t='e'><v>#BUSY!</v></c>",
         "A1:err:#VALUE!;cells:4;Sheet1!A1: the error value #PYTHON! is not one Excel's object "
         "model has a number for; read as #VALUE! (in 2 cells);Sheet1!B1: the error value "
         "#TIMEOUT! "
         "is not one Excel's object model has a number for; read as #VALUE! (in 4 cells);"},
        {"",
         "<c r='A1'/><c r='B1'><v></v></c><c r='C1' s='0'/><c r='D1' s='1'/><c r='E1'><f>1</f>"
         "</c><c r='F1' t='inlineStr'><is><t></t></is></c>",
         "cells:3;"},
    };
    for (const auto& c : cases) {
        auto parts = test::book_parts(std::string("<row r='1'>") + c.cells + "</row>");
        std::string& workbook = parts["xl/workbook.xml"];
        workbook.insert(workbook.find("</sheets>"), "<sheet name='Two' sheetId='2' r:id='rId1'/>");
        std::string names = c.names;
        for (const std::size_t length : {8192u, 8193u}) {
            const std::string token = "@" + std::to_string(length) + "@";
            if (const auto at = names.find(token); at != std::string::npos)
                names.replace(at, token.size(), std::string(length, '1'));
        }
        workbook.insert(workbook.find("</workbook>"), "<definedNames>" + names + "</definedNames>");
        const WorkbookData book = read_xlsx(test::zip_parts(parts), "t.xlsx");
        std::string read;
        for (const DefinedName& n : book.names)
            read += utf8(n.name) + (n.sheet ? "@" + std::to_string(*n.sheet) : "") + "=" +
                    (n.refers_to.size() < 100
                         ? utf8(n.refers_to)
                         : "(" + std::to_string(n.refers_to.size()) + " characters)") +
                    ";";
        if (const auto a1 = book.sheets[0].find(1, 1)) read += "A1:" + describe(a1->value) + ";";
        read += "cells:" + std::to_string(book.sheets[0].cells.size()) + ";";
        for (const std::string& note : book.notes)
            read += note + ";";
        EXPECT_EQ(read, c.read) << c.names << c.cells;
        // The stand-in hands the notes out with what it could not compute.
        Excel excel;
        excel.open(book);
        EXPECT_EQ(excel.take_problems(), book.notes);
    }
}

// A sheet whose few cells sit among padding of pseudo-random lengths (fixed seed): blanks,
// comments, blank cells. Multi-byte characters, references, CRLFs and CDATA sections then fall
// across the pieces the reader inflates and parses at a time. Read deflated and stored, and
// refused as soon as the cells pass a budget.
TEST(XlsxReader, PaddedSheetsReadInPieces) {
    std::mt19937 random(21);
    std::vector<std::size_t> lines;  // in each text
    std::string data;
    for (int row = 1; row <= 40; ++row) {
        const std::string r = std::to_string(row);
        const std::size_t blanks = random() % 70000, comment = random() % 9000;
        const std::size_t between = random() % 3;
        lines.push_back(random() % 40000);
        data += "<row r='" + r + "'>" + std::string(blanks, ' ') + "<!--" +
                std::string(comment, 'x') + "--><c r='B" + r + "'/>" + std::string(between, ' ') +
                "<c r='A" + r + "' t='inlineStr'><is><t>\xC3\xA9&amp;" +
                std::string(lines.back(), '\n') +
                "\r\n\xE6\x97\xA5<![CDATA[<x>\r\n]]>&#x1F600;</t></is></c><c r='C" + r + "'><v>" +
                r + ".5</v></c></row>\r\n";
    }
    for (const bool deflate : {false, true}) {
        const auto zip = test::zip_parts(test::book_parts(data), deflate);
        const SheetData sheet = read_xlsx(zip, "t.xlsx").sheets.at(0);
        EXPECT_EQ(sheet.cells.size(), 80u);
        for (std::uint32_t row = 1; row <= 40; ++row) {
            const std::string text = "\xC3\xA9&" + std::string(lines[row - 1] + 1, '\n') +
                                     "\xE6\x97\xA5<x>\n\xF0\x9F\x98\x80";
            ASSERT_EQ(describe(cell(sheet, row, 1).value), "str:" + text) << row;
            ASSERT_EQ(cell(sheet, row, 3).value.to_number(), row + 0.5) << row;
        }
        try {
            read_xlsx(zip, "t.xlsx", 79);
            ADD_FAILURE() << "read past the budget";
        } catch (const XlsxError& e) {
            EXPECT_NE(std::string(e.what()).find("more than 79 cells"), std::string::npos);
        }
    }
}

// Text and markup placed to start at each offset from 40 bytes before a boundary of the pieces
// the reader takes at a time (64 KiB) to the boundary: each cell reads the same every time.
TEST(XlsxReader, MarkupAcrossPieceBoundaries) {
    const struct {
        const char* xml;
        const char* text;
    } cases[] = {
        {"a\r\nb\rc", "a\nb\nc"},
        {"&amp;&#x1F600;&lt;", "&\xF0\x9F\x98\x80<"},
        {"\xE6\x97\xA5\xC3\xA9\xF0\x9F\x98\x80", "\xE6\x97\xA5\xC3\xA9\xF0\x9F\x98\x80"},
        {"<![CDATA[<]]]]>x<![CDATA[a\r\nb]]>", "<]]xa\nb"},
        {"x<!--c-->y<?pi data?\?>z", "xyz"},
        {"y<x a='>' b=\"'>\"/>z<a:b>w</a:b>", "yzw"},
    };
    const std::string open = "<c r='A1' t='inlineStr'><is><t>";
    const std::string probe = test::book_parts("<row r='1'>@").at("xl/worksheets/sheet1.xml");
    const std::size_t head = probe.find('@') + open.size();
    for (const auto& c : cases) {
        for (std::size_t before = 0; before <= 40; ++before) {
            const std::string data = "<row r='1'>" + std::string(65536 - before - head, ' ') +
                                     open + c.xml + "</t></is></c></row>";
            const SheetData sheet =
                read_xlsx(test::zip_parts(test::book_parts(data)), "t.xlsx").sheets.at(0);
            ASSERT_EQ(describe(cell(sheet, 1, 1).value), std::string("str:") + c.text)
                << c.xml << ", " << before << " bytes before the boundary";
        }
    }
}

TEST(XlsxReader, ShiftFormula) {
    const struct {
        const char* formula;
        std::int64_t rows, columns;
        const char* shifted;
    } cases[] = {
        // clang-format off
        {"A1*2", 1, 0, "A2*2"}, {"$A$1+A$1+$A1+a1", 2, 3, "$A$1+D$1+$A3+D3"},
        {"SUM(A1:B2)", 1, 1, "SUM(B2:C3)"},
        {"'My Sheet'!A1&\"A1\"&'It''s'!Z9", 0, 1, "'My Sheet'!B1&\"A1\"&'It''s'!AA9"},
        {"LOG10(A1)+TRUE+ABCD1+R2D2", 1, 0, "LOG10(A2)+TRUE+ABCD1+R2D2"},
        {"A:A+$A:B+1:3+$1:2+Z:AA", 2, 1, "B:B+$A:C+3:5+$1:4+AA:AB"},
        {"1.5E+10+A1-1", 1, 0, "1.5E+10+A2-1"},
        {"Table1[[#This Row],[A1]]+A1", 1, 0, "Table1[[#This Row],[A1]]+A2"},
        {"#REF!+#N/A+A1", 1, 0, "#REF!+#N/A+A2"}, {"A1+B2", -1, 0, "#REF!+B1"},
        {"XFD1", 0, 1, "#REF!"}, {"A1048576", 1, 0, "#REF!"},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shift_formula(c.formula, c.rows, c.columns), c.shifted) << c.formula;
    }
}

TEST(XlsxReader, IsoDates) {
    const struct {
        const char* text;
        double serial;  // -1: not a date
    } cases[] = {
        // clang-format off
        {"1900-01-01", 1}, {"1900-02-28", 59}, {"1900-03-01", 61}, {"2024-01-15", 45306},
        {"2024-02-29T12:00:00", 45351.5}, {"2024-01-15T06:00:00Z", 45306.25},
        {"2024-01-15T06:00", 45306.25}, {"18:00:00", 0.75}, {"00:00:00.5", 0.5 / 86400},
        {"2023-02-29", -1}, {"2024-13-01", -1}, {"2024-01-15T25:00:00", -1}, {"2024-01-15T", -1},
        {"", -1}, {"1899-01-01", -1}, {"2024-1-15", -1},
        {"1899-12-30", -1}, {"1899-12-31T12:00", 0.5},
        // clang-format on
    };
    for (const auto& c : cases) {
        double serial = -1;
        const bool ok = iso_to_serial(c.text, serial);
        EXPECT_EQ(ok, c.serial >= 0) << c.text;
        if (ok) {
            EXPECT_DOUBLE_EQ(serial, c.serial) << c.text;
        }
    }
}

TEST(XlsxReader, DamagedPackagesGiveClearErrors) {
    // A part replaced by the text given, or dropped (nullptr); the error names it.
    const struct {
        const char* part;
        const char* text;
        const char* message;
    } cases[] = {
        {"xl/workbook.xml", nullptr, "t.xlsx: xl/workbook.xml is missing"},
        {"xl/worksheets/sheet1.xml", nullptr, "t.xlsx: xl/worksheets/sheet1.xml is missing"},
        {"xl/sharedStrings.xml", nullptr, "t.xlsx: xl/sharedStrings.xml is missing"},
        {"xl/worksheets/sheet1.xml", "<worksheet><sheetData>",
         "t.xlsx: malformed XML in xl/worksheets/sheet1.xml at offset 22: unexpected end"},
        {"_rels/.rels", "<Relationships><", "malformed XML in _rels/.rels at offset"},
        {"xl/workbook.xml", "<html/>", "xl/workbook.xml: the root element is not <workbook>"},
        {"xl/workbook.xml", "<workbook><sheets/></workbook>",
         "xl/workbook.xml: the workbook has no sheets"},
        {"xl/_rels/workbook.xml.rels", "<Relationships/>",
         "sheet 'Sheet1' refers to the missing relationship rId1"},
        {"xl/workbook.xml", "<workbook><sheets><sheet/></sheets></workbook>",
         "a sheet without a name or relationship id"},
        {"xl/styles.xml", "<styleSheet><numFmts><numFmt/></numFmts></styleSheet>",
         "xl/styles.xml: a numFmt without a valid numFmtId"},
        {"xl/styles.xml", "<styleSheet/>\xC3", "xl/styles.xml at offset 13: invalid UTF-8"},
    };
    for (const auto& c : cases) {
        auto parts = test::book_parts("<row r='1'><c r='A1' t='s'><v>0</v></c></row>");
        if (c.text)
            parts[c.part] = c.text;
        else
            parts.erase(c.part);
        const std::string what = error_of(parts);
        EXPECT_NE(what.find(c.message), std::string::npos) << what;
    }
    // The sheet's checksum or sizes changed by a delta, in its local header and the directory.
    const struct {
        bool deflate;
        std::size_t field;  // in the local header; two bytes further in the directory
        std::uint32_t delta;
        const char* message;
    } entries[] = {
        {false, 14, 1, "xl/worksheets/sheet1.xml: corrupt zip file (CRC mismatch)"},
        {true, 14, 1, "CRC mismatch"},
        {true, 22, 0xFFFFFFFF, "corrupt zip file (inflates to more than its declared size)"},
        {true, 22, 1, "corrupt zip file (inflates to 1"},
        {true, 18, 0xFFFFFFF8, "truncated or corrupt deflate data"},
    };
    for (const auto& d : entries) {
        auto zip =
            test::zip_parts(test::book_parts("<row r='1'><c r='A1'><v>1</v></c></row>"), d.deflate);
        const std::string_view bytes(reinterpret_cast<const char*>(zip.data()), zip.size());
        const std::string_view name = "xl/worksheets/sheet1.xml";
        for (const std::size_t at :
             {bytes.find(name) - 30 + d.field, bytes.rfind(name) - 46 + d.field + 2}) {
            std::uint32_t v = 0;
            for (std::size_t k = 0; k < 4; ++k)
                v |= static_cast<std::uint32_t>(zip[at + k]) << (8 * k);
            v += d.delta;
            for (std::size_t k = 0; k < 4; ++k)
                zip[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
        try {
            read_xlsx(zip, "t.xlsx");
            ADD_FAILURE() << d.message;
        } catch (const XlsxError& e) {
            EXPECT_NE(std::string(e.what()).find(d.message), std::string::npos) << e.what();
        }
    }
    const std::vector<std::uint8_t> text = {'P', 'K', 'n', 'o'};
    EXPECT_THROW(read_xlsx(text, "x.xlsx"), XlsxError);
    try {
        read_xlsx("/nonexistent/book.xlsx");
        ADD_FAILURE();
    } catch (const XlsxError& e) {
        EXPECT_TRUE(
            std::string(e.what()).starts_with("/nonexistent/book.xlsx: cannot open the file"));
    }
}

// ---------------------------------------------------------------------------------------------
// Workbooks from the generator scripts (made by the build in TB_XLSX_TEST_DIR).

const fs::path test_dir = TB_XLSX_TEST_DIR;

TEST(XlsxWorkbooks, GeneratedCellTypesAnd1904Dates) {
    const auto book = read_xlsx((test_dir / "cell_types.xlsx").string());
    ASSERT_EQ(book.sheets.size(), 4u);
    EXPECT_EQ(book.name, u"cell_types.xlsx");
    EXPECT_EQ(book.sheets[1].name, u"My Sheet");
    EXPECT_TRUE(book.sheets[1].cells.empty());
    EXPECT_EQ(book.sheets[3].name, u"Sheet with blanks");
    EXPECT_EQ(describe(cell(book.sheets[3], 1048576, 16384).value), "str:corner");
    const auto& t = book.sheets[0];
    const struct {
        std::uint32_t row, column;
        const char* value;
        const char* formula;
    } cases[] = {
        // clang-format off
        {1, 1, "str:plain", ""}, {2, 1, "str:bold and plain", ""}, {3, 1, "str:inline text", ""},
        {4, 1, "str:inline", ""}, {5, 1, "str:ab", "\"a\"&\"b\""}, {6, 1, "bool:TRUE", ""},
        {7, 1, "bool:FALSE", ""}, {8, 1, "err:#NULL!", ""}, {14, 1, "err:#N/A", ""},
        {15, 1, "err:#SPILL!", ""}, {4, 2, "num:1e+20", ""}, {5, 2, "num:3.25", ""},
        {6, 2, "num:45351.5", ""}, {7, 2, "num:1", ""}, {1, 3, "num:43.5", "SUM(B1:B2)"},
        {2, 3, "empty", "C1&\"\""}, {3, 4, "num:-0.002", "B3*2+$B$1"}, {5, 4, "num:84", ""},
        {1, 5, "str:line\rbreak", ""}, {2, 5, "str:a_x0041_", ""},
        {3, 5, "str:<&\xC3\xA9\xF0\x9F\x98\x80", ""}, {4, 5, "str:<raw> & more", ""},
        {5, 5, "str:  padded  ", ""}, {6, 5, "str:caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", ""},
        {4, 6, "num:19.99", ""}, {5, 6, "num:45306", ""}, {1, 7, "empty", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        const CellData& d = cell(t, c.row, c.column);
        EXPECT_EQ(describe(d.value), c.value) << c.row << "," << c.column;
        EXPECT_EQ(d.formula ? utf8(*d.formula) : "", c.formula) << c.row << "," << c.column;
    }
    EXPECT_EQ(cell(t, 4, 6).value.to_number(), 19.99);  // correctly rounded, to the last bit
    EXPECT_EQ(cell(t, 4, 6).format, u"$#,##0.00");
    EXPECT_EQ(cell(t, 7, 6).format, u"0.0;\"minus \"0.0");
    EXPECT_EQ(cell(t, 1, 7).format, u"0.00");
    EXPECT_EQ(book.sheets[2].cells.size(), 5u);  // positions without references

    // The 1904 date system: cells keep the file's serials (ISO dates become such serials);
    // Range.Value and Range.Text give the dates those serials stand for, and durations as they are.
    Excel excel;
    excel.open(read_xlsx((test_dir / "date1904.xlsx").string()));
    const struct {
        const char* value2;
        const char* value;
        const char* text;
    } dates[] = {
        {"num:43844", "date:45306", "1/15/2024"}, {"num:100", "num:100", "100"},
        {"num:43844", "date:45306", "1/15/2024"}, {"num:0.5", "date:1462.5", "12:00"},
        {"num:1.5", "date:1463.5", "36:00"},
    };
    for (std::size_t row = 1; const auto& d : dates) {
        const ObjectRef range = excel.range(u"A" + utf16(std::to_string(row++)));
        EXPECT_EQ(describe(get(range, u"Value2")), d.value2) << row;
        EXPECT_EQ(describe(get(range, u"Value")), d.value) << row;
        EXPECT_EQ(describe(get(range, u"Text")), std::string("str:") + d.text) << row;
    }
    // Formulas count dates in their workbook's system too; a new 1900 workbook keeps its own.
    const std::pair<const char16_t*, const char*> formulas[] = {
        {u"DATE(2024,1,15)", "num:43844"},
        {u"DATE(1904,1,1)", "num:0"},
        {u"DATE(1903,12,31)", "err:#NUM!"},
        {u"DATE(9999,12,31)", "num:2957003"},
        {u"TEXT(43844,\"d mmm yyyy\")", "str:15 Jan 2024"},
        {u"TEXT(A1,\"yyyy\")", "str:2024"},
        {u"TEXT(1.5,\"[h]\")", "str:36"}};
    for (const auto& [formula, expected] : formulas)
        EXPECT_EQ(describe(excel.evaluate(formula)), expected) << utf8(formula);
    excel.add_new_workbook();
    excel.set_active_sheet(1, 0);
    EXPECT_EQ(describe(excel.evaluate(u"DATE(2024,1,15)")), "num:45306");
    EXPECT_EQ(describe(excel.evaluate(u"TEXT(0,\"yyyy\")")), "str:1900");
}

}  // namespace
}  // namespace tb::standin
