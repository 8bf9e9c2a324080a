// AddinSetup.exe: lists an Automation add-in in an Office application's add-in list, or takes it
// off. A windowless program: no console, no output; its only user interface is the warning box.
// Exit status (kzMain::Outcome): 0 when the routine ran to its end with nothing left undone,
// 1 after the warning box, 2 when the command line was unusable or named no known application
// (nothing done), 3 when a version was left as it was because a value of its chain could not be
// read or the entry's write was refused or did not read back, 4 when an uninstall left the add-in
// listed somewhere for the user to untick in Excel, 5 for both of 3 and 4.
#include <objbase.h>
#include <windows.h>

#include <string>

#include "installer/command_line.h"
#include "installer/kz_main.h"
#include "installer/win/com_util.h"
#include "installer/win/wscript_shell.h"

namespace {

void ShowMessageBox(const std::u16string& text, const std::u16string& title, std::uint32_t style) {
    MessageBoxW(nullptr, kzWin::ToWide(text).c_str(), kzWin::ToWide(title).c_str(), style);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const HRESULT com = CoInitialize(nullptr);
    const std::u16string commandLine = kzWin::ToU16(GetCommandLineW());
    // Without COM the shell cannot be created, which Main reports with its warning box.
    const kzMain::Outcome outcome = kzMain::Main(kzMain::ArgumentText(commandLine),
                                                 kzWin::WScriptShellFactory(), ShowMessageBox);
    if (SUCCEEDED(com)) CoUninitialize();
    return static_cast<int>(outcome);
}
