#include "core/host/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/host/host_object.h"

namespace tb {
namespace {

// The HRESULT of the Failure f raises, or ok when it raises none.
std::int32_t failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.hresult();
    }
    return hr::ok;
}

int kind(const Value& v) {
    return static_cast<int>(v.kind());
}

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ValueText, StandardTextOfEachKind) {
    const auto check = [](const Value& v, const char* text) {
        EXPECT_EQ(utf8(v.to_text()), text) << "kind " << kind(v);
        EXPECT_EQ(v.text_length(), std::string(text).size()) << text;
    };
    // clang-format off
    // Doubles: 15 significant digits, exponent form outside [-4, 14].
    const std::pair<double, const char*> doubles[] = {
        {-0.0, "0"}, {3.5, "3.5"}, {-42, "-42"}, {1.0 / 3, "0.333333333333333"},
        {2.0 / 3, "0.666666666666667"}, {0.1 + 0.2, "0.3"}, {123456789012345.0, "123456789012345"},
        {999999999999999.9, "1E+15"}, {1e20, "1E+20"}, {-2.5e16, "-2.5E+16"},
        {123456789012345678.0, "1.23456789012346E+17"}, {1.7976931348623157e308, "1.79769313486232E+308"},
        {0.0001, "0.0001"}, {0.000123456789012345678, "0.000123456789012346"}, {0.00001, "1E-05"},
        {1.5e-10, "1.5E-10"}, {-1e-100, "-1E-100"}, {5e-324, "4.94065645841247E-324"}};
    // Singles: 7 significant digits, exponent form outside [-4, 6].
    const std::pair<float, const char*> singles[] = {
        {0.1f, "0.1"}, {3.14159265f, "3.141593"}, {1234567.0f, "1234567"},
        {12345678.0f, "1.234568E+07"}, {1e-5f, "1E-05"}};
    // Dates; 0.999999999 rounds up to the next midnight.
    const std::pair<double, const char*> dates[] = {
        {0, "12:00:00 AM"}, {1, "12/31/1899"}, {2.5, "1/1/1900 12:00:00 PM"},
        {45292.5, "1/1/2024 12:00:00 PM"}, {45658 + 13.0 / 24 + 4.0 / 1440 + 5.0 / 86400, "1/1/2025 1:04:05 PM"},
        {-0.25, "6:00:00 AM"}, {-1.25, "12/29/1899 6:00:00 AM"}, {60, "2/28/1900"}, {61, "3/1/1900"},
        {0.999999999, "12/31/1899"}, {-657434, "1/1/0100"}, {2958465.5, "12/31/9999 12:00:00 PM"}};
    // Currency: up to 4 decimals.
    const std::pair<std::int64_t, const char*> currencies[] = {
        {12345, "1.2345"}, {-5000, "-0.5"}, {30000, "3"}, {1, "0.0001"},
        {std::numeric_limits<std::int64_t>::min(), "-922337203685477.5808"}};
    // clang-format on
    for (const auto& [x, text] : doubles)
        check(Value::number(x), text);
    for (const auto& [x, text] : singles)
        check(Value::single(x), text);
    for (const auto& [x, text] : dates)
        check(Value::date(x), text);
    for (const auto& [x, text] : currencies)
        check(Value::currency(x), text);
    // Decimals: exact.
    check(Value::decimal({2, false, 0, 150}), "1.5");
    check(Value::decimal({0, true, 0xFFFFFFFFu, ~0ull}), "-79228162514264337593543950335");
    check(Value::decimal({28, false, 0, 1}), "0.0000000000000000000000000001");
    check(Value::decimal({3, true, 0, 0}), "0");
    check(Value(), "");
    check(Value::boolean(true), "True");
    check(Value::boolean(false), "False");
    check(Value::byte(255), "255");
    check(Value::integer(-32768), "-32768");
    check(Value::long_(2147483647), "2147483647");
    check(Value::string(u"  as is  "), "  as is  ");
    EXPECT_EQ(Value::null().joined_text(), u"");
    // Kinds without a text: to_text and joined_text fail alike, except Null joins as "".
    // clang-format off
    const Value no_text[] = {
        Value::null(), Value::xl_error(xlerr::value), Value::missing(), Value::object(ObjectRef()),
        Value::array(Array::grid(1, 1, {Value()})), Value::number(kInf), Value::number(std::nan("")),
        Value::date(-657435), Value::date(2958466)};
    // clang-format on
    for (const Value& v : no_text) {
        const std::int32_t want = v.is_numeric() ? hr::overflow : hr::type_mismatch;
        EXPECT_EQ(failure_of([&] { (void)v.to_text(); }), want) << "kind " << kind(v);
        EXPECT_EQ(failure_of([&] { (void)v.joined_text(); }), v.is_null() ? hr::ok : want);
    }
}

