#include "core/worksheet/textbraid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/host/excel_ops.h"

namespace tb {

namespace {

constexpr std::int32_t kValueError = xlerr::scode(xlerr::value);

Value value_error() {
    return Value::error(kValueError);
}

// The number of cells (rows, columns) an object holds, through CountLarge or, on hosts that
// lack it, Count.
double count_of(const ObjectRef& collection, bool useLegacyCount) {
    Value count =
        useLegacyCount ? excel::Range_Count(collection) : excel::Range_CountLarge(collection);
    return count.to_number();
}

// A whole number of characters in its plain decimal form, as the host reads it in a formula.
std::u16string count_text(double n) {
    return Value::number(n).to_text();
}

// The text of a delimiter; only a text can be measured and joined.
const std::u16string& delimiter_text(const Value& delimiter) {
    if (!delimiter.is_string()) fail(hr::type_mismatch, "the delimiter is no text");
    return delimiter.string_value();
}

// How a walk ends early: with the call's result (an error item met, or the limit text). Nothing
// while it goes on.
using Stop = std::optional<Value>;

// The limit checks of one call. Asking after every append puts every length the call measures
// to the host. Asking ahead of need answers from what earlier probes of the call have shown:
// every length up to fits_ fits, every length from refused_ on is refused, and only lengths in
// between are put to the host, at twice the length while no probe was refused, then halfway
// between what is known. One call thus asks the host a number of times logarithmic in its
// result, and the host's work for all those texts is proportional to the result's length.
//
// A probe that fails or answers neither a number nor #VALUE! shows nothing: when it was asked
// ahead of need, the length itself is asked before anything is concluded, and only the host's
// unclear answer for that very length counts as fitting (as the single probe answers). So the
// check says "fits" only for a length no longer than one the host accepted in this call, or
// one the host itself gave no clear answer for, and "refused" only for a length no shorter
// than one the host refused in this call.
//
// The one assumption: within one call the host's answers grow with the length, a length
// shorter than one it accepted is never refused and one longer than one it refused is refused.
// Excel's do (REPT refuses every length over its cell limit and never fails). For a host whose
// answers do not, one that refuses only a band of lengths or fails one call among several, the
// check can answer otherwise than asking after every append would: a longer length the host
// accepted vouches for a shorter one it would refuse, or a shorter length it refused decides a
// longer one it would have failed on or accepted. Nothing outlives the call.
class LimitProbe {
  public:
    // The host's verdict on a length: true when refused, false when it fits, nothing when the
    // probe failed or the answer was neither.
    using Ask = std::function<std::optional<bool>(double)>;

    LimitProbe(Ask ask, bool ahead) : ask_(std::move(ask)), ahead_(ahead) {}

    bool exceeds(double n) {
        if (!ahead_) return ask_(n).value_or(false);
        bool look_ahead = true;
        while (n > fits_ && n < refused_) {
            const double asked = look_ahead ? ahead_of(n) : n;
            const std::optional<bool> refused = ask_(asked);
            if (!refused) {
                if (asked == n) return false;
                look_ahead = false;
            } else if (*refused) {
                refused_ = asked;
            } else {
                fits_ = asked;
            }
        }
        return n >= refused_;
    }

  private:
    // The length asked ahead of need for n: twice n while no length was refused, then halfway
    // between the longest that fits and the shortest refused (never below n).
    double ahead_of(double n) const {
        if (std::isinf(refused_)) return 2 * n;
        return std::max(n, std::floor(fits_ + (refused_ - fits_) / 2));
    }

    Ask ask_;
    bool ahead_;
    double fits_ = -1;
    double refused_ = std::numeric_limits<double>::infinity();
};

}  // namespace

std::u16string TextBraidHelpText() {
    static constexpr std::array<std::u16string_view, 21> lines = {
        u"This function concatenates ranges of cell text, with an optional delimiter, and the "
        u"option to use the cells' formats.",
        u"",
        u"Syntax",
        u"",
        u"TEXTBRAID(delimiter, ignore_empty, use_formats, text1, [text2], \u2026)",
        u"",
        u"delimiter: ",
        u"A text string, either empty, or one or more characters enclosed by double quotes, or a "
        u"reference to a valid text string. If a number is supplied, it will be treated as text.",
        u"",
        u"ignore_empty:",
        u"If TRUE, ignores empty cells.",
        u"",
        u"use_formats:",
        u"If TRUE, cell values in the concatenation will be formatted.",
        u"If FALSE (the default), no formatting is applied.",
        u"",
        u"text1:",
        u"Text item to be joined. A text string, or array of strings, such as a range of cells.",
        u"",
        u"[text2,...]:",
        u"Additional text items to be joined. Each can be a text string, or array of strings, such "
        u"as a range of cells.",
    };
    std::u16string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) text += u"\r\n";
        text += lines[i];
    }
    return text;
}

