#include "tools/winexcel/addins.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "server/com/bridge.h"
#include "win/dispatch.h"

namespace tb::winexcel {

using com::com_ptr;

namespace {

const wchar_t* const kOffice = L"Software\\Microsoft\\Office";
const wchar_t* const kComAddins = L"Software\\Microsoft\\Office\\Excel\\Addins";

bool blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view trim(std::u16string_view s) {
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::wstring wide(std::u16string_view s) {
    return std::wstring(s.begin(), s.end());
}

std::u16string narrow16(std::wstring_view s) {
    return std::u16string(s.begin(), s.end());
}

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// "16.0" -> 16.0; anything that is not <digits>.<digits> -> nothing.
std::optional<std::pair<unsigned, unsigned>> version_number(std::wstring_view name) {
    const auto dot = name.find(L'.');
    if (dot == std::wstring_view::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
    unsigned parts[2] = {0, 0};
    for (std::size_t i = 0, part = 0; i < name.size(); ++i) {
        if (i == dot) {
            part = 1;
            continue;
        }
        if (name[i] < L'0' || name[i] > L'9' || parts[part] > 100000) return std::nullopt;
        parts[part] = parts[part] * 10 + static_cast<unsigned>(name[i] - L'0');
    }
    return std::make_pair(parts[0], parts[1]);
}

std::vector<std::wstring> subkeys(HKEY root, const std::wstring& path) {
    std::vector<std::wstring> names;
    com::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD size = 256;
        const LSTATUS status =
            RegEnumKeyExW(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_SUCCESS) names.emplace_back(name, size);
    }
    return names;
}

// The key, opened for reading; empty when it cannot be.
com::unique_hkey open_key(HKEY root, const std::wstring& path) {
    com::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

enum class Lookup { Missing, Text, Other };

// A value of the key: its text when it is REG_SZ or REG_EXPAND_SZ (unexpanded).
Lookup read_text(HKEY key, const std::wstring& name, std::wstring& text) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return Lookup::Missing;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return Lookup::Other;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &got) != ERROR_SUCCESS)
        return Lookup::Other;
    text.assign(buffer.data(), got / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return Lookup::Text;
}

bool read_dword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& out) {
    DWORD size = sizeof out;
    return RegGetValueW(root, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &out, &size) ==
           ERROR_SUCCESS;
}

// The DLL that serves a class in process, as registered.
std::wstring inproc_server(const CLSID& clsid) {
    wchar_t guid[40] = {};
    StringFromGUID2(clsid, guid, 40);
    const std::wstring path = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    const com::unique_hkey key = open_key(HKEY_CLASSES_ROOT, path);
    std::wstring text;
    if (key) read_text(key.get(), L"", text);
    return text;
}

// Calls a member of IDTExtensibility2 with an empty custom array, as Excel passes one; what the
// add-in leaves in it is freed.
template <class Member>
HRESULT with_custom(Member member) {
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr = member(&custom);
    const com::unique_safearray left(custom);
    return hr;
}

}  // namespace

std::optional<std::u16string> automation_progid(std::u16string_view open_value) {
    std::u16string_view rest = trim(open_value);
    if (rest.size() < 2 || rest[0] != u'/' || (rest[1] != u'A' && rest[1] != u'a'))
        return std::nullopt;
    rest.remove_prefix(2);
    if (!rest.empty() && !blank(rest.front())) return std::nullopt;  // another switch: /AB …
    rest = trim(rest);
    if (rest.size() >= 2 && rest.front() == u'"' && rest.back() == u'"')
        rest = trim(rest.substr(1, rest.size() - 2));
    if (rest.empty() || rest.find(u'"') != std::u16string_view::npos) return std::nullopt;
    return std::u16string(rest);
}

AddinListing read_listing() {
    AddinListing listing;
    std::optional<std::pair<unsigned, unsigned>> newest;
    for (const std::wstring& name : subkeys(HKEY_CURRENT_USER, kOffice)) {
        const auto number = version_number(name);
        if (!number || (newest && *number <= *newest)) continue;
        if (!open_key(HKEY_CURRENT_USER,
                      std::wstring(kOffice) + L"\\" + name + L"\\Excel\\Options"))
            continue;
        newest = number;
        listing.version = name;
    }
    if (!listing.version.empty()) {
        const std::wstring options =
            std::wstring(kOffice) + L"\\" + listing.version + L"\\Excel\\Options";
        if (const com::unique_hkey key = open_key(HKEY_CURRENT_USER, options)) {
            for (unsigned n = 0;; ++n) {
                const std::wstring name = n == 0 ? L"OPEN" : L"OPEN" + std::to_wstring(n);
                std::wstring text;
                const Lookup found = read_text(key.get(), name, text);
                if (found == Lookup::Missing) break;
                if (found != Lookup::Text) continue;
                const auto progid = automation_progid(narrow16(text));
                if (!progid) continue;
                const std::u16string upper = to_upper(*progid);
                const bool listed = std::any_of(
                    listing.automation.begin(), listing.automation.end(),
                    [&](const std::wstring& p) { return to_upper(narrow16(p)) == upper; });
                if (!listed) listing.automation.push_back(wide(*progid));
            }
        }
    }
    for (const std::wstring& progid : subkeys(HKEY_CURRENT_USER, kComAddins)) {
        DWORD behavior = 0;
        if (read_dword(HKEY_CURRENT_USER, std::wstring(kComAddins) + L"\\" + progid,
                       L"LoadBehavior", behavior) &&
            behavior == 3)
            listing.com.push_back(progid);
    }
    return listing;
}