TEST(ValueNumber, ParseToNumberAndToBoolean) {
    // clang-format off
    const std::pair<const char16_t*, double> accepted[] = {
        {u"0", 0}, {u"42", 42}, {u"  7  ", 7}, {u"+3", 3}, {u"-3.25", -3.25}, {u".5", 0.5},
        {u"-.5", -0.5}, {u"5.", 5}, {u"007", 7}, {u"1e3", 1000}, {u"1.5E-2", 0.015}, {u"2E+2", 200},
        {u"1.e2", 100}, {u"0.1", 0.1}, {u"1e-400", 0}, {u"0e999999999999", 0},
        {u"123456789012345678901234567890", 1.2345678901234568e29}};
    const char16_t* rejected[] = {
        u"", u"   ", u".", u"+", u"-", u"e5", u"1e", u"0e", u"1e+", u"1,5", u"1 000", u"- 1", u"--1",
        u"+-1", u"1.2.3", u"0x10", u"&H10", u"inf", u"nan", u"$5", u"5%", u"(5)", u"\t5", u"5\n",
        u"\uFF15", u"1e400", u"-1e99999"};
    // clang-format on
    for (const auto& [text, value] : accepted) {
        double out = -999;
        EXPECT_TRUE(parse_number(text, out)) << utf8(text);
        EXPECT_EQ(out, value) << utf8(text);
    }
    for (const char16_t* text : rejected) {
        double out = -999;
        EXPECT_FALSE(parse_number(text, out)) << utf8(text);
        EXPECT_EQ(out, -999) << utf8(text);
    }
    double out = 0;
    ASSERT_TRUE(parse_number(u"-0", out));
    EXPECT_TRUE(std::signbit(out));

    // to_number and to_boolean: what converts, and what fails.
    // clang-format off
    const std::tuple<Value, double, bool> cases[] = {
        {Value(), 0, false}, {Value::boolean(true), -1, true}, {Value::boolean(false), 0, false},
        {Value::byte(200), 200, true}, {Value::byte(0), 0, false}, {Value::integer(-7), -7, true},
        {Value::long_(-100000), -100000, true}, {Value::single(0.5f), 0.5, true},
        {Value::number(0.1), 0.1, true}, {Value::number(-0.0), 0, false},
        {Value::number(1e-300), 1e-300, true}, {Value::currency(-12345), -1.2345, true},
        {Value::currency(0), 0, false}, {Value::decimal({3, true, 0, 1500}), -1.5, true},
        {Value::decimal({1, false, 0, 1}), 0.1, true},  // correctly rounded
        {Value::decimal({5, true, 0, 0}), 0, false}, {Value::date(45292.25), 45292.25, true},
        {Value::date(0), 0, false}, {Value::string(u" 1.5 "), 1.5, true},
        {Value::string(u"0.0"), 0, false}, {Value::string(u" -.5 "), -0.5, true}};
    const Value failing[] = {
        Value::null(), Value::xl_error(xlerr::div0), Value::missing(), Value::object({}),
        Value::array(Array::grid(1, 1, {Value()})), Value::string(u""), Value::string(u"yes"),
        Value::string(u"T R U E"), Value::string(u"TRUE()")};
    // clang-format on
    for (const auto& [value, number, boolean] : cases) {
        EXPECT_EQ(value.to_number(), number) << "kind " << kind(value);
        EXPECT_EQ(value.to_boolean(), boolean) << "kind " << kind(value);
        EXPECT_TRUE(value.is_numeric()) << "kind " << kind(value);
    }
    // Texts that are booleans but no numbers.
    for (const char16_t* t : {u"True", u"  tRUE ", u"FALSE", u" false"}) {
        EXPECT_EQ(Value::string(t).to_boolean(), utf8(t).find_first_of("tT") != std::string::npos);
        EXPECT_EQ(failure_of([&] { (void)Value::string(t).to_number(); }), hr::type_mismatch);
    }
    EXPECT_EQ(failure_of([] { (void)Value::string(u"1e400").to_number(); }), hr::overflow);
    for (const Value& v : failing) {
        EXPECT_EQ(failure_of([&] { (void)v.to_boolean(); }), hr::type_mismatch) << kind(v);
        EXPECT_EQ(failure_of([&] { (void)v.to_number(); }), hr::type_mismatch) << kind(v);
        EXPECT_FALSE(v.is_numeric()) << "kind " << kind(v);
    }
}