Value TEXTBRAID::operator()(std::span<const Value> params) noexcept {
    // Built afresh on every call; kept outside the trap so the trap never has to build it.
    std::u16string help;
    try {
        help = TextBraidHelpText();
    } catch (...) {
        return value_error();
    }

    try {
        // Decide how cells are counted: through CountLarge when the host has it, else Count.
        bool useLegacyCount = true;
        {
            ObjectRef workbooks = excel::Application_Workbooks(excel::Application());
            if (excel::Workbooks_Count(workbooks) > 0) {
                ObjectRef workbook = excel::Workbooks_Item(workbooks, 1);
                ObjectRef sheets = excel::Workbook_Worksheets(workbook);
                ObjectRef first_sheet = excel::Sheets_Item(sheets, 1);
                useLegacyCount = IsBadRange(Value::object(first_sheet));
            }
        }

        if (params.size() < 4) {
            if (show_box_) show_box_(help, u"TEXTBRAID", kStopBoxStyle);
            return value_error();
        }

        // An error among the delimiter and the switches (a referenced cell by its value) makes
        // the call invalid; omitted arguments pass.
        for (std::size_t i = 0; i < 3; ++i) {
            const Value& argument = params[i];
            if (argument.is_object()) {
                if (excel::Range_Value(argument.object_value()).is_error_value()) {
                    return value_error();
                }
            } else if (argument.is_error_value()) {
                return value_error();
            }
        }

        // Each switch is parsed once to validate it and once more to take its value.
        if (ParseSwitch(params[2], false).is_empty()) return value_error();
        const bool use_formats = ParseSwitch(params[2], false).boolean_value();
        if (ParseSwitch(params[1], true).is_empty()) return value_error();
        const bool ignore_empty = ParseSwitch(params[1], true).boolean_value();

        const Value delimiter =
            params[0].is_missing() ? Value::string(u"") : ItemText(params[0], use_formats);

        return JoinItems(delimiter, ignore_empty, use_formats, useLegacyCount, params.subspan(3));
    } catch (...) {
        return value_error();
    }
}

Value TEXTBRAID::ParseSwitch(Value item, bool default_value) const noexcept {
    try {
        if (item.is_missing()) return Value::boolean(default_value);
        if (item.is_object()) {
            if (!item.object_value()) return Value();
            item = excel::Range_Value2(item.object_value());
        }
        if (item.is_empty()) return Value::boolean(default_value);
        if (item.is_boolean()) return item;

        double number = 0;
        const bool numeric = item.is_number_kind() ||
                             (item.is_string() && parse_number(item.string_value(), number));
        if (numeric) {
            if (item.is_number_kind()) number = item.to_number();
            if (number == 1) return Value::boolean(true);
            if (number == 0) return Value::boolean(false);
            return Value();
        }
        if (!item.is_string()) return Value::boolean(item.to_boolean());

        const std::u16string& text = item.string_value();
        const std::u16string trimmed = trim_blanks(text);
        if (trimmed.empty()) return Value::boolean(default_value);
        const std::u16string upper = to_upper(trimmed);
        const std::u16string squeezed = to_upper(remove_blanks(text));
        if (upper == u"TRUE" || trimmed == u"1" || squeezed == u"TRUE()") {
            return Value::boolean(true);
        }
        if (upper == u"FALSE" || trimmed == u"0" || squeezed == u"FALSE()") {
            return Value::boolean(false);
        }
        return Value();
    } catch (...) {
        return Value();
    }
}

Value TEXTBRAID::ItemText(Value item, bool use_formats) const {
    if (item.is_object()) {
        item = use_formats ? excel::Range_Text(item.object_value())
                           : excel::Range_Value2(item.object_value());
    }
    // A text is what CONCATENATE of one text gives: answered without asking the host, which
    // would refuse a formula over 255 characters.
    if (item.is_string()) return item;
    if (item.is_empty()) return Value::string(u"");

    // Everything else is handed to the host's CONCATENATE, written so that the host reads the
    // same value under locale 1033: numbers with a '.' decimal point, a date as its serial
    // number (never as a division such as 1/2/2024), null as no text at all. An error code or
    // an array has no text form and fails here.
    std::u16string operand;
    if (item.is_date()) {
        operand = Value::number(item.date_value()).to_text();
    } else {
        operand = item.joined_text();
    }
    std::u16string formula = u"CONCATENATE(";
    formula += operand;
    formula += u")";
    return excel::Application_Evaluate(excel::Application(), formula);
}

