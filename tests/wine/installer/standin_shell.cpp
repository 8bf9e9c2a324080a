// A stand-in for the platform's "WScript.Shell" object, registered under that ProgID in the Wine
// test prefix only. It answers RegRead, RegWrite and RegDelete over the real registry as the
// installer relies on them, where Wine's own component has gaps: RegDelete works, and reading a
// key that exists without a default value gives an empty text instead of failing.
// Failures come back as DISP_E_EXCEPTION with an EXCEPINFO, as from the platform's component.
// On demand (HKCU\Software\TextBraidTests\ShellStandIn, DWORD FailCreationAt = n) the n-th
// creation in a process fails; 0xFFFFFFFF makes every creation fail.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <new>
#include <string>
#include <vector>

namespace {

// {16E29E89-DCE1-482B-B95A-86E1D68E0C66}
constexpr CLSID kClsid = {
    0x16e29e89, 0xdce1, 0x482b, {0xb9, 0x5a, 0x86, 0xe1, 0xd6, 0x8e, 0x0c, 0x66}};
constexpr wchar_t kClsidText[] = L"{16E29E89-DCE1-482B-B95A-86E1D68E0C66}";
constexpr wchar_t kControlKey[] = L"Software\\TextBraidTests\\ShellStandIn";

HINSTANCE g_module = nullptr;
LONG g_liveObjects = 0;
LONG g_locks = 0;
DWORD g_creations = 0;

enum Member : DISPID { kRegRead = 1, kRegWrite = 2, kRegDelete = 3 };

struct Failure {
    HRESULT code;
    std::wstring description;
};

struct Location {
    HKEY root;
    std::wstring key;
    std::wstring name;  // empty with isKey: the key's default value
    bool isKey;
};

Location Parse(const std::wstring& path) {
    static const struct {
        const wchar_t* name;
        HKEY root;
    } roots[] = {{L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}, {L"HKCU\\", HKEY_CURRENT_USER}};
    for (const auto& root : roots) {
        const std::size_t length = wcslen(root.name);
        if (path.size() >= length &&
            CompareStringOrdinal(path.c_str(), static_cast<int>(length), root.name,
                                 static_cast<int>(length), TRUE) == CSTR_EQUAL) {
            std::wstring rest = path.substr(length);
            if (!rest.empty() && rest.back() == L'\\') {
                rest.pop_back();
                return {root.root, rest, {}, true};
            }
            const std::size_t last = rest.rfind(L'\\');
            if (last == std::wstring::npos) return {root.root, {}, rest, false};
            return {root.root, rest.substr(0, last), rest.substr(last + 1), false};
        }
    }
    throw Failure{E_INVALIDARG, L"Invalid root in registry key \"" + path + L"\"."};
}

[[noreturn]] void ThrowWin32(LSTATUS status, const std::wstring& what) {
    throw Failure{HRESULT_FROM_WIN32(static_cast<DWORD>(status)), what};
}

BSTR AllocText(const wchar_t* text, std::size_t length) {
    return SysAllocStringLen(text, static_cast<UINT>(length));
}

SAFEARRAY* VariantArray(std::size_t count) {
    return SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
}

void PutElement(SAFEARRAY* array, std::size_t index, VARIANT& element) {
    LONG i = static_cast<LONG>(index);
    SafeArrayPutElement(array, &i, &element);
    VariantClear(&element);
}

// Turns stored registry data into what the platform's shell returns for it.
void ToVariant(DWORD type, const std::vector<BYTE>& data, VARIANT* result) {
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const std::size_t chars = data.size() / sizeof(wchar_t);
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            std::wstring value(text, chars);
            value.resize(wcsnlen(value.c_str(), value.size()));
            if (type == REG_EXPAND_SZ) {
                std::wstring expanded(32768, L'\0');
                const DWORD n = ExpandEnvironmentStringsW(value.c_str(), expanded.data(), 32768);
                if (n > 0) value.assign(expanded.c_str());
            }
            result->vt = VT_BSTR;
            result->bstrVal = AllocText(value.c_str(), value.size());
            return;
        }
        case REG_DWORD: {
            DWORD number = 0;
            memcpy(&number, data.data(), data.size() < sizeof number ? data.size() : sizeof number);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(number);
            return;
        }
        case REG_MULTI_SZ: {
            std::vector<std::wstring> parts;
            for (std::size_t i = 0; i < chars && text[i] != L'\0';) {
                const std::size_t length = wcsnlen(text + i, chars - i);
                parts.emplace_back(text + i, length);
                i += length + 1;
            }
            SAFEARRAY* array = VariantArray(parts.size());
            for (std::size_t i = 0; i < parts.size(); ++i) {
                VARIANT element;
                element.vt = VT_BSTR;
                element.bstrVal = AllocText(parts[i].c_str(), parts[i].size());
                PutElement(array, i, element);
            }
            result->vt = VT_ARRAY | VT_VARIANT;
            result->parray = array;
            return;
        }
        case REG_BINARY: {
            SAFEARRAY* array = VariantArray(data.size());
            for (std::size_t i = 0; i < data.size(); ++i) {
                VARIANT element;
                element.vt = VT_UI1;
                element.bVal = data[i];
                PutElement(array, i, element);
            }
            result->vt = VT_ARRAY | VT_VARIANT;
            result->parray = array;
            return;
        }
        default:
            throw Failure{E_FAIL, L"Unsupported registry type."};
    }
}

