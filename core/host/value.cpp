#include "core/host/value.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

#include "core/host/serial_date.h"

namespace tb {

static_assert(std::is_nothrow_move_constructible_v<Value>);
static_assert(std::is_nothrow_move_assignable_v<Value>);

namespace {

constexpr char16_t blank = u' ';

// ---- numbers as text ------------------------------------------------------------------------

// The shortest text of a finite number rounded to `digits` significant digits: plain when the
// decimal exponent lies in [-4, digits - 1], otherwise d.dddE+XX with a sign and at least two
// exponent digits. This is the classic Automation form: 1/3 -> 0.333333333333333,
// 0.0001 -> 0.0001, 0.00001 -> 1E-05, 1E15 -> 1E+15, -0 -> 0.
template <typename Float>
std::u16string float_text(Float value, int digits) {
    if (!std::isfinite(value)) fail(hr::overflow, "number has no text form");
    if (value == 0) return u"0";  // also -0

    // d.ddddde±x, correctly rounded; to_chars is locale-independent.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::scientific, digits - 1);
    const std::string_view sci(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e_pos = sci.find('e');
    const bool negative = sci.front() == '-';

    std::string mantissa;  // significant digits without the point
    for (char c : sci.substr(0, e_pos))
        if (c >= '0' && c <= '9') mantissa += c;
    while (mantissa.size() > 1 && mantissa.back() == '0')
        mantissa.pop_back();

    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);

    std::string text;
    if (negative) text += '-';
    const int count = static_cast<int>(mantissa.size());
    if (exponent < -4 || exponent >= digits) {
        text += mantissa[0];
        if (count > 1) {
            text += '.';
            text.append(mantissa, 1);
        }
        text += exponent < 0 ? "E-" : "E+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) text += '0';
        text += std::to_string(magnitude);
    } else if (exponent < 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-exponent - 1), '0');
        text += mantissa;
    } else if (count <= exponent + 1) {
        text += mantissa;
        text.append(static_cast<std::size_t>(exponent + 1 - count), '0');
    } else {
        const auto point = static_cast<std::size_t>(exponent + 1);
        text.append(mantissa, 0, point);
        text += '.';
        text.append(mantissa, point);
    }
    return std::u16string(text.begin(), text.end());
}

template <typename Int>
std::u16string integer_text(Int value) {
    char buffer[24];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::u16string(buffer, written.ptr);
}

// Digits of a non-negative integer with `scale` of them after a decimal point; trailing zeros of
// the fraction (and a bare point) are dropped.
std::u16string scaled_text(bool negative, std::string digits, std::size_t scale) {
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    std::string text = digits.substr(0, digits.size() - scale);
    std::string fraction = digits.substr(digits.size() - scale);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    if (!fraction.empty()) text += '.' + fraction;
    const bool zero = text.find_first_not_of("0.") == std::string::npos;
    if (negative && !zero) text.insert(0, 1, '-');
    return std::u16string(text.begin(), text.end());
}

std::u16string currency_text(std::int64_t scaled) {
    const bool negative = scaled < 0;
    const std::uint64_t magnitude =
        negative ? 0u - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    return scaled_text(negative, std::to_string(magnitude), 4);
}

bool decimal_is_zero(const Decimal& d) {
    return d.hi == 0 && d.lo == 0;
}

// The exact decimal text of a 96-bit magnitude with its scale and sign.
std::u16string decimal_text(const Decimal& d) {
    std::uint32_t limbs[3] = {d.hi, static_cast<std::uint32_t>(d.lo >> 32),
                              static_cast<std::uint32_t>(d.lo & 0xFFFFFFFFu)};
    std::string reversed;
    do {
        std::uint64_t remainder = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t current = (remainder << 32) | limb;
            limb = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        reversed += static_cast<char>('0' + remainder);
    } while (limbs[0] != 0 || limbs[1] != 0 || limbs[2] != 0);
    return scaled_text(d.negative, std::string(reversed.rbegin(), reversed.rend()), d.scale);
}

// ---- dates ----------------------------------------------------------------------------------

// OLE dates run from 1/1/100 to 12/31/9999.
constexpr double first_date = -657434.0;
constexpr double after_last_date = 2958466.0;

std::string two_digits(std::int64_t n) {
    std::string text = std::to_string(n);
    if (n < 10) text.insert(text.begin(), '0');
    return text;
}