bool TEXTBRAID::ExceedsCellLimit(const Value& text, const Value& delimiter,
                                 double length) const noexcept {
    try {
        if (text.is_error()) return false;
        if (length >= 0) return ExceedsCellLimit(std::u16string_view(), delimiter, length);
        if (text.is_string()) return ExceedsCellLimit(text.string_value(), delimiter, length);
        const std::u16string as_text = text.to_text();
        return ExceedsCellLimit(as_text, delimiter, length);
    } catch (...) {
        return false;
    }
}

bool TEXTBRAID::ExceedsCellLimit(std::u16string_view text, const Value& delimiter,
                                 double length) const noexcept {
    try {
        double n = length;
        if (length < 0) {
            // Measures the text without its leading delimiter: what the cell would show.
            const std::size_t skip = delimiter.text_length();
            n = text.size() > skip ? static_cast<double>(text.size() - skip) : 0.0;
        }
        return ProbeCellLimit(n).value_or(false);
    } catch (...) {
        return false;
    }
}

std::optional<bool> TEXTBRAID::ProbeCellLimit(double n) const noexcept {
    try {
        std::u16string formula = u"=LEN(REPT(\"x\", ";
        formula += count_text(n);
        formula += u"))";
        const Value answer = excel::Application_Evaluate(excel::Application(), formula);
        if (answer.is_error() && answer.error_code() == kValueError) return true;
        if (answer.is_number_kind()) return false;
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

bool TEXTBRAID::IsBadRange(const Value& target) const noexcept {
    try {
        if (!target.is_object()) return true;
        ObjectRef cells = excel::Range_Cells(target.object_value());
        return excel::Range_CountLarge(cells).is_error();
    } catch (...) {
        return true;
    }
}

// The joined text of one call: the delimiter between neighbouring texts only, empty texts
// skipped on request, and the host's cell limit asked after every append.
class TEXTBRAID::Joiner {
  public:
    Joiner(const Value& delimiter, bool ignore_empty, LimitProbe limit)
        : delimiter_(delimiter_text(delimiter)),
          // Without a delimiter an empty text leaves no trace, so skipping it changes nothing
          // and lets a reference be cut to its used range.
          skip_empty_(ignore_empty || delimiter_.empty()),
          limit_(std::move(limit)) {}

    bool skips_empty() const { return skip_empty_; }

    // Whether the delimiters alone of a result that takes all count items exceed the host's
    // limit. With empty texts skipped the count says nothing about the length.
    bool delimiters_exceed(double count) {
        return !skip_empty_ && count > 0 &&
               limit_.exceeds((count - 1) * static_cast<double>(delimiter_.size()));
    }

    // Appends a text after the delimiter (an empty one is dropped when empties are skipped);
    // the walk ends with the limit text as soon as the result no longer fits a cell.
    Stop take(const Value& text) {
        if (!text.is_string()) fail(hr::type_mismatch, "an item gave no text");
        const std::u16string& piece = text.string_value();
        if (piece.empty() && skip_empty_) return std::nullopt;
        if (taken_) joined_ += delimiter_;
        taken_ = true;
        joined_ += piece;
        if (limit_.exceeds(static_cast<double>(joined_.size()))) {
            return Value::string(kCellLimitText);
        }
        return std::nullopt;
    }

    Value result() const { return Value::string(joined_); }

  private:
    std::u16string delimiter_;
    bool skip_empty_;
    LimitProbe limit_;
    std::u16string joined_;
    bool taken_ = false;  // whether a text was appended, so the next one follows a delimiter
};

// Yields the texts of one text argument to the joiner, in order: a reference area by area, each
// cut to its sheet's used range when empty texts are skipped and read row by row; an array row
// by row over its own bounds; any other argument as one item. An error item met ends the walk
// with that item as the call's result.
class TEXTBRAID::Walker {
  public:
    Walker(const TEXTBRAID& function, bool use_formats, bool useLegacyCount, Joiner& join)
        : function_(function),
          use_formats_(use_formats),
          legacy_count_(useLegacyCount),
          join_(join) {}

    // cells: the number of cells of a reference, as gathered.
    Stop item(const Value& argument, double cells) const {
        if (argument.is_missing()) return join_.take(Value::string(u""));
        if (argument.is_array()) return array(argument.array_value());
        if (!argument.is_object()) {
            if (argument.is_error()) return argument;
            return text(argument);
        }
        // A reference of several cells is a block: its value would be an array. It is told by
        // the count already gathered rather than by reading that array, which for a whole
        // column would hold a million values before the cut to the used range.
        if (cells == 1) {
            const Value whole = excel::Range_Value(argument.object_value());
            if (whole.is_error()) return argument;
            if (!whole.is_array() && !whole.is_object()) return text(argument);
        }
        return reference(argument.object_value());
    }

  private:
    // A union such as (A1:A2,C1:C2) has several areas, and Rows, Columns and Cells(r, c) see
    // only the first. A host that does not know Areas has every reference walked as one area;
    // any other failure fails the call, as every host call's does, rather than drop areas.
    Stop reference(const ObjectRef& whole) const {
        ObjectRef areas;
        double count = 1;
        try {
            areas = excel::Range_Areas(whole);
            count = excel::Areas_Count(areas);
        } catch (const Failure& failure) {
            const bool unknown =
                failure.hresult() == hr::unknown_name || failure.hresult() == hr::member_not_found;
            if (!unknown) throw;
            areas.reset();
            count = 1;
        }
        for (double a = 1; a <= count; ++a) {
            ObjectRef range =
                areas ? excel::Areas_Item(areas, static_cast<std::int32_t>(a)) : whole;
            if (Stop stop = area(std::move(range))) return stop;
        }
        return std::nullopt;
    }

    Stop area(ObjectRef range) const {
        if (join_.skips_empty()) {
            // Every cell outside its sheet's used range is empty, and empty texts are skipped.
            ObjectRef sheet = excel::Range_Worksheet(range);
            ObjectRef used = excel::Worksheet_UsedRange(sheet);
            range = excel::Application_Intersect(excel::Application(), range, used).object_value();
            if (!range) return std::nullopt;
        }
        double rows = 0;
        double columns = 0;
        {
            ObjectRef cells = excel::Range_Cells(range);
            rows = count_of(excel::Range_Rows(cells), legacy_count_);
            columns = count_of(excel::Range_Columns(cells), legacy_count_);
        }
        for (double r = 1; r <= rows; ++r) {
            for (double c = 1; c <= columns; ++c) {
                if (Stop stop = cell(excel::Range_Cells(range, r, c))) return stop;
            }
        }
        return std::nullopt;
    }

    // One host object a cell. Its Value2 is an error exactly when its Value is, so without
    // formats the value read for the error test is also the one whose text is joined.
    Stop cell(ObjectRef one) const {
        Value value = use_formats_ ? excel::Range_Value(one) : excel::Range_Value2(one);
        if (value.is_error()) return Value::object(std::move(one));
        if (use_formats_) return text(Value::object(std::move(one)));
        return text(value);
    }

    // Array elements are not tested for errors first: an error element has no text and fails
    // the call. Each dimension is walked over its own bounds, so an array that does not start
    // at 1 loses no element.
    Stop array(const Array& elements) const {
        const std::int64_t row_first = elements.lower(0);
        const std::int64_t row_last = elements.upper(0);
        const std::int64_t column_first = elements.lower(1);
        const std::int64_t column_last = elements.upper(1);
        if (elements.dimensions() != 2) fail(hr::bad_index, "the array is not two-dimensional");
        for (std::int64_t r = row_first; r <= row_last; ++r) {
            for (std::int64_t c = column_first; c <= column_last; ++c) {
                if (Stop stop = text(elements.at(r, c))) return stop;
            }
        }
        return std::nullopt;
    }

    Stop text(const Value& item) const {
        return join_.take(function_.ItemText(item, use_formats_));
    }

    const TEXTBRAID& function_;
    bool use_formats_;
    bool legacy_count_;
    Joiner& join_;
};

Value TEXTBRAID::JoinItems(const Value& delimiter, bool ignore_empty, bool use_formats,
                           bool useLegacyCount, std::span<const Value> items) const {
    // Gather: the cell count of every reference, all read before the first item is, and the
    // number of items the arguments bring (1 for any other argument, an array included).
    std::vector<double> cells;
    cells.reserve(items.size());
    double item_count = 0;
    for (const Value& argument : items) {
        cells.push_back(argument.is_object()
                            ? count_of(excel::Range_Cells(argument.object_value()), useLegacyCount)
                            : 1.0);
        item_count += cells.back();
    }

    Joiner join(delimiter, ignore_empty,
                LimitProbe([this](double n) { return ProbeCellLimit(n); }, probe_ahead_));
    if (join.delimiters_exceed(item_count)) return Value::string(kCellLimitText);

    const Walker walk(*this, use_formats, useLegacyCount, join);
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (Stop stop = walk.item(items[k], cells[k])) return std::move(*stop);
    }
    return join.result();
}

}  // namespace tb
