// The stand-in's number formats: General texts, displayed text under format codes, and the
// format predicates. Expected texts are what Excel shows (en-US, wide columns).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/host/value.h"
#include "standin/number_format.h"

namespace tb::standin {
namespace {

// general_text when code is null, else format_number (an empty code is the cell's General).
TEST(FormatNumber, Table) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char16_t* code;
        const char16_t* expected;
    } cases[] = {
        // clang-format off
        {0, nullptr, u"0"}, {-0.0, nullptr, u"0"}, {-42, nullptr, u"-42"},
        {1.0 / 3, nullptr, u"0.333333333333333"}, {2.0 / 3, nullptr, u"0.666666666666667"},
        {0.1 + 0.2, nullptr, u"0.3"}, {999999999999999, nullptr, u"999999999999999"},
        {1e15, nullptr, u"1E+15"}, {123456789012345678.0, nullptr, u"1.23456789012346E+17"},
        {1e20, nullptr, u"1E+20"}, {0.001, nullptr, u"0.001"}, {1e-9, nullptr, u"0.000000001"},
        {1.5e-10, nullptr, u"1.5E-10"}, {0.1 + 0.2 - 0.3, nullptr, u"5.55111512312578E-17"},
        {2.675, nullptr, u"2.675"}, {99999999999999.99, nullptr, u"100000000000000"},
        {0, u"", u"0"}, {1.0 / 3, u"", u"0.333333333"}, {3.14159265358979, u"", u"3.141592654"},
        {1234.5678901234, u"", u"1234.56789"}, {12345678901, u"", u"12345678901"},
        {123456789012, u"", u"1.23457E+11"}, {99999999999.7, u"", u"1E+11"},
        {0.000123456789, u"", u"0.000123457"}, {0.00001234, u"", u"0.00001234"},
        {0.0000123456789, u"", u"1.23457E-05"}, {1e-9, u"", u"0.000000001"},
        {1.5e-9, u"", u"1.5E-09"}, {1234.5, u"General", u"1234.5"},
        {-2.5, u"General;(General)", u"(2.5)"}, {1234.5678, u"0", u"1235"}, {0.5, u"0", u"1"},
        {-2.5, u"0", u"-3"}, {2.675, u"0.00", u"2.68"}, {1.005, u"0.00", u"1.01"},
        {-0.001, u"0.00", u"-0.00"}, {12, u"000", u"012"}, {0, u"#", u""}, {0.5, u"#.##", u".5"},
        {1.5, u"0.0#", u"1.5"}, {1.25, u"0.???", u"1.25 "}, {1e20, u"0", u"100000000000000000000"},
        {1234567.891, u"#,##0", u"1,234,568"}, {999.999, u"#,##0.00", u"1,000.00"},
        {5, u"0,000", u"0,005"}, {1234567, u"#,##0,", u"1,235"}, {1234567, u"0.0,,", u"1.2"},
        {0.25, u"0%", u"25%"}, {0.001, u"0.0%", u"0.1%"}, {12345.678, u"0.00E+00", u"1.23E+04"},
        {0.000123, u"0.00E+00", u"1.23E-04"}, {12345, u"##0.0E+0", u"12.3E+3"},
        {0.000123, u"##0.0E+0", u"123.0E-6"}, {9.996, u"0.00E+00", u"1.00E+01"},
        {0, u"0.00E+00", u"0.00E+00"}, {12345, u"0.0E-0", u"1.2E4"},
        {1234.5, u"$#,##0.00", u"$1,234.50"}, {-1234.5, u"$#,##0.00", u"-$1,234.50"},
        {1234.5, u"[$\u20AC-407] #,##0.00", u"\u20AC 1,234.50"},
        {1234.5, u"#,##0.00 [$\u20AC-407]", u"1,234.50 \u20AC"},
        {1234.5, u"[$-409]#,##0.00", u"1,234.50"}, {5, u"0\" units\"", u"5 units"},
        {42, u"\\#0", u"#42"}, {1234.5, u"#,##0.00_)", u"1,234.50 "},
        {1234.5, u"_(\"$\"* #,##0.00_)", u" $1,234.50 "}, {-7, u"\"x\"", u"-x"},
        {-1234.5, u"#,##0.00;(#,##0.00)", u"(1,234.50)"},
        {-1234.5, u"#,##0.00_);[Red](#,##0.00)", u"(1,234.50)"},
        {0, u"0.00;-0.00;\"zero\"", u"zero"}, {-7, u"0;0;0", u"7"}, {-3, u"[Red]0;[Blue]-0", u"-3"},
        {-100, u"0.00;;", u""}, {0, u"0;-0;;@", u""}, {0, u"#,##0 ;(#,##0)", u"0 "},
        {0, u"_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)", u" - "},
        {150, u"[>=100]\"big \"0;\"small \"0", u"big 150"},
        {-5, u"[<0]\"neg \"0;\"pos \"0", u"neg 5"},
        {-500, u"[>=100]0;[<=-100]\"low\"0;0.0", u"low500"},
        {7, u"[>=100]0;[<=-100]\"low\"0;0.0", u"7.0"}, {0.75, u"# ?/?", u" 3/4"},
        {1.25, u"# ?\?/?\?", u"1  1/4 "}, {2, u"# ?/?", u"2    "}, {0.3, u"# ?/8", u" 2/8"},
        {1.3333333, u"?/?", u"4/3"}, {3.14159265, u"# ??\?/??\?", u"3  16/113"},
        {-0.5, u"# ?/?", u"- 1/2"}, {12, u"@", u"12"},
        {3, u"0 \"items\";-0 \"items\";\"none\";\"text: \"@", u"3 items"},
        {2.5, u"\"value \"General", u"value 2.5"}, {45292, u"m/d/yyyy", u"1/1/2024"},
        {45292.75, u"m/d/yyyy h:mm", u"1/1/2024 18:00"}, {45000, u"d-mmm-yy", u"15-Mar-23"},
        {45000, u"yyyy-mm-dd", u"2023-03-15"}, {45000, u"mmmm d, yyyy", u"March 15, 2023"},
        {45000, u"dddd", u"Wednesday"}, {45000, u"ddd, mmm d", u"Wed, Mar 15"},
        {45000, u"mmmmm yy", u"M 23"}, {45000, u"YYYY-MM-DD", u"2023-03-15"},
        {1, u"m/d/yyyy", u"1/1/1900"}, {0, u"m/d/yyyy", u"1/0/1900"},
        {59, u"m/d/yyyy", u"2/28/1900"}, {60, u"m/d/yyyy", u"2/29/1900"},
        {61, u"m/d/yyyy", u"3/1/1900"}, {1, u"dddd", u"Sunday"}, {61, u"dddd", u"Thursday"},
        {2958465, u"yyyy-mm-dd", u"9999-12-31"}, {0.5, u"h:mm", u"12:00"},
        {0.75, u"h:mm AM/PM", u"6:00 PM"}, {0.5, u"h:mm:ss AM/PM", u"12:00:00 PM"},
        {0.0001, u"h:mm:ss AM/PM", u"12:00:09 AM"}, {0.99999999, u"h:mm:ss", u"0:00:00"},
        {45000.8, u"h:mm a/p", u"7:12 p"}, {45000.8, u"h am/pm", u"7 pm"},
        {1.5, u"[h]:mm:ss", u"36:00:00"}, {0.5, u"[m]", u"720"},
        {0.0104166666666667, u"mm:ss", u"15:00"}, {0.000123, u"mm:ss.0", u"00:10.6"},
        {0.000123, u"mmss.0", u"0010.6"}, {45000.123456, u"hh:mm:ss.000", u"02:57:46.598"},
        {0.5, u"h \"h\" m \"min\"", u"12 h 0 min"}, {-1, u"m/d/yyyy", u"########"},
        {10.0 / 1440, u"h:mm:ss AM/PM", u"12:10:00 AM"},
        {-100, u"[>=100]0;[<=-100]\"low\"0;0.0", u"low100"},
        {5, u"[>=100]\"big\";[<=-100]\"low\"", u"low"}, {0.1, u"# ?/?", u" 1/9"},
        {0.99, u"?/?", u"1/1"}, {100, u"[>=100]\"big\";0", u"big"}, {38353, u"m/d/yy", u"1/1/05"},
        {5, u"0\\;0", u"0;5"}, {inf, u"0", u"#NUM!"}, {std::nan(""), nullptr, u"#NUM!"},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::u16string got = c.code ? format_number(c.value, c.code) : general_text(c.value);
        EXPECT_EQ(utf8(got), utf8(c.expected))
            << c.value << " with " << utf8(c.code ? c.code : u"-");
    }
}

