// The tagged value: the one dynamic value type of the worksheet function, modelled on the
// Automation VARIANT but free of any Windows type, so the worksheet logic builds and is tested
// natively. The COM edge converts VARIANT <-> Value.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/host/failure.h"

namespace tb {

class HostObject;

// A counted reference to a host object. Holds one count; gives it back when reset, reassigned or
// destroyed, so every path releases what it obtained.
class ObjectRef {
  public:
    ObjectRef() = default;
    // Takes over a count the caller already holds.
    static ObjectRef adopt(HostObject* object) { return ObjectRef(object); }
    // Adds a count of its own.
    static ObjectRef share(HostObject* object);
    ObjectRef(const ObjectRef& other);
    ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ObjectRef& operator=(const ObjectRef& other);
    ObjectRef& operator=(ObjectRef&& other) noexcept;
    ~ObjectRef() { reset(); }

    void reset() noexcept;
    HostObject* get() const { return object_; }
    HostObject* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the count to the caller.
    HostObject* detach() { return std::exchange(object_, nullptr); }

  private:
    explicit ObjectRef(HostObject* object) : object_(object) {}
    HostObject* object_ = nullptr;
};

enum class Kind : std::uint8_t {
    Empty,
    Null,
    Error,
    Boolean,
    Byte,
    Integer,  // 16-bit
    Long,     // 32-bit
    Single,   // float
    Double,
    Currency,  // 64-bit integer scaled by 10,000
    Decimal,   // 96-bit integer with a scale of 0..28 and a sign
    String,
    Date,  // days since 1899-12-30 as a double, fraction is the time of day
    Object,
    Array,
};

struct Decimal {
    std::uint8_t scale = 0;  // digits after the decimal point, 0..28
    bool negative = false;
    std::uint32_t hi = 0;  // high 32 bits of the 96-bit magnitude
    std::uint64_t lo = 0;  // low 64 bits of the magnitude
    friend bool operator==(const Decimal&, const Decimal&) = default;
};

// Common SCODEs the system uses or meets.
// clang-format off
namespace hr {
inline constexpr std::int32_t ok = 0;
inline constexpr std::int32_t param_not_found = static_cast<std::int32_t>(0x80020004);  // DISP_E_PARAMNOTFOUND
inline constexpr std::int32_t type_mismatch = static_cast<std::int32_t>(0x80020005);    // DISP_E_TYPEMISMATCH
inline constexpr std::int32_t unknown_name = static_cast<std::int32_t>(0x80020006);     // DISP_E_UNKNOWNNAME
inline constexpr std::int32_t exception = static_cast<std::int32_t>(0x80020009);        // DISP_E_EXCEPTION
inline constexpr std::int32_t overflow = static_cast<std::int32_t>(0x8002000A);         // DISP_E_OVERFLOW
inline constexpr std::int32_t bad_index = static_cast<std::int32_t>(0x8002000B);        // DISP_E_BADINDEX
inline constexpr std::int32_t bad_param_count = static_cast<std::int32_t>(0x8002000E);  // DISP_E_BADPARAMCOUNT
inline constexpr std::int32_t member_not_found = static_cast<std::int32_t>(0x80020003); // DISP_E_MEMBERNOTFOUND
inline constexpr std::int32_t no_interface = static_cast<std::int32_t>(0x80004002);     // E_NOINTERFACE
inline constexpr std::int32_t pointer = static_cast<std::int32_t>(0x80004003);          // E_POINTER
inline constexpr std::int32_t fail = static_cast<std::int32_t>(0x80004005);             // E_FAIL
inline constexpr std::int32_t invalid_arg = static_cast<std::int32_t>(0x80070057);      // E_INVALIDARG
inline constexpr std::int32_t out_of_memory = static_cast<std::int32_t>(0x8007000E);    // E_OUTOFMEMORY
inline constexpr std::int32_t unexpected = static_cast<std::int32_t>(0x8000FFFF);       // E_UNEXPECTED
}  // namespace hr
// clang-format on

// Excel's error values travel as the SCODE 0x800A0000 + the error number.
namespace xlerr {
inline constexpr std::int32_t null_ = 2000;
inline constexpr std::int32_t div0 = 2007;
inline constexpr std::int32_t value = 2015;
inline constexpr std::int32_t ref = 2023;
inline constexpr std::int32_t name = 2029;
inline constexpr std::int32_t num = 2036;
inline constexpr std::int32_t na = 2042;
inline constexpr std::int32_t scode(std::int32_t number) {
    return static_cast<std::int32_t>(0x800A0000u + static_cast<std::uint32_t>(number));
}
// The error number of an Excel error SCODE, or -1 when the code is no Excel error value.
std::int32_t number_of(std::int32_t scode);
// "#VALUE!", "#N/A", …; empty for codes that are no Excel error value.
std::u16string display_text(std::int32_t scode);
// The SCODE of "#VALUE!", "#N/A", … (case-insensitive), or 0 when the text names no error.
std::int32_t from_display_text(std::u16string_view text);
}  // namespace xlerr

class Value;

// An Automation safe array of tagged values: one or more dimensions, each with a lower bound.
// Elements are stored row-major (the last index varies fastest). Immutable once built, so a
// Value holding it can be copied cheaply and still behaves as a copy.
class Array {
  public:
    struct Bound {
        std::int32_t lower = 0;
        std::uint32_t count = 0;
    };
    Array(std::vector<Bound> bounds, std::vector<Value> elements);
    // A rows x columns array with lower bounds 1, as Excel passes a 2-D block.
    static Array grid(std::uint32_t rows, std::uint32_t columns, std::vector<Value> elements);

