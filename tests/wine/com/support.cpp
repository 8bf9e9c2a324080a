#include "tests/wine/com/support.h"

#include <algorithm>
#include <cwctype>
#include <string_view>
#include <vector>

namespace tb::wine {

std::wstring dll_path() {
    // The build records the DLL's host path; the prefix maps the host's root to drive Z:.
    std::string unix_path = TB_DLL_PATH;
    std::wstring path = L"Z:";
    for (char c : unix_path)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

std::wstring normalise_path(std::wstring path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    std::transform(path.begin(), path.end(), path.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return path;
}

int run(const std::wstring& command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

namespace {

std::wstring value_text(DWORD type, const std::vector<BYTE>& data, DWORD size) {
    std::wstring text = std::to_wstring(type) + L":";
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring s(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        while (!s.empty() && s.back() == L'\0')
            s.pop_back();
        return text + s;
    }
    for (DWORD i = 0; i < size; ++i)
        text += std::to_wstring(data[i]) + L",";
    return text;
}

void walk(HKEY key, const std::wstring& path, std::map<std::wstring, std::wstring>& out) {
    std::wstring values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD name_size = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &name_size, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size + 2);
        name_size = 16384;
        RegEnumValueW(key, i, name, &name_size, nullptr, &type, data.data(), &size);
        values += std::wstring(name) + L"=" + value_text(type, data, size) + L"\n";
    }
    out[path] = values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD name_size = 256;
        if (RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        walk(child, path + L"\\" + name, out);
        RegCloseKey(child);
    }
}

}  // namespace

std::map<std::wstring, std::wstring> snapshot(HKEY root, const std::wstring& path) {
    std::map<std::wstring, std::wstring> out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    walk(key, path, out);
    RegCloseKey(key);
    return out;
}

bool read_string(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& out) {
    wchar_t buffer[2048];
    DWORD size = sizeof buffer;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return false;
    out = buffer;
    return true;
}

bool key_exists(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::wstring guid_text(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

const Server& server() {
    static const Server loaded = [] {
        Server s;
        s.module = LoadLibraryW(dll_path().c_str());
        if (!s.module) return s;
        auto proc = [&](const char* name) { return GetProcAddress(s.module, name); };
        s.can_unload_now = reinterpret_cast<decltype(s.can_unload_now)>(
            reinterpret_cast<void*>(proc("DllCanUnloadNow")));
        s.get_class_object = reinterpret_cast<decltype(s.get_class_object)>(
            reinterpret_cast<void*>(proc("DllGetClassObject")));
        s.register_server = reinterpret_cast<decltype(s.register_server)>(
            reinterpret_cast<void*>(proc("DllRegisterServer")));
        s.unregister_server = reinterpret_cast<decltype(s.unregister_server)>(
            reinterpret_cast<void*>(proc("DllUnregisterServer")));
        return s;
    }();
    return loaded;
}

}  // namespace tb::wine
