// Small owning wrappers for COM resources (BSTR, VARIANT, SAFEARRAY, interface pointers) and the
// one way an exception becomes an HRESULT at a COM entry point.
#pragma once

#include <oaidl.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>

#include "core/host/failure.h"

namespace tb::com {

// Freed blocks of one size kept for reuse, at most Keep of them, so that objects made and
// dropped once a host call (the wrapper of a cell's range) need no heap call: under Wine's heap
// an allocation and its release cost more than the rest of such a call. Safe between threads.
// Constant-initialised and trivially destroyed, so it serves objects released during static
// destruction too; close() frees what it keeps when the module is unloaded.
template <std::size_t Size, std::size_t Keep = 32>
class BlockCache {
  public:
    void* take() {
        {
            Guard guard(busy_);
            if (count_ > 0) return blocks_[--count_];
        }
        return ::operator new(Size);
    }
    void give(void* block) noexcept {
        {
            Guard guard(busy_);
            if (!closed_ && count_ < Keep) {
                blocks_[count_++] = block;
                return;
            }
        }
        ::operator delete(block);
    }
    void close() noexcept {
        Guard guard(busy_);
        closed_ = true;
        while (count_ > 0)
            ::operator delete(blocks_[--count_]);
    }

  private:
    struct Guard {
        explicit Guard(std::atomic_flag& flag) : flag_(flag) {
            while (flag_.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Guard() { flag_.clear(std::memory_order_release); }
        std::atomic_flag& flag_;
    };
    std::atomic_flag busy_;
    void* blocks_[Keep] = {};
    std::size_t count_ = 0;
    bool closed_ = false;
};

// A base that makes T's objects come from a BlockCache of its own.
template <class T>
class Recycled {
  public:
    static void* operator new(std::size_t size) {
        return size == sizeof(T) ? cache().take() : ::operator new(size);
    }
    static void operator delete(void* block, std::size_t size) noexcept {
        if (size == sizeof(T)) {
            cache().give(block);
        } else {
            ::operator delete(block);
        }
    }
    static auto& cache() {
        static constinit BlockCache<sizeof(T)> blocks;
        return blocks;
    }
};

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

class unique_bstr {
  public:
    unique_bstr() = default;
    explicit unique_bstr(BSTR b) : b_(b) {}
    // A copy of the text; fails with E_OUTOFMEMORY.
    static unique_bstr copy(std::u16string_view text);
    unique_bstr(unique_bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept {
        std::swap(b_, other.b_);
        return *this;
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { SysFreeString(b_); }

    BSTR get() const { return b_; }
    BSTR release() { return std::exchange(b_, nullptr); }

  private:
    BSTR b_ = nullptr;
};

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
        switch (v_.vt) {
            case VT_EMPTY:
            case VT_NULL:
            case VT_I2:
            case VT_I4:
            case VT_R4:
            case VT_R8:
            case VT_CY:
            case VT_DATE:
            case VT_BOOL:
            case VT_ERROR:
            case VT_UI1:
                break;
            default:
                VariantClear(&v_);
        }
    }

    VARIANT* get() { return &v_; }
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
    VARIANT v_;
};

class unique_safearray {
  public:
    unique_safearray() = default;
    explicit unique_safearray(SAFEARRAY* a) : a_(a) {}
    unique_safearray(unique_safearray&& other) noexcept : a_(std::exchange(other.a_, nullptr)) {}
    unique_safearray& operator=(unique_safearray&& other) noexcept {
        std::swap(a_, other.a_);
        return *this;
    }
    unique_safearray(const unique_safearray&) = delete;
    unique_safearray& operator=(const unique_safearray&) = delete;
    ~unique_safearray() {
        if (a_) SafeArrayDestroy(a_);
    }

    SAFEARRAY* get() const { return a_; }
    SAFEARRAY* release() { return std::exchange(a_, nullptr); }

  private:
    SAFEARRAY* a_ = nullptr;
};

// IUnknown for an object that implements one interface: QueryInterface hands out that interface
// for the IIDs the object answers to (Derived::answers), and one reference count, starting at 1,
// deletes the object when it reaches 0. Derived classes name this base a friend so that their
// destructors can stay private (such objects live on the heap only).
template <class Derived, class Interface>
class SingleInterfaceObject : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!static_cast<const Derived*>(this)->answers(riid)) return E_NOINTERFACE;
        *ppv = static_cast<Interface*>(this);
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

  private:
    ULONG refs_ = 1;
};

// Raises a tb::Failure when hr is a failure code.
void check(HRESULT hr, const char* what);

// Runs the body of a COM entry point: the body's HRESULT, or the failure it raised as a status
// code: tb::Failure gives its HRESULT, std::bad_alloc E_OUTOFMEMORY, anything else E_UNEXPECTED.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const Failure& failure) {
        const auto hr = static_cast<HRESULT>(failure.hresult());
        return FAILED(hr) ? hr : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace tb::com