// m/d/yyyy, m/d/yyyy h:mm:ss AM/PM, or h:mm:ss AM/PM for the day 0. As in OLE dates, the
// integer part counts days and the fraction's magnitude is the time of day, also before 1900;
// the time is rounded to the nearest second.
std::u16string date_text(double date) {
    if (!(date >= first_date && date < after_last_date)) fail(hr::overflow, "date out of range");
    auto days = static_cast<std::int64_t>(std::trunc(date));
    std::int64_t seconds = std::llround(std::fabs(date - std::trunc(date)) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += date < 0 ? -1 : 1;
    }
    std::string text;
    if (days != 0) {
        const CivilDate c = civil_of_ole_days(days);
        std::string year = std::to_string(c.year);
        if (year.size() < 4) year.insert(0, 4 - year.size(), '0');
        text = std::to_string(c.month) + '/' + std::to_string(c.day) + '/' + year;
    }
    if (days == 0 || seconds != 0) {
        const std::int64_t hour = seconds / 3600;
        const std::int64_t hour12 = hour % 12 == 0 ? 12 : hour % 12;
        if (!text.empty()) text += ' ';
        text += std::to_string(hour12) + ':' + two_digits(seconds / 60 % 60) + ':' +
                two_digits(seconds % 60) + (hour < 12 ? " AM" : " PM");
    }
    return std::u16string(text.begin(), text.end());
}

// ---- text to number -------------------------------------------------------------------------

enum class Scan { ok, invalid, overflow };

bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// A decimal number as it is read: the ASCII form handed to from_chars
// (digits[.digits][e±digits]) and what decides its range before the conversion.
struct DecimalText {
    std::string number;
    int magnitude = 0;          // decimal exponent of the first non-zero digit, before the exponent
    bool seen_nonzero = false;  // whether such a digit exists
    long long exponent = 0;     // the exponent's value, held short of overflow

    // Reads digits[.[digits]] | .digits from text[i], moving i past them.
    Scan read_mantissa(std::u16string_view text, std::size_t& i, std::size_t end) {
        std::size_t integer_digits = 0, fraction_digits = 0;
        for (; i < end && is_digit(text[i]); ++i, ++integer_digits) {
            number += static_cast<char>(text[i]);
            if (text[i] != u'0' && !seen_nonzero) seen_nonzero = true;
            if (seen_nonzero) ++magnitude;
        }
        if (seen_nonzero) --magnitude;
        if (integer_digits == 0) number += '0';
        if (i < end && text[i] == u'.') {
            ++i;
            number += '.';
            for (; i < end && is_digit(text[i]); ++i, ++fraction_digits) {
                number += static_cast<char>(text[i]);
                if (!seen_nonzero && text[i] != u'0') {
                    seen_nonzero = true;
                    magnitude = -static_cast<int>(fraction_digits) - 1;
                }
            }
            if (fraction_digits == 0) number.pop_back();
        }
        if (integer_digits + fraction_digits == 0) return Scan::invalid;
        return Scan::ok;
    }

    // Reads (e|E)[sign]digits from text[i] when an exponent starts there, moving i past it.
    Scan read_exponent(std::u16string_view text, std::size_t& i, std::size_t end) {
        if (i == end || (text[i] != u'e' && text[i] != u'E')) return Scan::ok;
        ++i;
        number += 'e';
        bool exponent_negative = false;
        if (i < end && (text[i] == u'+' || text[i] == u'-')) {
            exponent_negative = text[i] == u'-';
            number += static_cast<char>(text[i++]);
        }
        std::size_t exponent_digits = 0;
        for (; i < end && is_digit(text[i]); ++i, ++exponent_digits) {
            number += static_cast<char>(text[i]);
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - u'0');
        }
        if (exponent_digits == 0) return Scan::invalid;
        if (exponent_negative) exponent = -exponent;
        return Scan::ok;
    }

    Scan to_double(double& value) const {
        value = 0;
        if (!seen_nonzero) return Scan::ok;
        const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                            std::chars_format::general);
        if (result.ec == std::errc::result_out_of_range) {
            // Too small to represent reads as 0; too large fails. Decided here because what
            // from_chars leaves in value then differs between runtimes.
            if (magnitude + exponent >= 0) return Scan::overflow;
            value = 0;
        } else if (result.ec != std::errc() || result.ptr != number.data() + number.size()) {
            return Scan::invalid;
        }
        return Scan::ok;
    }
};

