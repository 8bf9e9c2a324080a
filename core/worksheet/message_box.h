// The message box seam: the worksheet function shows its help box through it. On Windows it is
// the real modal MessageBoxW; native tests and the command line record what would be shown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tb {

// Shows a modal box with the text, title and MessageBox style and returns once it is closed.
using MessageBoxFn = std::function<void(const std::u16string& text, const std::u16string& title,
                                        std::uint32_t style)>;

// MB_ICONHAND | MB_OK: the stop icon and a single OK button.
inline constexpr std::uint32_t kStopBoxStyle = 16;

}  // namespace tb
