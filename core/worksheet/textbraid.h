// The Automation add-in class behind the worksheet function
//   TEXTBRAID(delimiter, ignore_empty, use_formats, text1, [text2], …)
// Pure C++ over the tagged value and host objects. Every call reads gExcelApp, keeps nothing
// between calls, and answers every failure with #VALUE!.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "core/host/value.h"
#include "core/worksheet/message_box.h"

namespace tb {

// The help text shown, with #VALUE!, for a call with fewer than four arguments.
std::u16string TextBraidHelpText();

// The text answered when the joined text would not fit in a cell.
inline constexpr std::u16string_view kCellLimitText = u"Cell character limit exceeded.";

class TEXTBRAID {
  public:
    explicit TEXTBRAID(MessageBoxFn show_box) : show_box_(std::move(show_box)) {}

    // The worksheet function. params holds every argument of the call, left to right (omitted
    // ones as Value::missing()). Never throws: every failure gives #VALUE!.
    Value operator()(std::span<const Value> params) noexcept;

  private:
    friend struct TextBraidInternals;  // unit tests reach the private operations through it
    class Joiner;  // the joined text of one call: the delimiter, skipping and the limit
    class Walker;  // the texts of one argument: reference areas, arrays, single values

    Value ParseSwitch(Value item, bool default_value) const noexcept;
    Value ItemText(Value item, bool use_formats) const;
    bool ExceedsCellLimit(const Value& text, const Value& delimiter, double length) const noexcept;
    // The same probe over a text held elsewhere, so the running result is measured in place.
    bool ExceedsCellLimit(std::u16string_view text, const Value& delimiter,
                          double length) const noexcept;
    // The host's verdict on a text of n characters: true when refused, false when it fits,
    // nothing when the probe failed or the host answered neither way.
    std::optional<bool> ProbeCellLimit(double n) const noexcept;
    bool IsBadRange(const Value& target) const noexcept;
    Value JoinItems(const Value& delimiter, bool ignore_empty, bool use_formats,
                    bool useLegacyCount, std::span<const Value> items) const;

    MessageBoxFn show_box_;
    // Whether one call answers limit checks from what earlier probes of the call have shown
    // (asking ahead of need), or asks the host after every append.
    bool probe_ahead_ = true;
};

}  // namespace tb