class KeyHandle {
  public:
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle() {
        if (h_) RegCloseKey(h_);
    }
    HKEY* put() { return &h_; }
    HKEY get() const { return h_; }

  private:
    HKEY h_ = nullptr;
};

void RegRead(const std::wstring& path, VARIANT* result) {
    const Location at = Parse(path);
    KeyHandle key;
    LSTATUS status = RegOpenKeyExW(at.root, at.key.c_str(), 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) {
        ThrowWin32(status, L"Unable to open registry key \"" + path + L"\" for reading.");
    }
    const wchar_t* name = at.name.empty() ? nullptr : at.name.c_str();
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND && at.isKey) {
        // The key is present; it only has no default value of its own.
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(L"");
        return;
    }
    std::vector<BYTE> data(size);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    if (status != ERROR_SUCCESS) {
        ThrowWin32(status, L"Unable to open registry key \"" + path + L"\" for reading.");
    }
    ToVariant(type, data, result);
}

std::wstring Text(VARIANT& value) {
    VARIANT text;
    VariantInit(&text);
    const HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
    if (FAILED(hr)) throw Failure{hr, L"Type mismatch."};
    std::wstring result(text.bstrVal, SysStringLen(text.bstrVal));
    VariantClear(&text);
    return result;
}

void RegWrite(const std::wstring& path, VARIANT& value, VARIANT* typeArg) {
    const Location at = Parse(path);
    std::wstring type;
    if (typeArg) {
        type = Text(*typeArg);
    } else {
        type = value.vt == VT_BSTR ? L"REG_SZ" : L"REG_DWORD";
    }
    std::vector<BYTE> data;
    DWORD kind = 0;
    if (type == L"REG_SZ" || type == L"REG_EXPAND_SZ") {
        const std::wstring text = Text(value);
        const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
        kind = type == L"REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    } else if (type == L"REG_DWORD") {
        VARIANT number;
        VariantInit(&number);
        const HRESULT hr = VariantChangeType(&number, &value, 0, VT_I4);
        if (FAILED(hr)) throw Failure{hr, L"Type mismatch."};
        const auto* bytes = reinterpret_cast<const BYTE*>(&number.lVal);
        data.assign(bytes, bytes + sizeof number.lVal);
        kind = REG_DWORD;
    } else {
        throw Failure{E_INVALIDARG, L"Invalid type \"" + type + L"\"."};
    }
    // Like the platform's shell, a write creates the key when it is missing.
    KeyHandle key;
    LSTATUS status = RegCreateKeyExW(at.root, at.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     key.put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key.get(), at.name.empty() ? nullptr : at.name.c_str(), 0, kind,
                                data.data(), static_cast<DWORD>(data.size()));
    }
    if (status != ERROR_SUCCESS) ThrowWin32(status, L"Unable to write \"" + path + L"\".");
}

void RegDelete(const std::wstring& path) {
    const Location at = Parse(path);
    LSTATUS status = ERROR_SUCCESS;
    if (at.isKey) {
        status = RegDeleteKeyW(at.root, at.key.c_str());
    } else {
        KeyHandle key;
        status = RegOpenKeyExW(at.root, at.key.c_str(), 0, KEY_SET_VALUE, key.put());
        if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), at.name.c_str());
    }
    if (status != ERROR_SUCCESS) ThrowWin32(status, L"Unable to remove \"" + path + L"\".");
}