TEST(ValueArray, BoundsAndIndexing) {
    const Array grid = Array::grid(2, 3,
                                   {Value::long_(0), Value::long_(1), Value::long_(2),
                                    Value::long_(3), Value::long_(4), Value::long_(5)});
    ASSERT_EQ(grid.dimensions(), 2u);
    EXPECT_EQ(grid.lower(0) + 10 * grid.upper(0) + 100 * grid.upper(1), 321);
    // Row-major: the column varies fastest.
    EXPECT_EQ(grid.at(1, 3).to_number() + 10 * grid.at(2, 1).to_number(), 32);
    EXPECT_EQ(grid.at(2, 3).to_number(), 5);
    const Array row({{-2, 3}}, {Value::number(1), Value::number(2), Value::number(3)});
    const std::int64_t last[] = {0};
    EXPECT_EQ(row.at(last).to_number(), 3);
    const Array cube({{0, 2}, {5, 2}, {-1, 2}}, std::vector<Value>(8, Value::number(0)));
    const std::int64_t corner[] = {1, 6, 0};
    EXPECT_EQ(&cube.at(corner), &cube.elements().back());
    const Array empty({{1, 0}}, {});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.upper(0), 0);

    const std::function<void()> bad_index[] = {
        [&] { (void)row.bound(1); },  [&] { (void)row.upper(1); },  [&] { (void)grid.at(0, 1); },
        [&] { (void)grid.at(3, 1); }, [&] { (void)grid.at(1, 4); }, [&] { (void)row.at(0, 0); },
        [&] { (void)grid.at(last); }};
    for (const auto& f : bad_index)
        EXPECT_EQ(failure_of(f), hr::bad_index);
    // clang-format off
    const std::function<void()> invalid[] = {
        [] { (void)Array::grid(2, 2, {Value()}); }, [] { (void)Array({{0, 1}}, {Value(), Value()}); },
        [] { (void)Array({}, {}); },
        [] { (void)Array({{0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}}, {Value()}); }};
    // clang-format on
    for (const auto& f : invalid)
        EXPECT_EQ(failure_of(f), hr::invalid_arg);
}

