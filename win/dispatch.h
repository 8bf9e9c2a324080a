// Late-bound calls through IDispatch, from both sides: the arguments of an outgoing call in their
// written order, kept right to left as DISPPARAMS holds them, and the call itself with its
// EXCEPINFO read and freed; and an incoming call's arguments read back in their written order.
// This is the one place that knows the order of rgvarg and what an EXCEPINFO owns.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "win/owned.h"

namespace tb::win {

// The arguments of one call, owned; a few of them without an allocation.
class CallArgs {
  public:
    explicit CallArgs(std::size_t count) : count_(count), many_(count > few_.size() ? count : 0) {}
    CallArgs(const CallArgs&) = delete;
    CallArgs& operator=(const CallArgs&) = delete;

    std::size_t size() const { return count_; }
    // The argument at the given position of the written order, empty until the caller fills it.
    VARIANT* operator[](std::size_t position) { return slots()[count_ - 1 - position].get(); }
    // The parameters for Invoke: rgvarg holds the last argument first.
    DISPPARAMS params() {
        return {count_ ? slots()->get() : nullptr, nullptr, static_cast<UINT>(count_), 0};
    }

  private:
    unique_variant* slots() { return many_.empty() ? few_.data() : many_.data(); }
    std::size_t count_;
    std::array<unique_variant, 4> few_;
    std::vector<unique_variant> many_;
};

// What an exception raised by the called member said; filled only when the call raised one.
struct CallException {
    std::wstring source;
    std::wstring description;
};

// Calls the member with the arguments. A member that raises an exception (DISP_E_EXCEPTION)
// answers the exception's own code: its SCODE when that is a failure, else its error number as
// a FACILITY_CONTROL code, else DISP_E_EXCEPTION; the EXCEPINFO's strings are freed here, its
// texts kept in *exception when asked for. result, when given, must hold nothing to free.
inline HRESULT call(IDispatch* object, DISPID member, WORD flags, CallArgs& args, VARIANT* result,
                    LCID locale, CallException* exception = nullptr) {
    DISPPARAMS params = args.params();
    EXCEPINFO info{};
    UINT bad_argument = 0;
    HRESULT hr =
        object->Invoke(member, IID_NULL, locale, flags, &params, result, &info, &bad_argument);
    if (hr != DISP_E_EXCEPTION) return hr;
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    const unique_bstr source(info.bstrSource), description(info.bstrDescription),
        help_file(info.bstrHelpFile);
    if (exception) {
        exception->source.assign(source.get() ? source.get() : L"", SysStringLen(source.get()));
        exception->description.assign(description.get() ? description.get() : L"",
                                      SysStringLen(description.get()));
    }
    if (FAILED(info.scode)) return info.scode;
    if (info.wCode != 0) return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info.wCode);
    return hr;
}

// The arguments an implementation of Invoke received, in their written order.
class ReceivedArgs {
  public:
    // S_OK when the parameters can be read: given, without named arguments, a list for the count.
    static HRESULT check(const DISPPARAMS* params) {
        if (!params) return E_POINTER;
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (params->cArgs != 0 && !params->rgvarg) return E_POINTER;
        return S_OK;
    }
    // params: checked, or null for a call without arguments.
    explicit ReceivedArgs(const DISPPARAMS* params) : params_(params) {}

    std::size_t size() const { return params_ ? params_->cArgs : 0; }
    VARIANT& operator[](std::size_t position) const {
        return params_->rgvarg[params_->cArgs - 1 - position];
    }

  private:
    const DISPPARAMS* params_;
};

}  // namespace tb::win
