// Runs a program and watches it from outside for a message box: prints the box's title, text and
// visible buttons (UTF-8, one field a line), presses OK, and ends with the program's own exit
// status. Prints "no box" when the program ends without showing one.
//   box_watch.exe PROGRAM [ARGUMENTS...]
#include <windows.h>

#include <cstdio>
#include <string>

#include "installer/command_line.h"

namespace {

struct Watch {
    DWORD processId;
    HWND box = nullptr;
};

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
    auto& watch = *reinterpret_cast<Watch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (owner != watch.processId || lstrcmpW(className, L"#32770") != 0 ||
        !IsWindowVisible(window)) {
        return TRUE;
    }
    watch.box = window;
    return FALSE;
}

std::wstring Text(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK AddButton(HWND child, LPARAM context) {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Button") == 0 && IsWindowVisible(child)) {
        *reinterpret_cast<std::wstring*>(context) +=
            std::to_wstring(GetDlgCtrlID(child)) + L":" + Text(child) + L";";
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
    const std::u16string line(reinterpret_cast<const char16_t*>(GetCommandLineW()));
    const std::u16string_view arguments = kzMain::ArgumentText(line);
    std::wstring program(arguments.begin(), arguments.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, program.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("cannot start the program: %lu\n", GetLastError());
        return 99;
    }
    Watch watch{process.dwProcessId};
    for (int tick = 0; tick < 600 && WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT;
         ++tick) {
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&watch));
        if (!watch.box) continue;
        Sleep(300);  // let the box finish drawing its controls
        std::wstring buttons;
        EnumChildWindows(watch.box, AddButton, reinterpret_cast<LPARAM>(&buttons));
        HWND text = GetDlgItem(watch.box, 0xFFFF);
        Print(L"title: " + Text(watch.box));
        Print(L"text: " + Text(text ? text : GetDlgItem(watch.box, 100)));
        Print(L"buttons: " + buttons);
        PostMessageW(watch.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        break;
    }
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 98);
        WaitForSingleObject(process.hProcess, 5000);
    }
    if (!watch.box) Print(L"no box");
    DWORD status = 99;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
