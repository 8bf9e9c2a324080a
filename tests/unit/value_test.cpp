#include "server/host/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "server/host/host_object.h"

namespace tb {
namespace {

std::string u8(const std::u16string& s) {
    return utf8(s);
}

// Runs f and answers the HRESULT of the Failure it raises, or ok when it raises none.
template <typename F>
std::int32_t failure_of(F&& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.hresult();
    }
    return hr::ok;
}

struct TextCase {
    Value value;
    const char* text;
};

TEST(ValueText, StandardTextOfEachKind) {
    const Decimal one_fifty{2, false, 0, 150};                       // 1.50
    const Decimal big{0, true, 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull};  // -(2^96 - 1)
    const Decimal tiny{28, false, 0, 1};                             // 1E-28
    const Decimal negative_zero{3, true, 0, 0};
    const TextCase cases[] = {
        {Value(), ""},
        {Value::boolean(true), "True"},
        {Value::boolean(false), "False"},
        {Value::byte(255), "255"},
        {Value::integer(-32768), "-32768"},
        {Value::long_(2147483647), "2147483647"},
        {Value::string(u"  as is  "), "  as is  "},
        // doubles: 15 significant digits, exponent form outside [-4, 14]
        {Value::number(0), "0"},
        {Value::number(-0.0), "0"},
        {Value::number(3.5), "3.5"},
        {Value::number(-42), "-42"},
        {Value::number(1.0 / 3), "0.333333333333333"},
        {Value::number(2.0 / 3), "0.666666666666667"},
        {Value::number(0.1 + 0.2), "0.3"},
        {Value::number(123456789012345.0), "123456789012345"},
        {Value::number(999999999999999.9), "1E+15"},
        {Value::number(1e15), "1E+15"},
        {Value::number(1e20), "1E+20"},
        {Value::number(-2.5e16), "-2.5E+16"},
        {Value::number(123456789012345678.0), "1.23456789012346E+17"},
        {Value::number(1.7976931348623157e308), "1.79769313486232E+308"},
        {Value::number(0.0001), "0.0001"},
        {Value::number(0.000123456789012345678), "0.000123456789012346"},
        {Value::number(0.00001), "1E-05"},
        {Value::number(1.5e-10), "1.5E-10"},
        {Value::number(-1e-100), "-1E-100"},
        {Value::number(5e-324), "4.94065645841247E-324"},
        // singles: 7 significant digits, exponent form outside [-4, 6]
        {Value::single(0.1f), "0.1"},
        {Value::single(3.14159265f), "3.141593"},
        {Value::single(1234567.0f), "1234567"},
        {Value::single(12345678.0f), "1.234568E+07"},
        {Value::single(1e-5f), "1E-05"},
        // currency: up to 4 decimals
        {Value::currency(12345), "1.2345"},
        {Value::currency(-5000), "-0.5"},
        {Value::currency(30000), "3"},
        {Value::currency(1), "0.0001"},
        {Value::currency(std::numeric_limits<std::int64_t>::min()), "-922337203685477.5808"},
        // decimal: exact
        {Value::decimal(one_fifty), "1.5"},
        {Value::decimal(big), "-79228162514264337593543950335"},
        {Value::decimal(tiny), "0.0000000000000000000000000001"},
        {Value::decimal(negative_zero), "0"},
        // dates
        {Value::date(0), "12:00:00 AM"},
        {Value::date(1), "12/31/1899"},
        {Value::date(2.5), "1/1/1900 12:00:00 PM"},
        {Value::date(45292.5), "1/1/2024 12:00:00 PM"},
        {Value::date(45658 + 13.0 / 24 + 4.0 / 1440 + 5.0 / 86400), "1/1/2025 1:04:05 PM"},
        {Value::date(0.25), "6:00:00 AM"},
        {Value::date(-0.25), "6:00:00 AM"},
        {Value::date(-1.25), "12/29/1899 6:00:00 AM"},
        {Value::date(60), "2/28/1900"},
        {Value::date(61), "3/1/1900"},
        {Value::date(0.999999999), "12/31/1899"},  // rounds up to the next midnight
        {Value::date(-657434), "1/1/0100"},
        {Value::date(2958465.5), "12/31/9999 12:00:00 PM"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(u8(c.value.to_text()), c.text) << "kind " << static_cast<int>(c.value.kind());
        EXPECT_EQ(c.value.text_length(), std::string(c.text).size());
    }
}

TEST(ValueText, KindsWithoutTextFail) {
    struct Case {
        Value value;
        std::int32_t to_text;
        std::int32_t joined;
    };
    const Case cases[] = {
        {Value::null(), hr::type_mismatch, hr::ok},
        {Value::xl_error(xlerr::value), hr::type_mismatch, hr::type_mismatch},
        {Value::missing(), hr::type_mismatch, hr::type_mismatch},
        {Value::object(ObjectRef()), hr::type_mismatch, hr::type_mismatch},
        {Value::array(Array::grid(1, 1, {Value::number(1)})), hr::type_mismatch, hr::type_mismatch},
        {Value::number(std::numeric_limits<double>::infinity()), hr::overflow, hr::overflow},
        {Value::number(std::numeric_limits<double>::quiet_NaN()), hr::overflow, hr::overflow},
        {Value::date(-657435), hr::overflow, hr::overflow},
        {Value::date(2958466), hr::overflow, hr::overflow},
    };
    for (const Case& c : cases) {
        const auto kind = static_cast<int>(c.value.kind());
        EXPECT_EQ(failure_of([&] { (void)c.value.to_text(); }), c.to_text) << "kind " << kind;
        EXPECT_EQ(failure_of([&] { (void)c.value.joined_text(); }), c.joined) << "kind " << kind;
    }
    EXPECT_EQ(Value::null().joined_text(), u"");
    EXPECT_EQ(Value::number(2.5).joined_text(), u"2.5");
}

TEST(ValueNumber, ParseNumberAcceptsAndRejects) {
    struct Case {
        const char16_t* text;
        bool accepted;
        double value;
    };
    const Case cases[] = {
        {u"0", true, 0},
        {u"42", true, 42},
        {u"  7  ", true, 7},
        {u"+3", true, 3},
        {u"-3.25", true, -3.25},
        {u".5", true, 0.5},
        {u"-.5", true, -0.5},
        {u"5.", true, 5},
        {u"007", true, 7},
        {u"1e3", true, 1000},
        {u"1.5E-2", true, 0.015},
        {u"2E+2", true, 200},
        {u"1.e2", true, 100},
        {u"0.1", true, 0.1},
        {u"123456789012345678901234567890", true, 1.2345678901234568e29},
        {u"1e-400", true, 0},
        {u"0e999999999999", true, 0},
        {u"", false, 0},
        {u"   ", false, 0},
        {u".", false, 0},
        {u"+", false, 0},
        {u"-", false, 0},
        {u"e5", false, 0},
        {u"1e", false, 0},
        {u"0e", false, 0},
        {u"1e+", false, 0},
        {u"1,5", false, 0},
        {u"1,000", false, 0},
        {u"1 000", false, 0},
        {u"- 1", false, 0},
        {u"--1", false, 0},
        {u"+-1", false, 0},
        {u"1.2.3", false, 0},
        {u"0x10", false, 0},
        {u"&H10", false, 0},
        {u"inf", false, 0},
        {u"-Infinity", false, 0},
        {u"nan", false, 0},
        {u"$5", false, 0},
        {u"5%", false, 0},
        {u"(5)", false, 0},
        {u"\t5", false, 0},
        {u"5\n", false, 0},
        {u"\uFF15", false, 0},  // full-width digit five
        {u"1e400", false, 0},
        {u"-1e99999", false, 0},
    };
    for (const Case& c : cases) {
        double out = -999;
        EXPECT_EQ(parse_number(c.text, out), c.accepted) << u8(c.text);
        EXPECT_EQ(out, c.accepted ? c.value : -999) << u8(c.text);
    }
    double out = 0;
    ASSERT_TRUE(parse_number(u"-0", out));
    EXPECT_TRUE(std::signbit(out));
}

TEST(ValueNumber, ToNumberOfEachKind) {
    const Decimal decimal{3, true, 0, 1500};  // -1.500
    EXPECT_EQ(Value().to_number(), 0);
    EXPECT_EQ(Value::boolean(true).to_number(), -1);
    EXPECT_EQ(Value::boolean(false).to_number(), 0);
    EXPECT_EQ(Value::byte(200).to_number(), 200);
    EXPECT_EQ(Value::integer(-7).to_number(), -7);
    EXPECT_EQ(Value::long_(-100000).to_number(), -100000);
    EXPECT_EQ(Value::single(0.5f).to_number(), 0.5);
    EXPECT_EQ(Value::number(0.1).to_number(), 0.1);
    EXPECT_EQ(Value::currency(-12345).to_number(), -1.2345);
    EXPECT_EQ(Value::decimal(decimal).to_number(), -1.5);
    EXPECT_EQ(Value::decimal({1, false, 0, 1}).to_number(), 0.1);  // correctly rounded
    EXPECT_EQ(Value::date(45292.25).to_number(), 45292.25);
    EXPECT_EQ(Value::string(u" 1.5 ").to_number(), 1.5);

    struct Case {
        Value value;
        std::int32_t hresult;
    };
    const Case failures[] = {
        {Value::null(), hr::type_mismatch},
        {Value::xl_error(xlerr::na), hr::type_mismatch},
        {Value::object(ObjectRef()), hr::type_mismatch},
        {Value::array(Array::grid(1, 1, {Value()})), hr::type_mismatch},
        {Value::string(u""), hr::type_mismatch},
        {Value::string(u"abc"), hr::type_mismatch},
        {Value::string(u"True"), hr::type_mismatch},
        {Value::string(u"1e400"), hr::overflow},
    };
    for (const Case& c : failures) {
        EXPECT_EQ(failure_of([&] { (void)c.value.to_number(); }), c.hresult)
            << "kind " << static_cast<int>(c.value.kind());
        EXPECT_FALSE(c.value.is_numeric()) << "kind " << static_cast<int>(c.value.kind());
    }
    for (const Value& v : {Value(), Value::boolean(false), Value::date(1), Value::currency(0),
                           Value::string(u" -.5 ")})
        EXPECT_TRUE(v.is_numeric()) << "kind " << static_cast<int>(v.kind());
}

TEST(ValueBoolean, ToBooleanTable) {
    struct Case {
        Value value;
        bool result;
    };
    const Case cases[] = {
        {Value(), false},
        {Value::boolean(true), true},
        {Value::boolean(false), false},
        {Value::byte(0), false},
        {Value::integer(2), true},
        {Value::long_(-1), true},
        {Value::single(0.5f), true},
        {Value::number(0), false},
        {Value::number(-0.0), false},
        {Value::number(1e-300), true},
        {Value::currency(1), true},
        {Value::currency(0), false},
        {Value::decimal({5, true, 0, 0}), false},
        {Value::decimal({28, false, 0, 1}), true},
        {Value::date(0), false},
        {Value::date(0.5), true},
        {Value::string(u"True"), true},
        {Value::string(u"  tRUE "), true},
        {Value::string(u"FALSE"), false},
        {Value::string(u" false"), false},
        {Value::string(u"1"), true},
        {Value::string(u"0.0"), false},
        {Value::string(u" -2 "), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value.to_boolean(), c.result) << "kind " << static_cast<int>(c.value.kind());

    const Value failing[] = {
        Value::null(),
        Value::xl_error(xlerr::div0),
        Value::missing(),
        Value::object({}),
        Value::array(Array::grid(1, 1, {Value()})),
        Value::string(u""),
        Value::string(u"yes"),
        Value::string(u"T R U E"),
        Value::string(u"TRUE()"),
    };
    for (const Value& v : failing)
        EXPECT_EQ(failure_of([&] { (void)v.to_boolean(); }), hr::type_mismatch)
            << "kind " << static_cast<int>(v.kind());
}

// A host object that counts its references, to check that values hold and give back counts.
class CountedObject final : public HostObject {
  public:
    int count = 1;
    void add_ref() noexcept override { ++count; }
    void release() noexcept override { --count; }
    Value invoke(std::u16string_view, InvokeKind, std::span<const Value>) override { return {}; }
    ObjectRef query(const Guid&) override { fail(hr::no_interface, "none"); }
    std::uint32_t connect_events(const Guid&, EventSink&) override { return 0; }
    void disconnect_events(std::uint32_t) override {}
};

TEST(ValueSemantics, ObjectValuesHoldOneCountEach) {
    CountedObject object;
    {
        Value a = Value::object(ObjectRef::share(&object));
        EXPECT_EQ(object.count, 2);
        Value b = a;
        EXPECT_EQ(object.count, 3);
        b = Value::number(1);
        EXPECT_EQ(object.count, 2);
        Value c = std::move(a);
        EXPECT_EQ(object.count, 2);
        EXPECT_EQ(c.object_value().get(), &object);
        ObjectRef assigned;
        assigned = c.object_value();
        EXPECT_EQ(object.count, 3) << "an assigned reference holds its own count";
    }
    EXPECT_EQ(object.count, 1);
}

TEST(ValueArray, BoundsAndIndexing) {
    std::vector<Value> elements;
    for (int i = 0; i < 6; ++i)
        elements.push_back(Value::long_(i));
    const Array grid = Array::grid(2, 3, elements);
    ASSERT_EQ(grid.dimensions(), 2u);
    EXPECT_EQ(grid.lower(0), 1);
    EXPECT_EQ(grid.upper(0), 2);
    EXPECT_EQ(grid.upper(1), 3);
    EXPECT_EQ(grid.at(1, 1).to_number(), 0);
    EXPECT_EQ(grid.at(1, 3).to_number(), 2);  // row-major: the column varies fastest
    EXPECT_EQ(grid.at(2, 1).to_number(), 3);
    EXPECT_EQ(grid.at(2, 3).to_number(), 5);

    const Array row({{-2, 3}}, {Value::number(1), Value::number(2), Value::number(3)});
    const std::int64_t last[] = {0};
    EXPECT_EQ(row.at(last).to_number(), 3);
    EXPECT_EQ(row.upper(0), 0);

    const Array cube({{0, 2}, {5, 2}, {-1, 2}}, std::vector<Value>(8, Value::number(0)));
    const std::int64_t corner[] = {1, 6, 0};
    EXPECT_EQ(&cube.at(corner), &cube.elements().back());

    struct Case {
        const char* what;
        std::function<void()> call;
        std::int32_t hresult;
    };
    const Case failures[] = {
        {"no second dimension", [&] { (void)row.bound(1); }, hr::bad_index},
        {"upper of no second dimension", [&] { (void)row.upper(1); }, hr::bad_index},
        {"row below", [&] { (void)grid.at(0, 1); }, hr::bad_index},
        {"row above", [&] { (void)grid.at(3, 1); }, hr::bad_index},
        {"column above", [&] { (void)grid.at(1, 4); }, hr::bad_index},
        {"two indexes for one dimension", [&] { (void)row.at(0, 0); }, hr::bad_index},
        {"one index for two dimensions", [&] { (void)grid.at(last); }, hr::bad_index},
        {"too few elements", [] { (void)Array::grid(2, 2, {Value()}); }, hr::invalid_arg},
        {"too many elements",
         [] {
             (void)Array({{0, 1}}, {Value(), Value()});
         },
         hr::invalid_arg},
        {"no dimension", [] { (void)Array({}, {}); }, hr::invalid_arg},
        {"count overflow",
         [] {
             (void)Array({{0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}}, {Value()});
         },
         hr::invalid_arg},
    };
    for (const Case& c : failures)
        EXPECT_EQ(failure_of(c.call), c.hresult) << c.what;

    const Array empty({{1, 0}}, {});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.upper(0), 0);
}

TEST(TextHelpers, TrimRemoveUpperCompare) {
    EXPECT_EQ(trim_blanks(u"  a b  "), u"a b");
    EXPECT_EQ(trim_blanks(u"\t a \n"), u"\t a \n");  // only U+0020 is a blank
    EXPECT_EQ(trim_blanks(u"    "), u"");
    EXPECT_EQ(trim_blanks(u"\u00A0x\u00A0"), u"\u00A0x\u00A0");
    EXPECT_EQ(remove_blanks(u" T R U E ( ) "), u"TRUE()");
    EXPECT_EQ(remove_blanks(u"a\tb"), u"a\tb");
    EXPECT_EQ(to_upper(u"true() äöüéÿ ß µ z{"), u"TRUE() ÄÖÜÉŸ ß µ Z{");
    EXPECT_EQ(to_upper(u"÷ žšłő αως жя ё"), u"÷ ŽŠŁŐ ΑΩΣ ЖЯ Ё");
    EXPECT_TRUE(iequals(u"Value2", u"VALUE2"));
    EXPECT_TRUE(iequals(u"", u""));
    EXPECT_FALSE(iequals(u"Value", u"Value2"));
    EXPECT_FALSE(iequals(u"Value2", u"Value"));
    EXPECT_FALSE(iequals(u"ä", u"Ä"));  // ASCII only
    EXPECT_FALSE(iequals(u"@", u"`"));  // neighbours of the letter ranges stay apart
    EXPECT_FALSE(iequals(u"[", u"{"));
}

TEST(TextHelpers, Utf8AndUtf16) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case round_trips[] = {
        {"", u""},
        {"plain", u"plain"},
        {"\xC3\xA4\xE2\x82\xAC", u"ä€"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // outside the BMP: a surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const Case& c : round_trips) {
        EXPECT_EQ(utf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(utf8(c.utf16), c.utf8) << c.utf8;
    }
    const std::u16string r = u"\uFFFD";
    const Case invalid_utf8[] = {
        {"\x80", r},
        {"a\xC3", u"a" + r},                  // cut short
        {"\xC3(", r + u"("},                  // resumes at the breaking byte
        {"\xC0\xAF", r + r},                  // overlong
        {"\xE0\x80\xAF", r + r + r},          // overlong
        {"\xED\xA0\x80", r + r + r},          // encoded surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
        {"\xE2\x82", r},
    };
    for (const Case& c : invalid_utf8)
        EXPECT_EQ(utf16(c.utf8), c.utf16) << c.utf8.size();

    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    const char16_t lone_low[] = {0xDC00, 0};
    const char16_t swapped[] = {0xDC00, 0xD800, 0};
    EXPECT_EQ(utf8(lone_high),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(utf8(lone_low), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8(swapped), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ExcelErrors, NumbersAndDisplayText) {
    struct Case {
        std::int32_t number;
        const char16_t* text;
    };
    const Case cases[] = {{xlerr::null_, u"#NULL!"},  {xlerr::div0, u"#DIV/0!"},
                          {xlerr::value, u"#VALUE!"}, {xlerr::ref, u"#REF!"},
                          {xlerr::name, u"#NAME?"},   {xlerr::num, u"#NUM!"},
                          {xlerr::na, u"#N/A"}};
    for (const Case& c : cases) {
        const std::int32_t code = xlerr::scode(c.number);
        EXPECT_EQ(xlerr::number_of(code), c.number);
        EXPECT_EQ(xlerr::display_text(code), c.text);
        EXPECT_EQ(xlerr::from_display_text(c.text), code);
        std::u16string lower = c.text;
        for (char16_t& ch : lower)
            if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch + 0x20);
        EXPECT_EQ(xlerr::from_display_text(lower), code);
    }
    EXPECT_EQ(xlerr::scode(xlerr::value), static_cast<std::int32_t>(0x800A07DF));
    EXPECT_EQ(xlerr::from_display_text(u"#VALUE"), 0);
    EXPECT_EQ(xlerr::from_display_text(u" #N/A"), 0);
    EXPECT_EQ(xlerr::number_of(hr::param_not_found), -1);
    EXPECT_EQ(xlerr::number_of(hr::ok), -1);
    EXPECT_EQ(xlerr::display_text(hr::type_mismatch), u"");
    EXPECT_EQ(xlerr::display_text(xlerr::scode(1)), u"");
}

}  // namespace
}  // namespace tb
