#pragma once
// Reference counting and QueryInterface shared by the engine's own objects.
#include <atomic>

#include "codec/Rdc.h"

namespace rdc {

template <typename Interface>
struct InterfaceId;
template <>
struct InterfaceId<IRdcFileReader> {
    static constexpr const Guid& value = IID_IRdcFileReader;
};
template <>
struct InterfaceId<IRdcGeneratorParameters> {
    static constexpr const Guid& value = IID_IRdcGeneratorParameters;
};
template <>
struct InterfaceId<IRdcGenerator> {
    static constexpr const Guid& value = IID_IRdcGenerator;
};
template <>
struct InterfaceId<IRdcComparator> {
    static constexpr const Guid& value = IID_IRdcComparator;
};
template <>
struct InterfaceId<IRdcLibrary> {
    static constexpr const Guid& value = IID_IRdcLibrary;
};

// Implements IUnknown for an object with one interface. Created with one
// reference (see MakeRdc); the last Release deletes it.
template <typename Interface>
class RdcObject : public Interface {
  public:
    HRESULT QueryInterface(const Guid& iid, void** object) override {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == InterfaceId<Interface>::value) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return ++references_; }
    std::uint32_t Release() override {
        const std::uint32_t left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

  private:
    std::atomic<std::uint32_t> references_{1};
};

}  // namespace rdc