// OLE dates and Excel serials agree from 1900-03-01; before it Excel's serial is one less. Texts
// take the text section of the code.
TEST(FormatCellText, DispatchesOnTheKindOfValue) {
    const struct {
        Value value;
        const char16_t* code;
        const char* expected;
    } cases[] = {
        // clang-format off
        {Value(), u"0.00", ""}, {Value::null(), u"0.00", ""},
        {Value::boolean(true), u"0.00", "TRUE"}, {Value::boolean(false), u"General", "FALSE"},
        {Value::xl_error(xlerr::na), u"0.00", "#N/A"},
        {Value::xl_error(xlerr::div0), u"General", "#DIV/0!"},
        {Value::string(u"x"), u"\"<\"@\">\"", "<x>"}, {Value::number(2.675), u"0.00", "2.68"},
        {Value::long_(-5), u"0;(0)", "(5)"}, {Value::currency(12345000), u"$#,##0.00", "$1,234.50"},
        {Value::single(0.5f), u"0%", "50%"},
        {Value::date(45292.5), u"m/d/yyyy h:mm", "1/1/2024 12:00"},
        {Value::date(2), u"m/d/yyyy", "1/1/1900"}, {Value::date(60), u"m/d/yyyy", "2/28/1900"},
        {Value::string(u"abc"), u"@", "abc"}, {Value::string(u"abc"), u"0.00", "abc"},
        {Value::string(u"abc"), u"0;0;0", "abc"},
        {Value::string(u"abc"), u"0;-0;0;\"[\"@\"]\"", "[abc]"},
        {Value::string(u"abc"), u"\"x\"@\"y\"", "xabcy"},
        {Value::string(u"abc"), u"0;@@", "abcabc"}, {Value::string(u"abc"), u"_(@_)", " abc "},
        {Value::string(u"abc"), u"0;0;0;", ""}, {Value::string(u""), u"\"<\"@\">\"", "<>"},
        // clang-format on
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf8(format_cell_text(c.value, c.code)), c.expected) << utf8(c.code);
    // In a workbook of the 1904 date system: dates count from 1904-01-01, durations stay.
    const struct {
        double serial;
        const char16_t* code;
        const char* expected;
    } in_1904[] = {
        {0, u"m/d/yyyy", "1/1/1904"}, {43844.25, u"yyyy-mm-dd h:mm", "2024-01-15 6:00"},
        {1.5, u"[h]:mm", "36:00"},    {59, u"d-mmm", "29-Feb"},
        {2.5, u"0.00", "2.50"},
    };
    for (const auto& c : in_1904)
        EXPECT_EQ(utf8(format_cell_text(Value::number(c.serial), c.code, true)), c.expected)
            << c.serial << " with " << utf8(c.code);
}

