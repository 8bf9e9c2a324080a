// Helpers shared by the Wine tests of the COM server: where the DLL is, running programs,
// reading registry trees, and loading the DLL's exports.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <map>
#include <string>

namespace tb::wine {

// The DLL under test, as a Windows path.
std::wstring dll_path();
// Upper-cases a path and strips a leading \\?\ so paths compare as the file system sees them.
std::wstring normalise_path(std::wstring path);

// Runs a command line and returns the process's exit code (or -1 when it cannot start).
int run(const std::wstring& command_line);

// Every key below root\path (the key itself included) with its values, as
// "key path" -> "name=type:data" lines; empty when the key does not exist.
std::map<std::wstring, std::wstring> snapshot(HKEY root, const std::wstring& path);
// The string value of root\path (name null: the default value), or nothing.
bool read_string(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& out);
bool key_exists(HKEY root, const std::wstring& path);

std::wstring guid_text(const GUID& guid);

// The DLL loaded into the test process (the same module COM activation uses), and its exports.
struct Server {
    HMODULE module = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now)() = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* register_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_server)() = nullptr;
};
const Server& server();

}  // namespace tb::wine
