// The workbook reader: each cell type, formats, shared and inline strings, positions, sheets,
// the 1904 date system, shared formulas, damaged packages; then workbooks written by the
// generator scripts, by LibreOffice and by openpyxl; and a million cells in reasonable time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "standin/number_format.h"
#include "standin/xlsx/xlsx_reader.h"
#include "tests/unit/xlsx_test_zip.h"

namespace tb::standin {
namespace {

namespace fs = std::filesystem;

// A value as "n:1.5", "s:text", "b:1", "e:2042", "empty".
std::string describe(const Value& v) {
    std::ostringstream out;
    if (v.is_empty()) return "empty";
    if (v.kind() == Kind::Double) {
        out.precision(17);
        out << "n:" << v.to_number();
    } else if (v.is_string()) {
        out << "s:" << utf8(v.string_value());
    } else if (v.is_boolean()) {
        out << "b:" << v.boolean_value();
    } else if (v.is_error()) {
        out << "e:" << xlerr::number_of(v.error_code());
    } else {
        out << "kind " << static_cast<int>(v.kind());
    }
    return out.str();
}

WorkbookData read_parts(const std::map<std::string, std::string>& parts) {
    const auto zip = test::zip_parts(parts);
    return read_xlsx(zip, "t.xlsx");
}

SheetData first_sheet(WorkbookData book) {
    return std::move(book.sheets.at(0));
}

CellData cell(const SheetData& sheet, std::uint32_t row, std::uint32_t column) {
    return sheet.find(row, column).value_or(CellData{Value::string(u"<no cell>"), u"", {}});
}

std::string error_of(const std::map<std::string, std::string>& parts) {
    try {
        read_parts(parts);
    } catch (const XlsxError& e) {
        return e.what();
    }
    return "no error";
}

TEST(XlsxReader, CellTypes) {
    const struct {
        const char* xml;  // the <c> element at A1
        const char* value;
    } cases[] = {
        {"<c r='A1'><v>1.5</v></c>", "n:1.5"},
        {"<c r='A1' t='n'><v> -2.5E+3 </v></c>", "n:-2500"},
        {"<c r='A1'><v>+7</v></c>", "n:7"},
        {"<c r='A1' t='s'><v>1</v></c>", "s:second"},
        {"<c r='A1' t='str'><f>\"x\"</f><v>x_x000D_y</v></c>", "s:x\ry"},
        {"<c r='A1' t='inlineStr'><is><t xml:space='preserve'> in </t></is></c>", "s: in "},
        {"<c r='A1' t='inlineStr'><is><r><t>a</t></r><r><t>b</t></r><rPh><t>P</t></rPh></is></c>",
         "s:ab"},
        {"<c r='A1' t='b'><v>1</v></c>", "b:1"},
        {"<c r='A1' t='b'><v>false</v></c>", "b:0"},
        {"<c r='A1' t='e'><v>#N/A</v></c>", "e:2042"},
        {"<c r='A1' t='e'><v>#DIV/0!</v></c>", "e:2007"},
        {"<c r='A1' t='e'><v>#NULL!</v></c>", "e:2000"},
        {"<c r='A1' t='e'><v>#SPILL!</v></c>", "e:2045"},
        {"<c r='A1' t='d'><v>2024-02-29T12:00:00</v></c>", "n:45351.5"},
        {"<c r='A1' t='s'/>", "empty"},
        {"<c r='A1'><v></v></c>", "empty"},
        {"<c r='A1' t='b'><v/></c>", "empty"},
        {"<c r='A1' t='str'><f>\"\"</f><v></v></c>", "s:"},
        {"<c r='A1' s='1'/>", "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        const auto book =
            read_parts(test::book_parts(std::string("<row r='1'>") + c.xml + "</row>"));
        ASSERT_EQ(book.sheets.size(), 1u);
        EXPECT_EQ(describe(cell(book.sheets[0], 1, 1).value), c.value);
    }
}

TEST(XlsxReader, BadCellsNameTheCellAndProblem) {
    const struct {
        const char* xml;
        const char* message;
    } cases[] = {
        {"<c r='A1'><v>abc</v></c>", "cell A1 has the bad number abc"},
        {"<c r='A1'><v>inf</v></c>", "bad number"},
        {"<c r='A1'><v>nan</v></c>", "bad number"},
        {"<c r='A1' t='b'><v>2</v></c>", "cell A1 has the bad boolean 2"},
        {"<c r='A1' t='e'><v>#FOO!</v></c>", "cell A1 has the unknown error value #FOO!"},
        {"<c r='A1' t='d'><v>2023-02-29</v></c>", "cell A1 has the bad date"},
        {"<c r='B2' t='s'><v>2</v></c>", "cell B2 refers to shared string 2, past the 2 strings"},
        {"<c r='A1' t='s'><v>-1</v></c>", "refers to shared string"},
        {"<c r='A1' t='q'><v>1</v></c>", "cell A1 has the unknown type q"},
        {"<c r='A1' s='4'><v>1</v></c>", "cell A1 has style index 4, past the 4 cell formats"},
        {"<c r='A0'><v>1</v></c>", "bad cell reference A0"},
        {"<c r='XFE1'><v>1</v></c>", "bad cell reference XFE1"},
        {"<c r='A1048577'><v>1</v></c>", "bad cell reference"},
        {"<c r='1A'><v>1</v></c>", "bad cell reference"},
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

TEST(XlsxReader, FormatCodesFromCellXfs) {
    auto parts = test::book_parts(
        "<row r='1'><c r='A1'><v>1</v></c><c r='B1' s='1'><v>1</v></c><c r='C1' s='2'><v>1</v></c>"
        "<c r='D1' s='3'><v>1</v></c><c r='E1' s='4'><v>1</v></c><c r='F1' "
        "s='5'><v>1</v></c></row>");
    parts["xl/styles.xml"] =
        std::string("<x:styleSheet xmlns:x='") + test::ns_main +
        "'><x:numFmts><x:numFmt numFmtId='164' formatCode='&quot;a&quot;0.0;[Red]-0'/>"
        "<x:numFmt numFmtId='14' formatCode='dd/mm/yyyy'/></x:numFmts>"
        "<x:cellStyleXfs><x:xf numFmtId='10'/></x:cellStyleXfs>"
        "<x:cellXfs><x:xf numFmtId='0'/><x:xf numFmtId='2'/><x:xf numFmtId='164'/>"
        "<x:xf numFmtId='14'/><x:xf numFmtId='200'/><x:xf "
        "numFmtId='22'/></x:cellXfs></x:styleSheet>";
    const SheetData sheet = first_sheet(read_parts(parts));
    const std::u16string builtin22 = builtin_format_code(22);
    const std::u16string expected[] = {
        u"General",    u"0.00",    u"\"a\"0.0;[Red]-0",
        u"dd/mm/yyyy", u"General", builtin22.empty() ? u"General" : builtin22};
    for (std::uint32_t col = 1; col <= 6; ++col) {
        EXPECT_EQ(utf8(cell(sheet, 1, col).format), utf8(expected[col - 1])) << "column " << col;
    }
    // Without a styles part every cell is General.
    parts.erase("xl/styles.xml");
    std::string& rels = parts["xl/_rels/workbook.xml.rels"];
    rels.erase(rels.find("<Relationship Id=\"rId3\""));
    rels += "</Relationships>";
    EXPECT_EQ(cell(first_sheet(read_parts(parts)), 1, 3).format, u"General");
}

TEST(XlsxReader, PositionsWithoutReferencesCountOn) {
    const auto book = read_parts(test::book_parts(
        "<row><c><v>1</v></c><c><v>2</v></c></row><row r='3'><c r='C3'><v>3</v></c><c><v>4</v></c>"
        "</row><row><c><v>5</v></c></row><row r='9'><c r='XFD9'><v>6</v></c></row>"));
    const auto& s = book.sheets.at(0);
    EXPECT_EQ(s.cells.size(), 6u);
    EXPECT_EQ(describe(cell(s, 1, 1).value), "n:1");
    EXPECT_EQ(describe(cell(s, 1, 2).value), "n:2");
    EXPECT_EQ(describe(cell(s, 3, 3).value), "n:3");
    EXPECT_EQ(describe(cell(s, 3, 4).value), "n:4");
    EXPECT_EQ(describe(cell(s, 4, 1).value), "n:5");
    EXPECT_EQ(describe(cell(s, 9, 16384).value), "n:6");
}

TEST(XlsxReader, SheetOrderNamesAndTargets) {
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    auto parts = test::book_parts("");
    parts["xl/workbook.xml"] =
        std::string("<workbook xmlns='") + test::ns_main + "' xmlns:r='" + rel +
        "'><sheets><sheet name='Zeta' sheetId='3' r:id='rId9'/><sheet name='My Sheet' sheetId='1' "
        "r:id='rId1'/><sheet name='Chart' sheetId='4' r:id='rId8'/><sheet name='A &amp; B' "
        "sheetId='2' r:id='rId7'/></sheets></workbook>";
    parts["xl/_rels/workbook.xml.rels"] =
        "<Relationships xmlns='http://schemas.openxmlformats.org/package/2006/relationships'>"
        "<Relationship Id='rId1' Type='" +
        rel +
        "worksheet' Target='worksheets/sheet1.xml'/>"
        "<Relationship Id='rId7' Type='" +
        rel +
        "worksheet' Target='/xl/other/s%202.xml'/>"
        "<Relationship Id='rId8' Type='" +
        rel +
        "chartsheet' Target='chartsheets/c1.xml'/>"
        "<Relationship Id='rId9' Type='" +
        rel +
        "worksheet' Target='./x/../../xl/z.xml'/>"
        "</Relationships>";
    const std::string empty = std::string("<worksheet xmlns='") + test::ns_main + "'/>";
    parts["xl/other/s 2.xml"] = empty;
    parts["xl/z.xml"] = empty;
    const auto book = read_parts(parts);
    ASSERT_EQ(book.sheets.size(), 3u);
    EXPECT_EQ(book.name, u"t.xlsx");
    EXPECT_EQ(book.sheets[0].name, u"Zeta");
    EXPECT_EQ(book.sheets[1].name, u"My Sheet");
    EXPECT_EQ(book.sheets[2].name, u"A & B");
}

TEST(XlsxReader, FormulasSharedAndArray) {
    const SheetData s = first_sheet(read_parts(test::book_parts(
        "<row r='1'><c r='B1'><f>=SUM(A1:A2)</f><v>3</v></c>"
        "<c r='C1'><f t='shared' ref='C1:D2' si='0'>A1+$A$1+Sheet2!B$1</f><v>1</v></c>"
        "<c r='D1'><f t='shared' si='0'/><v>2</v></c></row>"
        "<row r='2'><c r='D2'><f t='shared' si='0'/><v>4</v></c>"
        "<c r='E2'><f t='shared' si='7'/><v>5</v></c>"
        "<c r='F2'><f t='array' ref='F2:F3'>A1:A2*2</f><v>6</v></c></row>"
        "<row r='3'><c r='F3'><v>7</v></c></row>")));
    const struct {
        std::uint32_t row, column;
        const char* formula;  // "" when the cell has none
        const char* value;
    } cases[] = {
        {1, 2, "SUM(A1:A2)", "n:3"},
        {1, 3, "A1+$A$1+Sheet2!B$1", "n:1"},
        {1, 4, "B1+$A$1+Sheet2!C$1", "n:2"},
        {2, 4, "B2+$A$1+Sheet2!C$1", "n:4"},
        {2, 5, "", "n:5"},
        {2, 6, "A1:A2*2", "n:6"},
        {3, 6, "", "n:7"},
    };
    for (const auto& c : cases) {
        const CellData& d = cell(s, c.row, c.column);
        EXPECT_EQ(d.formula ? utf8(*d.formula) : "", c.formula) << c.row << "," << c.column;
        EXPECT_EQ(describe(d.value), c.value) << c.row << "," << c.column;
    }
}

TEST(XlsxReader, ShiftFormula) {
    const struct {
        const char* formula;
        std::int64_t rows, columns;
        const char* shifted;
    } cases[] = {
        {"A1*2", 1, 0, "A2*2"},
        {"$A$1+A$1+$A1+a1", 2, 3, "$A$1+D$1+$A3+D3"},
        {"SUM(A1:B2)", 1, 1, "SUM(B2:C3)"},
        {"'My Sheet'!A1&\"A1\"&'It''s'!Z9", 0, 1, "'My Sheet'!B1&\"A1\"&'It''s'!AA9"},
        {"LOG10(A1)+TRUE+ABCD1+R2D2", 1, 0, "LOG10(A2)+TRUE+ABCD1+R2D2"},
        {"A:A+$A:B+1:3+$1:2+Z:AA", 2, 1, "B:B+$A:C+3:5+$1:4+AA:AB"},
        {"1.5E+10+A1-1", 1, 0, "1.5E+10+A2-1"},
        {"Table1[[#This Row],[A1]]+A1", 1, 0, "Table1[[#This Row],[A1]]+A2"},
        {"#REF!+#N/A+A1", 1, 0, "#REF!+#N/A+A2"},
        {"A1+B2", -1, 0, "#REF!+B1"},
        {"XFD1", 0, 1, "#REF!"},
        {"A1048576", 1, 0, "#REF!"},
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
        {"1900-01-01", 1},
        {"1900-02-28", 59},
        {"1900-03-01", 61},
        {"2024-01-15", 45306},
        {"2024-02-29T12:00:00", 45351.5},
        {"2024-01-15T06:00:00Z", 45306.25},
        {"2024-01-15T06:00", 45306.25},
        {"18:00:00", 0.75},
        {"00:00:00.5", 0.5 / 86400},
        {"2023-02-29", -1},
        {"2024-13-01", -1},
        {"2024-01-15T25:00:00", -1},
        {"2024-01-15T", -1},
        {"", -1},
        {"1899-01-01", -1},
        {"2024-1-15", -1},
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
    using Parts = std::map<std::string, std::string>;
    const struct {
        const char* name;
        std::function<void(Parts&)> damage;
        const char* message;
    } cases[] = {
        {"no workbook", [](Parts& p) { p.erase("xl/workbook.xml"); },
         "t.xlsx: xl/workbook.xml is missing"},
        {"no sheet part", [](Parts& p) { p.erase("xl/worksheets/sheet1.xml"); },
         "t.xlsx: xl/worksheets/sheet1.xml is missing"},
        {"no shared strings", [](Parts& p) { p.erase("xl/sharedStrings.xml"); },
         "t.xlsx: xl/sharedStrings.xml is missing"},
        {"bad sheet XML",
         [](Parts& p) { p["xl/worksheets/sheet1.xml"] = "<worksheet><sheetData>"; },
         "t.xlsx: malformed XML in xl/worksheets/sheet1.xml at offset 22: unexpected end"},
        {"bad rels XML", [](Parts& p) { p["_rels/.rels"] = "<Relationships><"; },
         "malformed XML in _rels/.rels at offset"},
        {"wrong root", [](Parts& p) { p["xl/workbook.xml"] = "<html/>"; },
         "xl/workbook.xml: the root element is not <workbook>"},
        {"no sheets", [](Parts& p) { p["xl/workbook.xml"] = "<workbook><sheets/></workbook>"; },
         "xl/workbook.xml: the workbook has no sheets"},
        {"missing relationship",
         [](Parts& p) { p["xl/_rels/workbook.xml.rels"] = "<Relationships/>"; },
         "sheet 'Sheet1' refers to the missing relationship rId1"},
        {"sheet without name",
         [](Parts& p) { p["xl/workbook.xml"] = "<workbook><sheets><sheet/></sheets></workbook>"; },
         "a sheet without a name or relationship id"},
        {"bad numFmt",
         [](Parts& p) {
             p["xl/styles.xml"] = "<styleSheet><numFmts><numFmt/></numFmts></styleSheet>";
         },
         "xl/styles.xml: a numFmt without a valid numFmtId"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Parts parts = test::book_parts("<row r='1'><c r='A1' t='s'><v>0</v></c></row>");
        c.damage(parts);
        const std::string what = error_of(parts);
        EXPECT_NE(what.find(c.message), std::string::npos) << what;
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

TEST(XlsxReader, AMillionCellsInSeconds) {
    std::string data;
    data.reserve(48u << 20);
    for (int r = 1; r <= 100000; ++r) {
        data += "<row r=\"" + std::to_string(r) + "\">";
        for (int c = 0; c < 10; ++c) {
            data += "<c r=\"";
            data += static_cast<char>('A' + c);
            data += std::to_string(r) + (c % 2 ? "\" t=\"s\"><v>1</v></c>" : "\"><v>1.25</v></c>");
        }
        data += "</row>";
    }
    const auto zip = test::zip_parts(test::book_parts(data));
    const auto start = std::chrono::steady_clock::now();
    const auto book = read_xlsx(zip, "big.xlsx");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(book.sheets.at(0).cells.size(), 1000000u);
    EXPECT_EQ(describe(cell(book.sheets[0], 100000, 10).value), "s:second");
    EXPECT_LT(seconds, 60.0);  // linear; a few seconds even under the sanitizers
    std::printf("read 1,000,000 cells in %.2f s\n", seconds);
}

// ---------------------------------------------------------------------------------------------
// Workbooks from the generator scripts (made by the build in TB_XLSX_TEST_DIR), re-saved by
// LibreOffice, and written by openpyxl.

const fs::path test_dir = TB_XLSX_TEST_DIR;

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// The LibreOffice copy of a generated workbook, or an empty path when soffice is not there.
fs::path libreoffice_copy(const std::string& name) {
    if (run("command -v soffice") != 0) return {};
    const fs::path out = test_dir / "libreoffice";
    const fs::path copy = out / name;
    if (!fs::exists(copy)) {
        fs::create_directories(out);
        // A private profile, so a running or broken user profile does not interfere; soffice
        // exits with 0 even when it fails, so the copy's existence is what counts.
        run("LC_ALL=C.UTF-8 timeout 180 soffice -env:UserInstallation=file://" +
            (out / "profile").string() + " --headless --convert-to xlsx --outdir " + out.string() +
            " " + (test_dir / name).string());
    }
    return fs::exists(copy) ? copy : fs::path();
}

TEST(XlsxWorkbooks, GeneratedCellTypes) {
    const auto book = read_xlsx((test_dir / "cell_types.xlsx").string());
    ASSERT_EQ(book.sheets.size(), 4u);
    EXPECT_EQ(book.name, u"cell_types.xlsx");
    EXPECT_EQ(book.sheets[1].name, u"My Sheet");
    EXPECT_TRUE(book.sheets[1].cells.empty());
    EXPECT_EQ(book.sheets[3].name, u"Sheet with blanks");
    EXPECT_EQ(describe(cell(book.sheets[3], 1048576, 16384).value), "s:corner");
    const auto& t = book.sheets[0];
    const struct {
        const char* ref;
        std::uint32_t row, column;
        const char* value;
        const char* formula;
    } cases[] = {
        {"A1", 1, 1, "s:plain", ""},
        {"A2", 2, 1, "s:bold and plain", ""},
        {"A3", 3, 1, "s:inline text", ""},
        {"A4", 4, 1, "s:inline", ""},
        {"A5", 5, 1, "s:ab", "\"a\"&\"b\""},
        {"A6", 6, 1, "b:1", ""},
        {"A7", 7, 1, "b:0", ""},
        {"A8", 8, 1, "e:2000", ""},
        {"A14", 14, 1, "e:2042", ""},
        {"A15", 15, 1, "e:2045", ""},
        {"B4", 4, 2, "n:1e+20", ""},
        {"B5", 5, 2, "n:3.25", ""},
        {"B6", 6, 2, "n:45351.5", ""},
        {"B7", 7, 2, "n:1", ""},
        {"C1", 1, 3, "n:43.5", "SUM(B1:B2)"},
        {"C2", 2, 3, "empty", "C1&\"\""},
        {"D3", 3, 4, "n:-0.002", "B3*2+$B$1"},
        {"D5", 5, 4, "n:84", ""},
        {"E1", 1, 5, "s:line\rbreak", ""},
        {"E2", 2, 5, "s:a_x0041_", ""},
        {"E3", 3, 5, "s:<&\xC3\xA9\xF0\x9F\x98\x80", ""},
        {"E4", 4, 5, "s:<raw> & more", ""},
        {"E5", 5, 5, "s:  padded  ", ""},
        {"E6", 6, 5, "s:caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", ""},
        {"F4", 4, 6, "n:19.989999999999998", ""},
        {"F5", 5, 6, "n:45306", ""},
        {"G1", 1, 7, "empty", ""},
    };
    for (const auto& c : cases) {
        const CellData& d = cell(t, c.row, c.column);
        EXPECT_EQ(describe(d.value), c.value) << c.ref;
        EXPECT_EQ(d.formula ? utf8(*d.formula) : "", c.formula) << c.ref;
    }
    EXPECT_EQ(cell(t, 4, 6).format, u"$#,##0.00");
    EXPECT_EQ(cell(t, 7, 6).format, u"0.0;\"minus \"0.0");
    EXPECT_EQ(cell(t, 1, 7).format, u"0.00");
    EXPECT_EQ(book.sheets[2].cells.size(), 5u);  // positions without references
}

// Only date-formatted numbers shift; ISO dates are absolute already.
TEST(XlsxWorkbooks, Generated1904Dates) {
    const SheetData s = first_sheet(read_xlsx((test_dir / "date1904.xlsx").string()));
    EXPECT_EQ(describe(cell(s, 1, 1).value), "n:45306");
    EXPECT_EQ(describe(cell(s, 2, 1).value), "n:100");
    EXPECT_EQ(describe(cell(s, 3, 1).value), "n:45306");
    EXPECT_EQ(describe(cell(s, 4, 1).value), "n:1462.5");
    EXPECT_EQ(describe(cell(s, 5, 1).value), "n:1.5");
}

TEST(XlsxWorkbooks, SampleHasItsSheetsAndFormulas) {
    const auto book = read_xlsx((test_dir / "sample.xlsx").string());
    ASSERT_EQ(book.sheets.size(), 3u);
    EXPECT_EQ(book.sheets[0].name, u"Data");
    EXPECT_EQ(book.sheets[1].name, u"Sheet 2");
    EXPECT_EQ(book.sheets[2].name, u"Formulas");
    int textbraid = 0;
    for (const auto& [key, c] : book.sheets[2].cells) {
        if (c.formula && c.formula->starts_with(u"TEXTBRAID(")) {
            ++textbraid;
            EXPECT_TRUE(c.value.is_empty());
        }
    }
    EXPECT_GE(textbraid, 12);
}

// Every value cell (not formula) of a LibreOffice copy shows the same text as the original.
TEST(XlsxWorkbooks, LibreOfficeCopiesReadTheSame) {
    for (const char* name : {"cell_types.xlsx", "sample.xlsx", "date1904.xlsx"}) {
        SCOPED_TRACE(name);
        const fs::path copy_path = libreoffice_copy(name);
        if (copy_path.empty()) GTEST_SKIP() << "soffice (LibreOffice) is not installed or failed";
        const auto original = read_xlsx((test_dir / name).string());
        const auto copy = read_xlsx(copy_path.string());
        ASSERT_EQ(copy.sheets.size(), original.sheets.size());
        std::size_t compared = 0;
        for (std::size_t i = 0; i < original.sheets.size(); ++i) {
            EXPECT_EQ(copy.sheets[i].name, original.sheets[i].name);
            for (const auto& [key, c] : original.sheets[i].cells) {
                if (c.formula || c.value.is_empty()) continue;
                const auto row = static_cast<std::uint32_t>(key >> 32);
                const auto column = static_cast<std::uint32_t>(key & 0xFFFFFFFFu);
                // LibreOffice counts no 29 Feb 1900, so it writes dates before March 1900 one
                // day later; and it knows none of the newer error values (#SPILL! …).
                if (c.value.kind() == Kind::Double && c.value.to_number() < 61 &&
                    is_date_format(c.format)) {
                    continue;
                }
                if (c.value.is_error() && xlerr::number_of(c.value.error_code()) > xlerr::na) {
                    continue;
                }
                const CellData& d = cell(copy.sheets[i], row, column);
                EXPECT_EQ(describe(d.value), describe(c.value)) << row << "," << column;
                EXPECT_EQ(utf8(format_cell_text(d.value, d.format)),
                          utf8(format_cell_text(c.value, c.format)))
                    << row << "," << column << " " << utf8(d.format) << " vs " << utf8(c.format);
                ++compared;
            }
        }
        EXPECT_GT(compared, 3u);
    }
}

TEST(XlsxWorkbooks, WrittenByOpenpyxl) {
    const fs::path out = test_dir / "openpyxl.xlsx";
    const std::string script = std::string(TB_SOURCE_DIR) + "/tests/data/make_openpyxl_workbook.py";
    int rc = 1;
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        rc = run(std::string(python) + " " + script + " " + out.string());
        if (rc == 0) break;
    }
    if (rc != 0 || !fs::exists(out)) GTEST_SKIP() << "openpyxl is not installed (python3-openpyxl)";
    const auto book = read_xlsx(out.string());
    ASSERT_EQ(book.sheets.size(), 2u);
    EXPECT_EQ(book.sheets[1].name, u"Sheet 2");
    const auto& s = book.sheets[0];
    EXPECT_EQ(describe(cell(s, 1, 1).value), "s:alpha");
    EXPECT_EQ(describe(cell(s, 1, 2).value), "n:1234.5");
    EXPECT_EQ(cell(s, 1, 2).format, u"0.00");
    EXPECT_EQ(describe(cell(s, 1, 3).value), "n:45306");
    EXPECT_EQ(cell(s, 1, 3).format, u"m/d/yyyy");
    EXPECT_EQ(describe(cell(s, 2, 3).value), "b:1");
    EXPECT_EQ(describe(cell(s, 3, 3).value), "e:2042");
    EXPECT_EQ(describe(cell(s, 2, 4).value), "empty");
    EXPECT_EQ(utf8(cell(s, 2, 4).formula.value_or(u"")), "TEXTBRAID(\", \",TRUE,FALSE,A1:C3)");
}

}  // namespace
}  // namespace tb::standin
