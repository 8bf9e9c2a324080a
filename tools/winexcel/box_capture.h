// Message boxes that an add-in shows on the application's thread are caught instead of waiting
// for a user: a WH_CBT hook sees each dialog box activate, a timer then reads its title, text,
// icon and buttons, and presses the button that dismisses it. The box has really been shown
// (this needs a display; under Wine a virtual one does).
#pragma once

#include <windows.h>

#include <vector>

#include "tools/output.h"

namespace tb::winexcel {

class BoxCapture {
  public:
    BoxCapture();  // hooks the calling thread; one capture per process
    ~BoxCapture();
    BoxCapture(const BoxCapture&) = delete;
    BoxCapture& operator=(const BoxCapture&) = delete;

    // The boxes caught since the last call, in the order they were shown.
    std::vector<tools::BoxShown> take();
};

// The MessageBox style a box shows: its icon (MB_ICONHAND, MB_ICONQUESTION, MB_ICONEXCLAMATION,
// MB_ICONASTERISK) and its buttons (MB_OK, MB_OKCANCEL, …), from what is on screen.
UINT shown_style(bool hand, bool question, bool exclamation, bool asterisk,
                 const std::vector<int>& buttons);

}  // namespace tb::winexcel