TEST(FormatPredicates, DateAndCurrencyCodes) {
    const struct {
        const char16_t* code;
        bool date;
        bool currency;
    } cases[] = {
        // clang-format off
        {u"General", false, false}, {u"0.00", false, false}, {u"m/d/yyyy", true, false},
        {u"d-mmm-yy", true, false}, {u"h:mm:ss AM/PM", true, false}, {u"[h]:mm:ss", true, false},
        {u"mm:ss.0", true, false}, {u"[Red]yyyy-mm-dd", true, false}, {u"0 \"days\"", false, false},
        {u"\"Date: \"0", false, false}, {u"@", false, false}, {u"$#,##0.00", false, true},
        {u"#,##0.00 [$\u20AC-407]", false, true}, {u"\u00A3#,##0", false, true},
        {u"\u00A5#,##0", false, true}, {u"[$-409]#,##0.00", false, false},
        {u"[$-409]m/d/yyyy", true, false},
        {u"_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"?\?_);_(@_)", false, true},
        {u"#,##0;(\"$\"#,##0)", false, false}, {u"[$USD] #,##0", false, true},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_date_format(c.code), c.date) << utf8(c.code);
        EXPECT_EQ(is_currency_format(c.code), c.currency) << utf8(c.code);
    }
}

}  // namespace
}  // namespace tb::standin
