// The installer's own tagged value for registry contents, as the scripting shell hands them over:
// nothing (a value that is missing or could not be read), a text, a number, or an array (the shell
// gives multi-string and binary values as arrays). The installer shares no code with the server.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kzInstall {

// A value was used as text although it has no text form (an array).
class TypeMismatch : public std::runtime_error {
  public:
    TypeMismatch() : std::runtime_error("type mismatch: an array has no text") {}
};

class RegValue {
  public:
    enum class Kind : std::uint8_t { Empty, String, Number, Array };

    RegValue() = default;
    static RegValue String(std::u16string text);
    static RegValue Number(std::int64_t number);
    static RegValue Array(std::vector<RegValue> items);

    Kind kind() const { return kind_; }
    bool IsEmpty() const { return kind_ == Kind::Empty; }
    const std::u16string& text() const { return text_; }
    std::int64_t number() const { return number_; }
    const std::vector<RegValue>& items() const { return items_; }

    // Text as the comparisons use it: a string as it is, a number in decimal, nothing as the empty
    // text. An array has no text: throws TypeMismatch.
    std::u16string ToText() const;

    friend bool operator==(const RegValue&, const RegValue&) = default;

  private:
    Kind kind_ = Kind::Empty;
    std::u16string text_;
    std::int64_t number_ = 0;
    std::vector<RegValue> items_;
};

// Removes leading and trailing blanks (U+0020 only; tabs and other white space stay).
std::u16string_view TrimBlanks(std::u16string_view text);

// Upper-cases the letters of Basic Latin and Latin-1; every other character stays as it is.
std::u16string UpperCase(std::u16string_view text);

std::u16string DecimalText(std::int64_t number);

}  // namespace kzInstall
