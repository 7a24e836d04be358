#pragma once
// Component-object basics of the differential engine: HRESULT-style results,
// interface identifiers, the reference-counted IUnknown root and an intrusive
// smart pointer that owns one reference.
#include <cstdint>
#include <utility>

namespace rdc {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

inline constexpr bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
    friend constexpr bool operator==(const Guid& a, const Guid& b) {
        if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.data4[i] != b.data4[i])
                return false;
        return true;
    }
};

inline constexpr Guid IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Root of every engine object. A new object holds one reference (its
// creator's); Release frees it when the count reaches zero.
class IUnknown {
  public:
    // E_POINTER without `object`; E_NOINTERFACE (and *object = nullptr) for an
    // interface the object does not implement; otherwise one more reference.
    virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

  protected:
    virtual ~IUnknown() = default;
};

// Owns one reference to T. Attach adopts an existing reference (what a
// creation call hands out); copies add references.
template <typename T>
class RdcPtr {
  public:
    RdcPtr() = default;
    RdcPtr(std::nullptr_t) {}
    RdcPtr(const RdcPtr& other) : p_(other.p_) {
        if (p_)
            p_->AddRef();
    }
    RdcPtr(RdcPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <typename U>
    RdcPtr(RdcPtr<U>&& other) noexcept : p_(other.Detach()) {}
    ~RdcPtr() { reset(); }

    RdcPtr& operator=(RdcPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a reference the caller already owns.
    static RdcPtr Attach(T* p) {
        RdcPtr result;
        result.p_ = p;
        return result;
    }
    // Adds a reference of its own.
    static RdcPtr Share(T* p) {
        if (p)
            p->AddRef();
        return Attach(p);
    }
    // Gives the reference back to the caller.
    T* Detach() { return std::exchange(p_, nullptr); }

    void reset() {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    // For creation calls with an output parameter: drops the current object
    // and returns the slot the call fills.
    T** Put() {
        reset();
        return &p_;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// Creates a heap object whose lifetime follows its reference count.
template <typename T, typename... Args>
RdcPtr<T> MakeRdc(Args&&... args) {
    return RdcPtr<T>::Attach(new T(std::forward<Args>(args)...));
}

}  // namespace rdc
