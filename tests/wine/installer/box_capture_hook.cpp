// A CBT hook that a test installs on the main thread of a started AddinSetup.exe, so it runs inside
// the process that shows the box. When a dialog box is activated it reads the title, the text,
// the icon and the visible buttons, appends them to the file named by TB_BOX_CAPTURE, saves a
// picture of the box to TB_BOX_SCREENSHOT (a .bmp) when that is set, and presses OK.
// Record layout (UTF-16): title US text US icon US buttons RS, where US = U+001F, RS = U+001E,
// icon is exclamation, hand, asterisk, question, none or other, and buttons is "id:text;" each.
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr UINT_PTR kTimerId = 0x7B01;

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(std::size(buffer)));
    return n > 0 && n < std::size(buffer) ? std::wstring(buffer, n) : std::wstring();
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

struct Children {
    HICON icon = nullptr;
    bool hasIconControl = false;
    std::wstring buttons;
};

BOOL CALLBACK VisitChild(HWND child, LPARAM context) {
    auto& children = *reinterpret_cast<Children*>(context);
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (lstrcmpiW(className, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
        children.hasIconControl = true;
        children.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    } else if (lstrcmpiW(className, L"Button") == 0 && IsWindowVisible(child)) {
        children.buttons += std::to_wstring(GetDlgCtrlID(child)) + L":" + WindowText(child) + L";";
    }
    return TRUE;
}

std::wstring IconName(const Children& children) {
    if (!children.hasIconControl || !children.icon) return L"none";
    const struct {
        LPCWSTR id;
        const wchar_t* name;
    } icons[] = {{MAKEINTRESOURCEW(32515), L"exclamation"},
                 {MAKEINTRESOURCEW(32513), L"hand"},
                 {MAKEINTRESOURCEW(32516), L"asterisk"},
                 {MAKEINTRESOURCEW(32514), L"question"}};
    for (const auto& icon : icons) {
        if (LoadIconW(nullptr, icon.id) == children.icon) return icon.name;
    }
    return L"other";
}

std::wstring DialogText(HWND box) {
    for (int id : {0xFFFF, 100}) {
        if (HWND item = GetDlgItem(box, id)) return WindowText(item);
    }
    return {};
}

void Append(const std::wstring& path, const std::wstring& record) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
              nullptr);
    CloseHandle(file);
}

// Copies the box's rectangle from the screen into a 24-bit BMP file.
void SavePicture(HWND box, const std::wstring& path) {
    RECT r{};
    GetWindowRect(box, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
        SelectObject(memory, previous);
        GdiFlush();
        const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        const DWORD imageSize = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER header{};
        header.bfType = 0x4D42;  // "BM"
        header.bfOffBits = sizeof header + sizeof info.bmiHeader;
        header.bfSize = header.bfOffBits + imageSize;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, &header, sizeof header, &written, nullptr);
            WriteFile(file, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr);
            WriteFile(file, bits, imageSize, &written, nullptr);
            CloseHandle(file);
        }
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

void CALLBACK CaptureAndClose(HWND box, UINT, UINT_PTR id, DWORD) {
    KillTimer(box, id);
    Children children;
    EnumChildWindows(box, VisitChild, reinterpret_cast<LPARAM>(&children));
    const std::wstring record = WindowText(box) + L'\x1F' + DialogText(box) + L'\x1F' +
                                IconName(children) + L'\x1F' + children.buttons + L'\x1E';
    Append(Environment(L"TB_BOX_CAPTURE"), record);
    const std::wstring picture = Environment(L"TB_BOX_SCREENSHOT");
    if (!picture.empty()) SavePicture(box, picture);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

}  // namespace

extern "C" LRESULT CALLBACK CaptureBoxHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        const auto window = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        // Give the box a moment to finish drawing, then read it from its own message loop.
        if (lstrcmpW(className, L"#32770") == 0) SetTimer(window, kTimerId, 300, CaptureAndClose);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
