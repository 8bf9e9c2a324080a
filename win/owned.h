// Owning wrappers for the Windows resources the add-in's server, its tools and its installer
// hold: a handle freed by one call (BSTR, SAFEARRAY, registry key), a counted COM interface
// pointer and a VARIANT, each given back on every path. Header-only, with no logic of the server,
// so the installer can use them without linking any of it.
#pragma once

#include <oleauto.h>
#include <windows.h>

#include <string_view>
#include <utility>

namespace tb::win {

// A handle owned alone: Free{}(handle) gives it back unless it is null.
template <class Handle, class Free>
class unique_handle {
  public:
    unique_handle() = default;
    // Takes over a handle the caller owns.
    explicit unique_handle(Handle h) : h_(h) {}
    unique_handle(unique_handle&& other) noexcept : h_(std::exchange(other.h_, Handle{})) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    void reset() noexcept {
        if (Handle h = std::exchange(h_, Handle{})) Free{}(h);
    }
    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != Handle{}; }
    // For out-parameters: gives back what is held and lends the slot.
    Handle* put() {
        reset();
        return &h_;
    }
    Handle release() { return std::exchange(h_, Handle{}); }

  private:
    Handle h_{};
};

struct FreeBstr {
    void operator()(BSTR b) const noexcept { SysFreeString(b); }
};
struct FreeSafeArray {
    void operator()(SAFEARRAY* a) const noexcept { SafeArrayDestroy(a); }
};
struct CloseKey {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using unique_bstr = unique_handle<BSTR, FreeBstr>;
using unique_safearray = unique_handle<SAFEARRAY*, FreeSafeArray>;
using unique_hkey = unique_handle<HKEY, CloseKey>;

// A BSTR copy of the text; empty when memory runs out.
inline unique_bstr bstr_copy(std::wstring_view text) {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}
inline unique_bstr bstr_copy(std::u16string_view text) {
    return bstr_copy(std::wstring_view(reinterpret_cast<const wchar_t*>(text.data()), text.size()));
}

// A counted interface pointer: copies add a count, the last owner releases it.
template <class T>
class com_ptr {
  public:
    com_ptr() = default;
    // Takes over a count the caller already holds.
    static com_ptr adopt(T* p) {
        com_ptr r;
        r.p_ = p;
        return r;
    }
    // Adds a count of its own.
    static com_ptr share(T* p) {
        if (p) p->AddRef();
        return adopt(p);
    }
    com_ptr(const com_ptr& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~com_ptr() { reset(); }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases what is held and lends the slot.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(p_, nullptr); }

    // The object as another interface; empty when it does not answer for it.
    template <class U>
    com_ptr<U> query(REFIID iid) const {
        com_ptr<U> r;
        if (p_ && FAILED(p_->QueryInterface(iid, r.put_void()))) r.reset();
        return r;
    }

  private:
    T* p_ = nullptr;
};

// A VARIANT owned alone, cleared on destruction. Exactly a VARIANT in size, so an array of them
// serves as an array of VARIANTs.
class unique_variant {
  public:
    // VT_EMPTY set in place, and a value that holds nothing to free not handed to VariantClear:
    // every host call makes several of these, and each runtime call costs.
    unique_variant() { v_.vt = VT_EMPTY; }
    unique_variant(unique_variant&& other) noexcept : v_(other.v_) { other.v_.vt = VT_EMPTY; }
    unique_variant& operator=(unique_variant&& other) noexcept {
        std::swap(v_, other.v_);
        return *this;
    }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() {
        if (!holds_nothing_to_free(v_.vt)) VariantClear(&v_);
    }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    const VARIANT& operator*() const { return v_; }
    VARIANT* reset() {
        VariantClear(&v_);
        return &v_;
    }
    // Hands the content to the caller's VARIANT (which must hold nothing that needs freeing).
    void release_to(VARIANT* out) {
        *out = v_;
        VariantInit(&v_);
    }

  private:
    static constexpr bool holds_nothing_to_free(VARTYPE vt) {
        constexpr unsigned plain = 1u << VT_EMPTY | 1u << VT_NULL | 1u << VT_I2 | 1u << VT_I4 |
                                   1u << VT_R4 | 1u << VT_R8 | 1u << VT_CY | 1u << VT_DATE |
                                   1u << VT_BOOL | 1u << VT_ERROR | 1u << VT_UI1;
        return vt < 32 && ((plain >> vt) & 1u) != 0;
    }
    VARIANT v_;
};
static_assert(sizeof(unique_variant) == sizeof(VARIANT));

}  // namespace tb::win
