// What a stand-in Excel is made of before any object exists: the grid it models and the hook
// through which formulas reach functions the evaluator does not know (an add-in's).
#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "core/host/value.h"

namespace tb::standin {

enum class Profile {
    Modern,  // 1,048,576 rows x 16,384 columns, CountLarge present
    Legacy,  // 65,536 rows x 256 columns, no CountLarge
};

// Resolves a function the evaluator does not know (for example an add-in's function). Receives
// the arguments as Excel passes them to an add-in: references as Range objects, omitted ones as
// Value::missing(), array constants as 2-D arrays with lower bounds 1. Returns false when it
// does not know the name (the formula then gives #NAME?).
using FunctionResolver =
    std::function<bool(std::u16string_view name, std::span<const Value> args, Value& result)>;

}  // namespace tb::standin
