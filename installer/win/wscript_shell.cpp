#include "installer/win/wscript_shell.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "installer/win/com_util.h"
#include "win/dispatch.h"

namespace kzWin {

namespace {

using kzInstall::RegValue;
using kzInstall::ShellFailure;

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), bytes, nullptr, nullptr);
    }
    return result;
}

[[noreturn]] void Fail(const std::string& what, HRESULT hr) {
    throw ShellFailure(what, static_cast<std::int32_t>(hr));
}

RegValue FromVariant(const VARIANT& source);

RegValue FromSafeArray(SAFEARRAY* array, VARTYPE elementType) {
    std::vector<RegValue> items;
    LONG lower = 0;
    LONG upper = -1;
    if (SafeArrayGetDim(array) == 1 && SUCCEEDED(SafeArrayGetLBound(array, 1, &lower)) &&
        SUCCEEDED(SafeArrayGetUBound(array, 1, &upper))) {
        for (LONG i = lower; i <= upper; ++i) {
            UniqueVariant element;
            HRESULT hr = E_FAIL;
            if (elementType == VT_VARIANT) {
                hr = SafeArrayGetElement(array, &i, element.get());
            } else if (elementType != VT_RECORD && elementType != VT_DECIMAL) {
                // A scalar element lands in the value union, which every member starts.
                hr = SafeArrayGetElement(array, &i, &element.get()->llVal);
                if (SUCCEEDED(hr)) element.get()->vt = elementType;
            }
            items.push_back(SUCCEEDED(hr) ? FromVariant(*element.get()) : RegValue());
        }
    }
    return RegValue::Array(std::move(items));
}

// What the shell returned, in the installer's terms: integers as numbers, texts as texts, arrays
// as arrays; any other scalar as the text Automation gives it.
RegValue FromVariant(const VARIANT& source) {
    UniqueVariant value;
    if (FAILED(VariantCopyInd(value.get(), const_cast<VARIANT*>(&source))))
        Fail("unreadable result", E_FAIL);
    VARIANT& v = *value.get();
    if ((v.vt & VT_ARRAY) != 0) {
        return FromSafeArray(v.parray, static_cast<VARTYPE>(v.vt & VT_TYPEMASK));
    }
    switch (v.vt) {
        case VT_EMPTY:
            return {};
        case VT_NULL:
            // Null has no text and never equals an entry; an empty text behaves the same way.
            return RegValue::String({});
        case VT_BSTR:
            return RegValue::String(ToU16({v.bstrVal, SysStringLen(v.bstrVal)}));
        case VT_I1:
            return RegValue::Number(v.cVal);
        case VT_UI1:
            return RegValue::Number(v.bVal);
        case VT_I2:
            return RegValue::Number(v.iVal);
        case VT_UI2:
            return RegValue::Number(v.uiVal);
        case VT_I4:
            return RegValue::Number(v.lVal);
        case VT_UI4:
            return RegValue::Number(v.ulVal);
        case VT_INT:
            return RegValue::Number(v.intVal);
        case VT_UINT:
            return RegValue::Number(v.uintVal);
        case VT_I8:
            return RegValue::Number(v.llVal);
        default:
            break;
    }
    UniqueVariant text;
    const HRESULT hr = VariantChangeTypeEx(text.get(), &v, LOCALE_INVARIANT, 0, VT_BSTR);
    if (FAILED(hr)) Fail("a result without a text form", hr);
    return RegValue::String(ToU16({text.get()->bstrVal, SysStringLen(text.get()->bstrVal)}));
}

void ToVariant(const RegValue& value, VARIANT& target) {
    switch (value.kind()) {
        case RegValue::Kind::Empty:
            target.vt = VT_EMPTY;
            return;
        case RegValue::Kind::String:
            target.bstrVal = tb::win::bstr_copy(value.text()).release();
            if (!target.bstrVal) Fail("out of memory", E_OUTOFMEMORY);
            target.vt = VT_BSTR;
            return;
        case RegValue::Kind::Number:
            if (value.number() >= INT32_MIN && value.number() <= INT32_MAX) {
                target.vt = VT_I4;
                target.lVal = static_cast<LONG>(value.number());
            } else {
                target.vt = VT_R8;
                target.dblVal = static_cast<double>(value.number());
            }
            return;
        case RegValue::Kind::Array:
            break;
    }
    Fail("an array cannot be passed to the shell", DISP_E_TYPEMISMATCH);
}

