// The DLL under test, for the Wine tests of the COM server and its benchmarks.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <string>

namespace tb::wine {

// The DLL under test, as a Windows path.
std::wstring dll_path();

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
