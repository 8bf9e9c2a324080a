// The server's COM plumbing: the owning wrappers (shared with the installer), the base of its COM
// objects, freed blocks kept for reuse, and the one way an exception becomes an HRESULT at a COM
// entry point.
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
#include "win/owned.h"

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

using win::com_ptr;
using win::unique_bstr;
using win::unique_hkey;
using win::unique_safearray;
using win::unique_variant;

// IUnknown for a COM object with one interface or several: one reference count, starting at 1,
// deletes the object when it reaches 0; QueryInterface hands out what Derived::interface_for
// answers for an IID (null: not answered). By default that is the first interface, for the IIDs
// Derived::answers accepts. Derived classes name this base a friend so that their destructors can
// stay private (such objects live on the heap only).
template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = static_cast<Derived*>(this)->interface_for(riid);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

  protected:
    void* interface_for(REFIID riid) {
        return static_cast<const Derived*>(this)->answers(riid) ? static_cast<First*>(this)
                                                                : nullptr;
    }

  private:
    ULONG refs_ = 1;
};

// IDispatch's type-information half for an object that publishes none (it names its members
// through GetIDsOfNames alone).
template <class Derived, class First, class... Rest>
class UntypedDispatch : public ComObject<Derived, First, Rest...> {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        return DISP_E_BADINDEX;
    }
};

// Raises a tb::Failure when hr is a failure code.
void check(HRESULT hr, const char* what);
// A new BSTR holding the text, for the caller to free; fails with E_OUTOFMEMORY.
BSTR alloc_bstr(std::u16string_view text);

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