class StandInShell final : public IDispatch {
  public:
    StandInShell() { InterlockedIncrement(&g_liveObjects); }
    StandInShell(const StandInShell&) = delete;
    StandInShell& operator=(const StandInShell&) = delete;
    virtual ~StandInShell() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        static const struct {
            const wchar_t* name;
            DISPID id;
        } members[] = {
            {L"RegRead", kRegRead}, {L"RegWrite", kRegWrite}, {L"RegDelete", kRegDelete}};
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (const auto& member : members) {
                if (i == 0 && lstrcmpiW(names[i], member.name) == 0) ids[i] = member.id;
            }
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!params) return E_POINTER;
        if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        const UINT count = params->cArgs;
        // Arguments arrive last to first; by-reference ones are read through.
        std::vector<VARIANT> args(count);
        for (UINT i = 0; i < count; ++i) {
            VariantInit(&args[i]);
            VariantCopyInd(&args[i], &params->rgvarg[count - 1 - i]);
        }
        VARIANT answer;
        VariantInit(&answer);
        HRESULT hr = S_OK;
        try {
            switch (id) {
                case kRegRead:
                    if (count != 1) throw Failure{DISP_E_BADPARAMCOUNT, L"Wrong argument count."};
                    RegRead(Text(args[0]), &answer);
                    break;
                case kRegWrite:
                    if (count != 2 && count != 3) {
                        throw Failure{DISP_E_BADPARAMCOUNT, L"Wrong argument count."};
                    }
                    RegWrite(Text(args[0]), args[1], count == 3 ? &args[2] : nullptr);
                    break;
                case kRegDelete:
                    if (count != 1) throw Failure{DISP_E_BADPARAMCOUNT, L"Wrong argument count."};
                    RegDelete(Text(args[0]));
                    break;
                default:
                    hr = DISP_E_MEMBERNOTFOUND;
            }
        } catch (const Failure& failure) {
            hr = DISP_E_EXCEPTION;
            if (exception) {
                *exception = EXCEPINFO{};
                exception->bstrSource = SysAllocString(L"WshShell");
                exception->bstrDescription =
                    AllocText(failure.description.c_str(), failure.description.size());
                exception->scode = failure.code;
            }
        } catch (...) {
            hr = E_UNEXPECTED;
        }
        for (auto& arg : args)
            VariantClear(&arg);
        if (hr == S_OK && result) {
            *result = answer;
        } else {
            VariantClear(&answer);
        }
        return hr;
    }

  private:
    LONG refs_ = 1;
};

bool CreationFails() {
    const DWORD n = ++g_creations;
    DWORD failAt = 0;
    DWORD size = sizeof failAt;
    if (RegGetValueW(HKEY_CURRENT_USER, kControlKey, L"FailCreationAt", RRF_RT_REG_DWORD, nullptr,
                     &failAt, &size) != ERROR_SUCCESS) {
        return false;
    }
    return failAt == 0xFFFFFFFF || failAt == n;
}

class Factory final : public IClassFactory {
  public:
    Factory() = default;
    Factory(const Factory&) = delete;
    Factory& operator=(const Factory&) = delete;
    virtual ~Factory() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (CreationFails()) return E_FAIL;
        StandInShell* shell = new (std::nothrow) StandInShell();
        if (!shell) return E_OUTOFMEMORY;
        const HRESULT hr = shell->QueryInterface(riid, out);
        shell->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&g_locks);
        } else {
            InterlockedDecrement(&g_locks);
        }
        return S_OK;
    }
};

Factory g_factory;

LSTATUS SetText(HKEY root, const std::wstring& key, const wchar_t* name,
                const std::wstring& value) {
    return RegSetKeyValueW(root, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

// Takes over the ProgID "WScript.Shell" in this prefix.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsidText;
    const LSTATUS status[] = {
        SetText(HKEY_CLASSES_ROOT, clsidKey, nullptr, L"Stand-in WScript.Shell for tests"),
        SetText(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr, path),
        SetText(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"),
        SetText(HKEY_CLASSES_ROOT, L"WScript.Shell\\CLSID", nullptr, kClsidText),
    };
    for (LSTATUS s : status) {
        if (s != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(s));
    }
    return S_OK;
}

// Gives the ProgID back to Wine's own component by registering it again.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kClsidText).c_str());
    HMODULE wshom = LoadLibraryW(L"wshom.ocx");
    if (!wshom) return HRESULT_FROM_WIN32(GetLastError());
    using Register = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = reinterpret_cast<Register>(
        reinterpret_cast<void*>(GetProcAddress(wshom, "DllRegisterServer")));
    const HRESULT hr = registerServer ? registerServer() : E_FAIL;
    FreeLibrary(wshom);
    return hr;
}
