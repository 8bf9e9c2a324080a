// Runs a program and watches it from outside for a message box: prints the box's title, text and
// visible buttons (UTF-8, a line each), presses OK, and ends with the program's own exit status.
//   box_watch.exe PROGRAM [ARGUMENTS...]
#include <windows.h>

#include <cstdio>
#include <string>

#include "installer/command_line.h"

namespace {

HWND g_box = nullptr;
std::wstring g_buttons;

std::wstring Text(HWND window, bool className = false) {
    wchar_t text[1024] = {};
    className ? GetClassNameW(window, text, 1024) : GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK FindBox(HWND window, LPARAM processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == DWORD(processId) && Text(window, true) == L"#32770") g_box = window;
    return !g_box;
}

BOOL CALLBACK AddButton(HWND child, LPARAM) {
    if (lstrcmpiW(Text(child, true).c_str(), L"Button") == 0 && IsWindowVisible(child))
        g_buttons += std::to_wstring(GetDlgCtrlID(child)) + L":" + Text(child) + L";";
    return TRUE;
}

}  // namespace

int main() {
    const std::u16string_view arguments =
        kzMain::ArgumentText(reinterpret_cast<const char16_t*>(GetCommandLineW()));
    std::wstring program(arguments.begin(), arguments.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, program.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 99;  // not started
    for (int tick = 0; !g_box && tick < 600; ++tick) {
        if (WaitForSingleObject(process.hProcess, 100) != WAIT_TIMEOUT) break;
        EnumWindows(FindBox, LPARAM(process.dwProcessId));
    }
    if (g_box) {
        Sleep(300);  // let the box finish drawing its controls
        HWND label = GetDlgItem(g_box, 0xFFFF);
        EnumChildWindows(g_box, AddButton, 0);
        const std::wstring report = L"title: " + Text(g_box) + L"\ntext: " +
                                    Text(label ? label : GetDlgItem(g_box, 100)) + L"\nbuttons: " +
                                    g_buttons;
        char out[4096] = {};
        WideCharToMultiByte(CP_UTF8, 0, report.c_str(), -1, out, sizeof out, nullptr, nullptr);
        std::printf("%s\n", out);
        PostMessageW(g_box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    DWORD status = 98;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
