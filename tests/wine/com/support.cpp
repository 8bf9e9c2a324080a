#include "tests/wine/com/support.h"

namespace tb::wine {

std::wstring dll_path() {
    // The build records the DLL's host path; the prefix maps the host's root to drive Z:.
    std::wstring path = L"Z:";
    for (char c : std::string(TB_DLL_PATH))
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

template <class Function>
static void load(HMODULE module, const char* name, Function*& out) {
    out = reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const Server& server() {
    static const Server loaded = [] {
        Server s;
        s.module = LoadLibraryW(dll_path().c_str());
        if (!s.module) return s;
        load(s.module, "DllCanUnloadNow", s.can_unload_now);
        load(s.module, "DllGetClassObject", s.get_class_object);
        load(s.module, "DllRegisterServer", s.register_server);
        load(s.module, "DllUnregisterServer", s.unregister_server);
        return s;
    }();
    return loaded;
}

}  // namespace tb::wine
