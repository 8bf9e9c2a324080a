// Runs a program and watches it from outside for a message box: prints the box's title, text and
// visible buttons (UTF-8, a line each), presses OK, and ends with the program's own exit status;
// prints "no box" when the program ends without showing one.
//   box_watch.exe PROGRAM [ARGUMENTS...]
#include <windows.h>

#include <cstdio>
#include <string>

#include "installer/command_line.h"

namespace {

DWORD g_processId = 0;
HWND g_box = nullptr;

std::wstring ClassAndText(HWND window, std::wstring* text) {
    wchar_t name[1024] = {};
    GetClassNameW(window, name, 1024);
    const std::wstring className = name;
    GetWindowTextW(window, name, 1024);
    *text = name;
    return className;
}

BOOL CALLBACK FindBox(HWND window, LPARAM) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    std::wstring text;
    if (owner != g_processId || ClassAndText(window, &text) != L"#32770") return TRUE;
    g_box = window;
    return FALSE;
}

BOOL CALLBACK AddButton(HWND child, LPARAM buttons) {
    std::wstring text;
    if (lstrcmpiW(ClassAndText(child, &text).c_str(), L"Button") == 0 && IsWindowVisible(child)) {
        *reinterpret_cast<std::wstring*>(buttons) +=
            std::to_wstring(GetDlgCtrlID(child)) + L":" + text + L";";
    }
    return TRUE;
}

void Print(const std::wstring& text) {
    char out[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, sizeof out, nullptr, nullptr);
    std::printf("%s\n", out);
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
                        &startup, &process)) {
        return 99;
    }
    g_processId = process.dwProcessId;
    for (int tick = 0; !g_box && tick < 600; ++tick) {
        if (WaitForSingleObject(process.hProcess, 100) != WAIT_TIMEOUT) break;
        EnumWindows(FindBox, 0);
    }
    if (g_box) {
        Sleep(300);  // let the box finish drawing its controls
        std::wstring title, text, buttons;
        ClassAndText(g_box, &title);
        HWND label = GetDlgItem(g_box, 0xFFFF);
        ClassAndText(label ? label : GetDlgItem(g_box, 100), &text);
        EnumChildWindows(g_box, AddButton, reinterpret_cast<LPARAM>(&buttons));
        Print(L"title: " + title + L"\ntext: " + text + L"\nbuttons: " + buttons);
        PostMessageW(g_box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else {
        Print(L"no box");
    }
    DWORD status = 98;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
