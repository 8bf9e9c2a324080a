// The installer's names for the shared owning wrappers of COM resources (an interface pointer, a
// BSTR and a VARIANT, each given back on every path), and its text conversions.
#pragma once

#include <string>
#include <string_view>

#include "win/owned.h"

namespace kzWin {

template <typename T>
using ComPtr = tb::win::com_ptr<T>;
using UniqueBstr = tb::win::unique_bstr;
using UniqueVariant = tb::win::unique_variant;

inline std::wstring ToWide(std::u16string_view text) {
    return {text.begin(), text.end()};
}
inline std::u16string ToU16(std::wstring_view text) {
    return {text.begin(), text.end()};
}

}  // namespace kzWin
