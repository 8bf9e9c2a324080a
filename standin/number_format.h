// Excel's number formats as the stand-in applies them: the text a cell displays (Range.Text,
// assuming columns wide enough), the General text of numbers (what CONCATENATE writes), and the
// kinds of format that change what Range.Value gives.
#pragma once

#include <string>
#include <string_view>

#include "core/host/value.h"

namespace tb::standin {

// Excel's General text of a number, as CONCATENATE writes it: up to 15 significant digits,
// exponent form (1E+20, 1.5E-10) where the plain form would need more digits.
std::u16string general_text(double number);

// The General format's text of a number in a cell (Range.Text): at most 11 characters besides
// the sign, the decimal point counting as one (so up to 10 significant digits with a fraction,
// 11 without), scientific with 6 significant digits beyond that (1.23457E+11, 1.5E-10).
std::u16string general_cell_text(double number);

// The displayed text of a cell value under a format code: numbers (and dates, which are numbers
// to Excel) through the code's sections; texts through the text section (or as they are);
// booleans as TRUE/FALSE; error values as #N/A, #DIV/0!, …; empty as no text.
// In a workbook of the 1904 date system a number under a date format shows the date of that
// system's serial.
std::u16string format_cell_text(const Value& value, std::u16string_view code,
                                bool date1904 = false);
// The same for a number (or date serial) and for a text, without a tagged value.
std::u16string format_number(double number, std::u16string_view code);
std::u16string format_text(std::u16string_view text, std::u16string_view code);

// Whether a format code shows dates or times (Range.Value then gives a date).
bool is_date_format(std::u16string_view code);
// Whether a format code shows a point in time: a date format without elapsed-time parts ([h],
// [mm], [ss]), whose duration the date system does not change.
bool shows_date(std::u16string_view code);
// Whether a format code shows a currency amount (Range.Value then gives currency).
bool is_currency_format(std::u16string_view code);

// The code of a built-in number format id of the .xlsx format (0 → "General", 14 → "m/d/yyyy",
// …); empty for ids that have no built-in code.
std::u16string builtin_format_code(unsigned id);

}  // namespace tb::standin