// Reads [blanks][sign](digits[.[digits]] | .digits)[(e|E)[sign]digits][blanks].
Scan scan_number(std::u16string_view text, double& out) {
    std::size_t i = 0, end = text.size();
    while (i < end && text[i] == blank)
        ++i;
    while (end > i && text[end - 1] == blank)
        --end;

    bool negative = false;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';

    DecimalText decimal;
    if (Scan scan = decimal.read_mantissa(text, i, end); scan != Scan::ok) return scan;
    if (Scan scan = decimal.read_exponent(text, i, end); scan != Scan::ok) return scan;
    if (i != end) return Scan::invalid;

    double value = 0;
    if (Scan scan = decimal.to_double(value); scan != Scan::ok) return scan;
    out = negative ? -value : value;
    return Scan::ok;
}

// ---- upper case -----------------------------------------------------------------------------

char16_t upper(char16_t c) {
    if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    // Latin-1: à..þ except ÷; ÿ -> Ÿ. µ and ß have no single upper-case letter and stay.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    // Latin Extended-A: upper/lower pairs; ı, ĸ, ŉ and ſ stay.
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) ? c : static_cast<char16_t>(c - 1);
    // Greek α..ω (final ς -> Σ) and Cyrillic а..я, ѐ..џ.
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

constexpr char16_t replacement = 0xFFFD;

}  // namespace

// ---- Excel error values ---------------------------------------------------------------------

namespace xlerr {
namespace {
struct Named {
    std::int32_t number;
    std::u16string_view text;
};
// The classic seven, then the newer ones by the numbers Excel gives them (2000 plus the code
// its file formats store).
constexpr Named names[] = {{null_, u"#NULL!"},   {div0, u"#DIV/0!"},       {value, u"#VALUE!"},
                           {ref, u"#REF!"},      {name, u"#NAME?"},        {num, u"#NUM!"},
                           {na, u"#N/A"},        {2043, u"#GETTING_DATA"}, {2045, u"#SPILL!"},
                           {2046, u"#CONNECT!"}, {2047, u"#BLOCKED!"},     {2048, u"#UNKNOWN!"},
                           {2049, u"#FIELD!"},   {2050, u"#CALC!"}};
}  // namespace

std::int32_t number_of(std::int32_t scode) {
    const auto code = static_cast<std::uint32_t>(scode);
    if ((code & 0xFFFF0000u) != 0x800A0000u) return -1;
    return static_cast<std::int32_t>(code & 0xFFFFu);
}

std::u16string display_text(std::int32_t scode) {
    const std::int32_t number = number_of(scode);
    for (const Named& n : names)
        if (n.number == number) return std::u16string(n.text);
    return {};
}

std::int32_t from_display_text(std::u16string_view text) {
    const std::u16string wanted = to_upper(text);
    for (const Named& n : names)
        if (wanted == n.text) return scode(n.number);
    return 0;
}
}  // namespace xlerr

// ---- Array ----------------------------------------------------------------------------------

Array::Array(std::vector<Bound> bounds, std::vector<Value> elements)
    : bounds_(std::move(bounds)), elements_(std::move(elements)) {
    if (bounds_.empty()) fail(hr::invalid_arg, "an array needs at least one dimension");
    std::uint64_t product = 1;
    constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();
    for (const Bound& b : bounds_) {
        // Saturates rather than wraps, and a later count of 0 still makes the array empty.
        product = b.count != 0 && product > saturated / b.count ? saturated : product * b.count;
    }
    if (product != elements_.size())
        fail(hr::invalid_arg, "array element count does not match its bounds");
}

Array Array::grid(std::uint32_t rows, std::uint32_t columns, std::vector<Value> elements) {
    return Array({{1, rows}, {1, columns}}, std::move(elements));
}

const Array::Bound& Array::bound(std::size_t dimension) const {
    if (dimension >= bounds_.size()) fail(hr::bad_index, "array has no such dimension");
    return bounds_[dimension];
}

std::int64_t Array::upper(std::size_t dimension) const {
    const Bound& b = bound(dimension);
    return std::int64_t{b.lower} + std::int64_t{b.count} - 1;
}

const Value& Array::at(std::span<const std::int64_t> indexes) const {
    if (indexes.size() != bounds_.size()) fail(hr::bad_index, "wrong number of array indexes");
    std::size_t offset = 0;
    for (std::size_t d = 0; d < bounds_.size(); ++d) {
        const std::int64_t position = indexes[d] - bounds_[d].lower;
        if (position < 0 || position >= std::int64_t{bounds_[d].count})
            fail(hr::bad_index, "array index out of bounds");
        offset = offset * bounds_[d].count + static_cast<std::size_t>(position);
    }
    return elements_[offset];
}