void trace(const std::string& line) {
    static const std::wstring path = [] {
        wchar_t buffer[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"XLSTANDIN_TRACE", buffer, MAX_PATH);
        return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
    }();
    if (path.empty()) return;
    if (FILE* out = _wfopen(path.c_str(), L"ab")) {
        std::fputs((line + "\n").c_str(), out);
        std::fclose(out);
    }
}

AddinHost::AddinHost(IDispatch* application, std::ostream& warnings)
    : application_(com_ptr<IDispatch>::share(application)), warnings_(warnings) {}

AddinHost::~AddinHost() {
    shutdown();
}

HRESULT AddinHost::create(const std::wstring& progid, REFIID iid, void** object) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progid.c_str(), &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, iid,
                              object);
    if (FAILED(hr)) return hr;
    server_paths_.push_back(inproc_server(clsid));
    server_progids_.push_back(progid);
    return hr;
}

void AddinHost::connect_com_addins(std::span<const std::wstring> progids) {
    for (const std::wstring& progid : progids) {
        const std::string name = utf8(narrow16(progid));
        com_ptr<IDTExtensibility2> addin;
        HRESULT hr = create(progid, IID_IDTExtensibility2, addin.put_void());
        if (FAILED(hr)) {
            warnings_ << "xlstandin: the COM add-in " << name << " could not be loaded (" << hex(hr)
                      << ")\n";
            trace("com " + name + " not loaded " + hex(hr));
            continue;
        }
        hr = with_custom([&](SAFEARRAY** custom) {
            return addin->OnConnection(application_.get(), ext_cm_Startup, nullptr, custom);
        });
        trace("com " + name + " OnConnection " + hex(hr));
        if (FAILED(hr)) {
            warnings_ << "xlstandin: the COM add-in " << name << " failed to connect (" << hex(hr)
                      << ")\n";
            continue;
        }
        com_.push_back({progid, std::move(addin)});
    }
}

void AddinHost::create_automation_addins(std::span<const std::wstring> progids) {
    for (const std::wstring& progid : progids) {
        const std::string name = utf8(narrow16(progid));
        com_ptr<IDispatch> object;
        const HRESULT hr = create(progid, IID_IDispatch, object.put_void());
        trace("automation " + name + " " + hex(hr));
        if (FAILED(hr)) {
            warnings_ << "xlstandin: the Automation add-in " << name << " could not be loaded ("
                      << hex(hr) << ")\n";
            continue;
        }
        automation_.push_back({progid, std::move(object)});
    }
}

void AddinHost::startup_complete() {
    for (ComAddin& addin : com_) {
        const HRESULT hr = with_custom(
            [&](SAFEARRAY** custom) { return addin.object->OnStartupComplete(custom); });
        trace("com " + utf8(narrow16(addin.progid)) + " OnStartupComplete " + hex(hr));
    }
}

bool AddinHost::resolve(std::u16string_view name, std::span<const Value> args, Value& result) {
    for (AutomationAddin& addin : automation_) {
        std::wstring member = wide(name);
        LPOLESTR names = member.data();
        DISPID dispid = DISPID_UNKNOWN;
        if (FAILED(addin.object->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, &dispid)))
            continue;
        // As Excel calls an add-in's function: arguments right to left, references as Range
        // objects, omitted ones as DISP_E_PARAMNOTFOUND, array constants as 2-D arrays.
        try {
            win::CallArgs argv(args.size());
            for (std::size_t i = 0; i < args.size(); ++i)
                com::to_variant(args[i], argv[i]);
            com::unique_variant answer;
            const HRESULT hr =
                win::call(addin.object.get(), dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET, argv,
                          answer.get(), LOCALE_USER_DEFAULT);
            if (FAILED(hr)) {
                result = Value::xl_error(xlerr::value);  // a failing call shows #VALUE!
                return true;
            }
            // A Range of the stand-in comes back as the stand-in's own object, so the evaluator
            // treats it as the native path does: it stands for its cells.
            result = com::to_value(*answer);
        } catch (const Failure&) {
            result = Value::xl_error(xlerr::value);
        }
        return true;
    }
    return false;
}

void AddinHost::shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    for (ComAddin& addin : com_) {
        const HRESULT hr =
            with_custom([&](SAFEARRAY** custom) { return addin.object->OnBeginShutdown(custom); });
        trace("com " + utf8(narrow16(addin.progid)) + " OnBeginShutdown " + hex(hr));
    }
    for (ComAddin& addin : com_) {
        const HRESULT hr = with_custom([&](SAFEARRAY** custom) {
            return addin.object->OnDisconnection(ext_dm_HostShutdown, custom);
        });
        trace("com " + utf8(narrow16(addin.progid)) + " OnDisconnection " + hex(hr));
    }
    com_.clear();
    automation_.clear();
    application_.reset();
}

std::vector<std::wstring> AddinHost::servers_still_in_use() const {
    std::vector<std::wstring> busy;
    for (std::size_t i = 0; i < server_paths_.size(); ++i) {
        HMODULE module = GetModuleHandleW(server_paths_[i].c_str());
        if (!module) continue;
        using CanUnload = HRESULT(STDAPICALLTYPE*)();
        const auto can_unload = reinterpret_cast<CanUnload>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        if (can_unload && can_unload() != S_OK) busy.push_back(server_progids_[i]);
    }
    return busy;
}

}  // namespace tb::winexcel
