#include "tools/winexcel/box_capture.h"

#include <algorithm>

namespace tb::winexcel {

namespace {

struct Seen {
    bool hand = false, question = false, exclamation = false, asterisk = false;
    std::vector<int> buttons;
};

struct State {
    HHOOK hook = nullptr;
    std::vector<tools::BoxShown> boxes;
};
State* g_state = nullptr;

constexpr UINT_PTR kTimer = 0x7E11;

bool has(const std::vector<int>& buttons, int id) {
    return std::find(buttons.begin(), buttons.end(), id) != buttons.end();
}

BOOL CALLBACK inspect_child(HWND child, LPARAM param) {
    auto& seen = *reinterpret_cast<Seen*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    const auto style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    if (lstrcmpiW(cls, L"Button") == 0 && IsWindowVisible(child)) {
        seen.buttons.push_back(GetDlgCtrlID(child));
    } else if (lstrcmpiW(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
        const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        auto is = [icon](WORD id) {
            return icon && icon == LoadIconW(nullptr, MAKEINTRESOURCEW(id));
        };
        // The system icons' identifiers: IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK.
        seen.hand = seen.hand || is(32513);
        seen.question = seen.question || is(32514);
        seen.exclamation = seen.exclamation || is(32515);
        seen.asterisk = seen.asterisk || is(32516);
    }
    return TRUE;
}

void CALLBACK read_and_close(HWND window, UINT, UINT_PTR, DWORD) {
    KillTimer(window, kTimer);
    if (!g_state) return;
    std::vector<wchar_t> text(65536, L'\0');
    tools::BoxShown box;
    const int title = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    box.title.assign(text.begin(), text.begin() + std::max(title, 0));
    const UINT body = GetDlgItemTextW(window, 0xFFFF, text.data(), static_cast<int>(text.size()));
    box.text.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(body));
    Seen seen;
    EnumChildWindows(window, inspect_child, reinterpret_cast<LPARAM>(&seen));
    box.style =
        shown_style(seen.hand, seen.question, seen.exclamation, seen.asterisk, seen.buttons);
    g_state->boxes.push_back(std::move(box));
    // The button a user would press to get rid of it: OK, else Cancel, else the first.
    int press = IDOK;
    if (!has(seen.buttons, IDOK))
        press = has(seen.buttons, IDCANCEL) ? IDCANCEL
                                            : (seen.buttons.empty() ? IDOK : seen.buttons[0]);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, press)));
}

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_ACTIVATE && g_state) {
        const auto window = reinterpret_cast<HWND>(wparam);
        wchar_t cls[16] = {};
        GetClassNameW(window, cls, 16);
        if (lstrcmpW(cls, L"#32770") == 0) SetTimer(window, kTimer, 20, read_and_close);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

UINT shown_style(bool hand, bool question, bool exclamation, bool asterisk,
                 const std::vector<int>& buttons) {
    UINT style = MB_OK;
    if (has(buttons, IDABORT))
        style = MB_ABORTRETRYIGNORE;
    else if (has(buttons, IDYES))
        style = has(buttons, IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    else if (has(buttons, IDRETRY))
        style = MB_RETRYCANCEL;
    else if (has(buttons, IDOK) && has(buttons, IDCANCEL))
        style = MB_OKCANCEL;
    if (hand)
        style |= MB_ICONHAND;
    else if (question)
        style |= MB_ICONQUESTION;
    else if (exclamation)
        style |= MB_ICONEXCLAMATION;
    else if (asterisk)
        style |= MB_ICONASTERISK;
    return style;
}

BoxCapture::BoxCapture() {
    g_state = new State;
    g_state->hook = SetWindowsHookExW(WH_CBT, on_cbt, nullptr, GetCurrentThreadId());
}

BoxCapture::~BoxCapture() {
    if (g_state->hook) UnhookWindowsHookEx(g_state->hook);
    delete g_state;
    g_state = nullptr;
}

std::vector<tools::BoxShown> BoxCapture::take() {
    return std::exchange(g_state->boxes, {});
}

}  // namespace tb::winexcel