TEST(TextHelpers, TrimUpperCompareAndUtf) {
    EXPECT_EQ(trim_blanks(u"  a b  "), u"a b");
    EXPECT_EQ(trim_blanks(u"\t a \n"), u"\t a \n");  // only U+0020 is a blank
    EXPECT_EQ(trim_blanks(u"    "), u"");
    EXPECT_EQ(remove_blanks(u" T R U E ( ) \t"), u"TRUE()\t");
    EXPECT_EQ(to_upper(u"true() äöüéÿ ß µ z{"), u"TRUE() ÄÖÜÉŸ ß µ Z{");
    EXPECT_EQ(to_upper(u"÷ žšłő αως жя ё"), u"÷ ŽŠŁŐ ΑΩΣ ЖЯ Ё");
    EXPECT_TRUE(iequals(u"Value2", u"VALUE2"));
    // Length, ASCII only, and the neighbours of the letter ranges stay apart.
    const std::pair<const char16_t*, const char16_t*> different[] = {
        {u"Value", u"Value2"}, {u"Value2", u"Value"}, {u"ä", u"Ä"}, {u"@", u"`"}, {u"[", u"{"}};
    for (auto [a, b] : different)
        EXPECT_FALSE(iequals(a, b)) << utf8(a);
    EXPECT_FALSE(iequals(u"ab", std::u16string_view(u"abc", 1)));  // the shorter, a prefix

    // UTF-8 and UTF-16 both ways, with what is invalid replaced.
    using Case = std::pair<std::string, std::u16string>;  // UTF-8, UTF-16
    // clang-format off
    const Case round_trips[] = {
        {"", u""}, {"\xC3\xA4\xE2\x82\xAC", u"ä€"}, {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}, {std::string("a\0b", 3), std::u16string(u"a\0b", 3)}};
    // clang-format on
    for (const auto& [in_utf8, in_utf16] : round_trips) {
        EXPECT_EQ(utf16(in_utf8), in_utf16) << in_utf8;
        EXPECT_EQ(utf8(in_utf16), in_utf8) << in_utf8;
    }
    // Cut short, resumed at the breaking byte, overlong, an encoded surrogate, past U+10FFFF.
    const std::u16string r = u"\uFFFD";
    // clang-format off
    const Case invalid_utf8[] = {
        {"\x80", r}, {"a\xC3", u"a" + r}, {"\xC3(", r + u"("}, {"\xC0\xAF", r + r},
        {"\xE0\x80\xAF", r + r + r}, {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xF8\x88\x80\x80\x80", r + r + r + r + r}, {"\xE2\x82", r}};
    // clang-format on
    for (const auto& [in_utf8, in_utf16] : invalid_utf8)
        EXPECT_EQ(utf16(in_utf8), in_utf16) << in_utf8.size();
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0}, swapped[] = {0xDC00, 0xD800, 0};
    EXPECT_EQ(utf8(lone_high), std::string("a\xEF\xBF\xBD") + "b");
    EXPECT_EQ(utf8(swapped), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ExcelErrors, NumbersAndDisplayText) {
    const std::pair<std::int32_t, std::u16string> cases[] = {
        {xlerr::null_, u"#NULL!"}, {xlerr::div0, u"#DIV/0!"}, {xlerr::value, u"#VALUE!"},
        {xlerr::ref, u"#REF!"},    {xlerr::name, u"#NAME?"},  {xlerr::num, u"#NUM!"},
        {xlerr::na, u"#N/A"}};
    for (const auto& [number, text] : cases) {
        const std::int32_t code = xlerr::scode(number);
        EXPECT_EQ(xlerr::number_of(code), number);
        EXPECT_EQ(xlerr::display_text(code), text);
        EXPECT_EQ(xlerr::from_display_text(text), code);
        std::u16string lower = text;
        for (char16_t& ch : lower)
            if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch + 0x20);
        EXPECT_EQ(xlerr::from_display_text(lower), code);
    }
    EXPECT_EQ(xlerr::scode(xlerr::value), static_cast<std::int32_t>(0x800A07DF));
    EXPECT_EQ(xlerr::from_display_text(u"#VALUE") + xlerr::from_display_text(u" #N/A"), 0);
    for (std::int32_t code : {hr::param_not_found, hr::ok, hr::type_mismatch})
        EXPECT_EQ(xlerr::number_of(code), -1) << code;
    EXPECT_EQ(xlerr::display_text(hr::type_mismatch) + xlerr::display_text(xlerr::scode(1)), u"");
}

}  // namespace
}  // namespace tb
