#include "tests/wine/com/box_catcher.h"

#include <cstdio>

namespace tb::wine {

namespace {

struct State {
    HHOOK hook = nullptr;
    std::wstring screenshot;
    bool saved = false;
    std::vector<CaughtBox> boxes;
};
State* g_state = nullptr;  // one catcher at a time, on the thread that shows the boxes

constexpr UINT_PTR kTimer = 0x7B0C;

bool save_bitmap(HWND window, const std::wstring& path) {
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a .bmp stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD image = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image;
    bool ok = false;
    if (FILE* out = _wfopen(path.c_str(), L"wb")) {
        ok = fwrite(&file, sizeof file, 1, out) == 1 &&
             fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
             fwrite(bits, image, 1, out) == 1;
        fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

BOOL CALLBACK inspect_child(HWND child, LPARAM param) {
    auto& box = *reinterpret_cast<CaughtBox*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    const auto style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    if (lstrcmpiW(cls, L"Button") == 0 && IsWindowVisible(child)) {
        box.visible_buttons.push_back(GetDlgCtrlID(child));
    } else if (lstrcmpiW(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
        const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        // 32513: IDI_HAND, the stop icon.
        box.stop_icon =
            box.stop_icon || (icon && icon == LoadIconW(nullptr, MAKEINTRESOURCEW(32513)));
    }
    return TRUE;
}

void CALLBACK close_box(HWND window, UINT, UINT_PTR, DWORD) {
    KillTimer(window, kTimer);
    if (!g_state) return;
    CaughtBox box;
    wchar_t text[8192] = {};
    GetWindowTextW(window, text, 8192);
    box.title = text;
    text[0] = 0;
    GetDlgItemTextW(window, 0xFFFF, text, 8192);
    box.text = text;
    EnumChildWindows(window, inspect_child, reinterpret_cast<LPARAM>(&box));
    if (!g_state->screenshot.empty() && !g_state->saved)
        g_state->saved = save_bitmap(window, g_state->screenshot);
    g_state->boxes.push_back(std::move(box));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
}

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_ACTIVATE && g_state) {
        const auto window = reinterpret_cast<HWND>(wparam);
        wchar_t cls[16] = {};
        GetClassNameW(window, cls, 16);
        // Give the box time to paint before it is read and photographed.
        if (lstrcmpW(cls, L"#32770") == 0) SetTimer(window, kTimer, 300, close_box);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

BoxCatcher::BoxCatcher(std::wstring screenshot) {
    g_state = new State;
    g_state->screenshot = std::move(screenshot);
    g_state->hook = SetWindowsHookExW(WH_CBT, on_cbt, nullptr, GetCurrentThreadId());
}

BoxCatcher::~BoxCatcher() {
    UnhookWindowsHookEx(g_state->hook);
    delete g_state;
    g_state = nullptr;
}

const std::vector<CaughtBox>& BoxCatcher::boxes() const {
    return g_state->boxes;
}
bool BoxCatcher::screenshot_saved() const {
    return g_state->saved;
}

}  // namespace tb::wine