    std::size_t dimensions() const { return bounds_.size(); }
    const Bound& bound(std::size_t dimension) const;  // 0-based dimension; fails when absent
    std::int32_t lower(std::size_t dimension) const { return bound(dimension).lower; }
    std::int64_t upper(std::size_t dimension) const;
    std::size_t size() const;  // defined below, where Value is complete (clang needs it)
    const std::vector<Value>& elements() const { return elements_; }
    const std::vector<Bound>& bounds() const { return bounds_; }
    // Element at the given indexes (one per dimension, each within its bounds); fails otherwise.
    const Value& at(std::span<const std::int64_t> indexes) const;
    const Value& at(std::int64_t row, std::int64_t column) const;

  private:
    std::vector<Bound> bounds_;
    std::vector<Value> elements_;
};

class Value {
  public:
    Value() = default;  // empty
    static Value null();
    static Value error(std::int32_t scode);
    static Value missing() { return error(hr::param_not_found); }
    static Value xl_error(std::int32_t number) { return error(xlerr::scode(number)); }
    static Value boolean(bool b);
    static Value byte(std::uint8_t v);
    static Value integer(std::int16_t v);
    static Value long_(std::int32_t v);
    static Value single(float v);
    static Value number(double v);
    static Value currency(std::int64_t scaled_by_10000);
    static Value decimal(const Decimal& d);
    static Value string(std::u16string s);
    static Value string(std::u16string_view s) { return string(std::u16string(s)); }
    static Value string(const char16_t* s) { return string(std::u16string(s)); }
    static Value date(double ole_date);
    static Value object(ObjectRef object);
    static Value array(Array a);

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool is_empty() const { return kind() == Kind::Empty; }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_error() const { return kind() == Kind::Error; }
    bool is_missing() const {
        return kind() == Kind::Error && std::get<index<Kind::Error>>(v_) == hr::param_not_found;
    }
    // An error value that is not the missing marker.
    bool is_error_value() const { return is_error() && !is_missing(); }
    bool is_boolean() const { return kind() == Kind::Boolean; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_object() const { return kind() == Kind::Object; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_date() const { return kind() == Kind::Date; }
    // byte, integer, long, single, double, currency, decimal
    bool is_number_kind() const;

    // Raw accessors; each fails (type mismatch) when the kind differs.
    std::int32_t error_code() const;
    bool boolean_value() const;
    const std::u16string& string_value() const;
    const ObjectRef& object_value() const;
    const Array& array_value() const;
    double date_value() const;
    std::int64_t currency_value() const;
    const Decimal& decimal_value() const;

    // Standard conversions, locale-invariant ('.' as decimal point). Each fails with a type
    // mismatch (or overflow) where the kind has no such conversion.
    // Text: numbers rounded to 15 significant digits (7 for single) without trailing zeros,
    // plain when the decimal exponent is in [-4, 14] ([-4, 6] for single), otherwise in
    // exponent form with a sign and at least two digits (1E+15, 1.5E-10, 1E-05); -0 gives 0;
    // infinities and NaN fail (overflow). Currency with up to 4 decimals, decimal exactly,
    // both without trailing zeros. Booleans True/False. Dates as m/d/yyyy h:mm:ss AM/PM to the
    // nearest second, the time left out at midnight and the date left out for day 0 (so 0
    // gives 12:00:00 AM); dates outside 1/1/100..12/31/9999 fail (overflow). Empty as no text;
    // null fails (use joined_text for the join semantics); error, object and array fail.
    std::u16string to_text() const;
    // Text when joined to other text: like to_text, but null gives no text.
    std::u16string joined_text() const;
    // Number: numbers, booleans (-1/0), dates, empty (0), strings that parse_number reads
    // (beyond the double range: overflow); null, error, object, array and other strings fail.
    double to_number() const;
    // Boolean: non-zero numbers and dates true; strings "True"/"False" (any case) or numeric
    // text; empty false; null, error, object and array fail.
    bool to_boolean() const;
    // Whether to_number would succeed (so also for empty, booleans and dates).
    bool is_numeric() const;
    // Length in 16-bit characters of the text form.
    std::size_t text_length() const;

  private:
    // One alternative per Kind, in the order of the enumeration, so the variant's index is the
    // kind. Alternatives of the same C++ type (error/long, double/date) are told apart by index.
    using Storage = std::variant<std::monostate,                 // Empty
                                 std::monostate,                 // Null
                                 std::int32_t,                   // Error
                                 bool,                           // Boolean
                                 std::uint8_t,                   // Byte
                                 std::int16_t,                   // Integer
                                 std::int32_t,                   // Long
                                 float,                          // Single
                                 double,                         // Double
                                 std::int64_t,                   // Currency
                                 Decimal,                        // Decimal
                                 std::u16string,                 // String
                                 double,                         // Date
                                 ObjectRef,                      // Object
                                 std::shared_ptr<const Array>>;  // Array
    template <Kind K>
    static constexpr std::size_t index = static_cast<std::size_t>(K);
    template <Kind K, typename T>
    static Value make(T&& v) {
        Value result;
        result.v_.emplace<index<K>>(std::forward<T>(v));
        return result;
    }
    // The element of kind K, or a type mismatch failure.
    template <Kind K>
    const auto& as() const {
        if (kind() != K) fail(hr::type_mismatch, "value is of another kind");
        return std::get<index<K>>(v_);
    }

    Storage v_;
};

inline std::size_t Array::size() const {
    return elements_.size();
}

// Leading and trailing U+0020 removed; tabs and line breaks stay.
std::u16string trim_blanks(std::u16string_view s);
// Every U+0020 removed.
std::u16string remove_blanks(std::u16string_view s);
// Upper case (ASCII and Latin-1 letters, and the rest that towupper maps in the C locale).
std::u16string to_upper(std::u16string_view s);
// Case-insensitive equality for ASCII member names.
bool iequals(std::u16string_view a, std::u16string_view b);

// Parses a number the way the tagged value's text-to-number conversion does: surrounding blanks
// (U+0020), an optional sign, digits with an optional '.' fraction (".5" and "5." included), an
// optional exponent (e or E, optional sign, digits). Returns false on anything else (no
// thousands separators, hex, inf or nan) and for magnitudes beyond the double range; too small
// magnitudes read as 0.
bool parse_number(std::u16string_view text, double& out);

// UTF-8 <-> UTF-16 for the command line, files and test messages.
std::u16string utf16(std::string_view utf8);
std::string utf8(std::u16string_view utf16);

}  // namespace tb