// Whether the key of a key path ("HKEY_CURRENT_USER\<key>\", ending in "\") exists, asked of the
// registry read-only; nothing is created. A key that is there but closed to this user counts as
// there: reading its values then fails, which the installer reports.
bool UserKeyExists(const std::u16string& path) {
    static constexpr std::u16string_view kRoots[] = {u"HKEY_CURRENT_USER\\", u"HKCU\\"};
    for (const std::u16string_view root : kRoots) {
        if (path.size() <= root.size() || kzInstall::UpperCase(path.substr(0, root.size())) != root)
            continue;
        const std::wstring key =
            ToWide(std::u16string_view(path).substr(root.size(), path.size() - root.size() - 1));
        HKEY handle = nullptr;
        const LSTATUS status =
            RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &handle);
        if (status == ERROR_SUCCESS) RegCloseKey(handle);
        return status == ERROR_SUCCESS || status == ERROR_ACCESS_DENIED;
    }
    return false;
}

class WScriptShell final : public kzInstall::Shell {
  public:
    explicit WScriptShell(ComPtr<IDispatch> dispatch) : dispatch_(std::move(dispatch)) {}

    // A key path answers the key's default value, or an empty text when the key exists without
    // one (a shell may fail that read as if the key were absent): it fails only for a key that
    // is not there.
    RegValue RegRead(const std::u16string& path) override {
        std::array<UniqueVariant, 1> args;
        ToVariant(RegValue::String(path), *args[0].get());
        UniqueVariant result;
        try {
            Call(L"RegRead", args, result.get());
        } catch (const ShellFailure&) {
            if (path.empty() || path.back() != u'\\' || !UserKeyExists(path)) throw;
            return RegValue::String({});
        }
        return FromVariant(*result.get());
    }

    void RegWrite(const std::u16string& path, const RegValue& value,
                  const std::optional<std::u16string>& type) override {
        std::array<UniqueVariant, 3> args;
        ToVariant(RegValue::String(path), *args[0].get());
        ToVariant(value, *args[1].get());
        if (type) {
            ToVariant(RegValue::String(*type), *args[2].get());
            Call(L"RegWrite", args, nullptr);
        } else {
            Call(L"RegWrite", std::span(args).first(2), nullptr);
        }
    }

    void RegDelete(const std::u16string& path) override {
        std::array<UniqueVariant, 1> args;
        ToVariant(RegValue::String(path), *args[0].get());
        Call(L"RegDelete", args, nullptr);
    }

  private:
    // Calls a method by name with the arguments in their written order.
    void Call(const wchar_t* member, std::span<UniqueVariant> args, VARIANT* result) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(member);
        HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) Fail("the shell has no member " + Utf8(member), hr);

        tb::win::CallArgs argv(args.size());
        for (std::size_t i = 0; i < args.size(); ++i)
            std::swap(*argv[i], *args[i].get());  // the call's list takes each value over
        tb::win::CallException exception;
        hr = tb::win::call(dispatch_.get(), id, DISPATCH_METHOD, argv, result, LOCALE_USER_DEFAULT,
                           &exception);
        if (FAILED(hr)) {
            std::string what = Utf8(member) + " failed";
            if (!exception.description.empty()) what += ": " + Utf8(exception.description);
            Fail(what, hr);
        }
    }

    ComPtr<IDispatch> dispatch_;
};

std::unique_ptr<kzInstall::Shell> CreateWScriptShell() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(L"WScript.Shell", &clsid);
    if (FAILED(hr)) Fail("WScript.Shell is not registered", hr);
    ComPtr<IDispatch> dispatch;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, dispatch.put_void());
    if (FAILED(hr) || !dispatch.get()) Fail("WScript.Shell could not be created", hr);
    return std::make_unique<WScriptShell>(std::move(dispatch));
}

}  // namespace

kzInstall::ShellFactory WScriptShellFactory() {
    return CreateWScriptShell;
}

}  // namespace kzWin
