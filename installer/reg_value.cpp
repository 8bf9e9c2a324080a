#include "installer/reg_value.h"

#include <utility>

namespace kzInstall {

RegValue RegValue::String(std::u16string text) {
    RegValue value;
    value.kind_ = Kind::String;
    value.text_ = std::move(text);
    return value;
}

RegValue RegValue::Number(std::int64_t number) {
    RegValue value;
    value.kind_ = Kind::Number;
    value.number_ = number;
    return value;
}

RegValue RegValue::Array(std::vector<RegValue> items) {
    RegValue value;
    value.kind_ = Kind::Array;
    value.items_ = std::move(items);
    return value;
}

std::u16string RegValue::ToText() const {
    switch (kind_) {
        case Kind::Empty:
            return {};
        case Kind::String:
            return text_;
        case Kind::Number:
            return DecimalText(number_);
        case Kind::Array:
            break;
    }
    throw TypeMismatch();
}

std::u16string_view TrimBlanks(std::u16string_view text) {
    const auto first = text.find_first_not_of(u' ');
    if (first == std::u16string_view::npos) return {};
    const auto last = text.find_last_not_of(u' ');
    return text.substr(first, last - first + 1);
}

std::u16string UpperCase(std::u16string_view text) {
    std::u16string result(text);
    for (char16_t& c : result) {
        const bool basicLatin = c >= u'a' && c <= u'z';
        const bool latin1 = c >= u'\u00E0' && c <= u'\u00FE' && c != u'\u00F7';
        if (basicLatin || latin1) c = static_cast<char16_t>(c - 0x20);
    }
    return result;
}

std::u16string DecimalText(std::int64_t number) {
    // Works on the magnitude as unsigned so the most negative number needs no special case.
    const bool negative = number < 0;
    std::uint64_t magnitude =
        negative ? ~static_cast<std::uint64_t>(number) + 1 : static_cast<std::uint64_t>(number);
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.insert(digits.begin(), u'-');
    return digits;
}

}  // namespace kzInstall
