// Captures and closes the message boxes shown on the current thread: a WH_CBT hook sees each
// box activate, a timer on the box then reads what it shows, optionally saves a screenshot, and
// presses OK.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tb::wine {

struct CaughtBox {
    std::wstring title;
    std::wstring text;
    bool stop_icon = false;
    std::vector<int> visible_buttons;  // control identifiers (IDOK, IDCANCEL, …)
};

class BoxCatcher {
  public:
    // screenshot: a .bmp path for a picture of the first box, or empty.
    explicit BoxCatcher(std::wstring screenshot = {});
    ~BoxCatcher();
    BoxCatcher(const BoxCatcher&) = delete;
    BoxCatcher& operator=(const BoxCatcher&) = delete;

    const std::vector<CaughtBox>& boxes() const;
    bool screenshot_saved() const;
};

}  // namespace tb::wine