const Value& Array::at(std::int64_t row, std::int64_t column) const {
    const std::int64_t indexes[] = {row, column};
    return at(indexes);
}

// ---- Value ----------------------------------------------------------------------------------

Value Value::null() {
    Value v;
    v.v_.emplace<index<Kind::Null>>();
    return v;
}
Value Value::error(std::int32_t scode) {
    return make<Kind::Error>(scode);
}
Value Value::boolean(bool b) {
    return make<Kind::Boolean>(b);
}
Value Value::byte(std::uint8_t v) {
    return make<Kind::Byte>(v);
}
Value Value::integer(std::int16_t v) {
    return make<Kind::Integer>(v);
}
Value Value::long_(std::int32_t v) {
    return make<Kind::Long>(v);
}
Value Value::single(float v) {
    return make<Kind::Single>(v);
}
Value Value::number(double v) {
    return make<Kind::Double>(v);
}
Value Value::currency(std::int64_t scaled_by_10000) {
    return make<Kind::Currency>(scaled_by_10000);
}
Value Value::decimal(const Decimal& d) {
    if (d.scale > 28) fail(hr::invalid_arg, "decimal scale above 28");
    return make<Kind::Decimal>(d);
}
Value Value::string(std::u16string s) {
    return make<Kind::String>(std::move(s));
}
Value Value::date(double ole_date) {
    return make<Kind::Date>(ole_date);
}
Value Value::object(ObjectRef object) {
    return make<Kind::Object>(std::move(object));
}
Value Value::array(Array a) {
    return make<Kind::Array>(std::make_shared<const Array>(std::move(a)));
}

bool Value::is_number_kind() const {
    switch (kind()) {
        case Kind::Byte:
        case Kind::Integer:
        case Kind::Long:
        case Kind::Single:
        case Kind::Double:
        case Kind::Currency:
        case Kind::Decimal:
            return true;
        default:
            return false;
    }
}

std::int32_t Value::error_code() const {
    return as<Kind::Error>();
}
bool Value::boolean_value() const {
    return as<Kind::Boolean>();
}
const std::u16string& Value::string_value() const {
    return as<Kind::String>();
}
const ObjectRef& Value::object_value() const {
    return as<Kind::Object>();
}
const Array& Value::array_value() const {
    return *as<Kind::Array>();
}
double Value::date_value() const {
    return as<Kind::Date>();
}
std::int64_t Value::currency_value() const {
    return as<Kind::Currency>();
}
const Decimal& Value::decimal_value() const {
    return as<Kind::Decimal>();
}

std::u16string Value::to_text() const {
    switch (kind()) {
        case Kind::Empty:
            return {};
        case Kind::Boolean:
            return as<Kind::Boolean>() ? u"True" : u"False";
        case Kind::Byte:
            return integer_text(as<Kind::Byte>());
        case Kind::Integer:
            return integer_text(as<Kind::Integer>());
        case Kind::Long:
            return integer_text(as<Kind::Long>());
        case Kind::Single:
            return float_text(as<Kind::Single>(), 7);
        case Kind::Double:
            return float_text(as<Kind::Double>(), 15);
        case Kind::Currency:
            return currency_text(as<Kind::Currency>());
        case Kind::Decimal:
            return decimal_text(as<Kind::Decimal>());
        case Kind::String:
            return as<Kind::String>();
        case Kind::Date:
            return date_text(as<Kind::Date>());
        case Kind::Null:
        case Kind::Error:
        case Kind::Object:
        case Kind::Array:
            break;
    }
    fail(hr::type_mismatch, "value has no text form");
}

std::u16string Value::joined_text() const {
    return is_null() ? std::u16string() : to_text();
}

double Value::to_number() const {
    switch (kind()) {
        case Kind::Empty:
            return 0;
        case Kind::Boolean:
            return as<Kind::Boolean>() ? -1 : 0;
        case Kind::Byte:
            return as<Kind::Byte>();
        case Kind::Integer:
            return as<Kind::Integer>();
        case Kind::Long:
            return as<Kind::Long>();
        case Kind::Single:
            return static_cast<double>(as<Kind::Single>());
        case Kind::Double:
            return as<Kind::Double>();
        case Kind::Currency:
            return static_cast<double>(as<Kind::Currency>()) / 10000.0;
        case Kind::Decimal: {
            // Through the exact text, so the double is the correctly rounded value.
            double out = 0;
            scan_number(decimal_text(as<Kind::Decimal>()), out);
            return out;
        }
        case Kind::Date:
            return as<Kind::Date>();
        case Kind::String: {
            double out = 0;
            switch (scan_number(as<Kind::String>(), out)) {
                case Scan::ok:
                    return out;
                case Scan::overflow:
                    fail(hr::overflow, "number text out of range");
                case Scan::invalid:
                    break;
            }
            break;
        }
        case Kind::Null:
        case Kind::Error:
        case Kind::Object:
        case Kind::Array:
            break;
    }
    fail(hr::type_mismatch, "value has no number form");
}

bool Value::to_boolean() const {
    switch (kind()) {
        case Kind::Decimal:
            return !decimal_is_zero(as<Kind::Decimal>());
        case Kind::String: {
            const std::u16string trimmed = trim_blanks(as<Kind::String>());
            if (iequals(trimmed, u"True")) return true;
            if (iequals(trimmed, u"False")) return false;
            return to_number() != 0;
        }
        default:
            return to_number() != 0;
    }
}

bool Value::is_numeric() const {
    switch (kind()) {
        case Kind::Null:
        case Kind::Error:
        case Kind::Object:
        case Kind::Array:
            return false;
        case Kind::String: {
            double ignored = 0;
            return scan_number(as<Kind::String>(), ignored) == Scan::ok;
        }
        default:
            return true;
    }
}

std::size_t Value::text_length() const {
    return is_string() ? as<Kind::String>().size() : to_text().size();
}

// ---- text helpers ---------------------------------------------------------------------------

std::u16string trim_blanks(std::u16string_view s) {
    const std::size_t first = s.find_first_not_of(blank);
    if (first == std::u16string_view::npos) return {};
    return std::u16string(s.substr(first, s.find_last_not_of(blank) - first + 1));
}

std::u16string remove_blanks(std::u16string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char16_t c : s)
        if (c != blank) out += c;
    return out;
}

std::u16string to_upper(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out)
        c = upper(c);
    return out;
}

bool iequals(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char16_t c) {
            return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
        };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

bool parse_number(std::u16string_view text, double& out) {
    double value = 0;
    if (scan_number(text, value) != Scan::ok) return false;
    out = value;
    return true;
}

// ---- UTF-8 / UTF-16 -------------------------------------------------------------------------

std::u16string utf16(std::string_view utf8_text) {
    std::u16string out;
    out.reserve(utf8_text.size());
    const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(utf8_text[i]); };
    std::size_t i = 0;
    while (i < utf8_text.size()) {
        const unsigned lead = byte_at(i);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        // Sequence length and the range of the second byte, which excludes overlong forms,
        // surrogates and values past U+10FFFF.
        std::size_t length = 0;
        unsigned second_low = 0x80, second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_low = 0xA0;
            if (lead == 0xED) second_high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_low = 0x90;
            if (lead == 0xF4) second_high = 0x8F;
        }
        char32_t code = lead & (0x7Fu >> length);
        std::size_t taken = 1;
        for (; taken < length && i + taken < utf8_text.size(); ++taken) {
            const unsigned next = byte_at(i + taken);
            const bool fits =
                taken == 1 ? next >= second_low && next <= second_high : (next & 0xC0) == 0x80;
            if (!fits) break;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (length == 0 || taken != length) {
            // An invalid or cut sequence: one U+FFFD, then reading resumes at the byte that broke
            // it.
            out += replacement;
            i += taken;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return out;
}

std::string utf8(std::u16string_view utf16_text) {
    std::string out;
    out.reserve(utf16_text.size());
    const auto put = [&out](unsigned byte) { out += static_cast<char>(byte); };
    for (std::size_t i = 0; i < utf16_text.size(); ++i) {
        char32_t code = utf16_text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16_text.size() &&
            utf16_text[i + 1] >= 0xDC00 && utf16_text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16_text[i + 1] - 0xDC00u);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = replacement;  // a surrogate without its partner
        }
        if (code < 0x80) {
            put(code);
        } else if (code < 0x800) {
            put(0xC0 | (code >> 6));
            put(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            put(0xE0 | (code >> 12));
            put(0x80 | ((code >> 6) & 0x3F));
            put(0x80 | (code & 0x3F));
        } else {
            put(0xF0 | (code >> 18));
            put(0x80 | ((code >> 12) & 0x3F));
            put(0x80 | ((code >> 6) & 0x3F));
            put(0x80 | (code & 0x3F));
        }
    }
    return out;
}

}  // namespace tb
