#include <new>

#include "codec/Rdc.h"
#include "codec/RdcComparator.h"
#include "codec/RdcGenerator.h"
#include "codec/RdcObject.h"

namespace rdc {
namespace {

constexpr std::uint32_t kRdcVersion = 0x00010000;  // signature format 1

class GeneratorParameters final : public RdcObject<IRdcGeneratorParameters> {
  public:
    HRESULT GetGeneratorParametersType(GeneratorParametersType* type) override {
        if (!type)
            return E_POINTER;
        *type = RDCGENTYPE_FilterMax;
        return S_OK;
    }
    HRESULT GetChunkParameters(ChunkParameters* parameters) override {
        if (!parameters)
            return E_POINTER;
        *parameters = parameters_;
        return S_OK;
    }
    HRESULT SetChunkParameters(const ChunkParameters& parameters) override {
        if (!parameters.Valid())
            return E_INVALIDARG;
        parameters_ = parameters;
        return S_OK;
    }

  private:
    ChunkParameters parameters_;
};

class Library final : public RdcObject<IRdcLibrary> {
  public:
    HRESULT CreateGeneratorParameters(GeneratorParametersType type, std::uint32_t level,
                                      IRdcGeneratorParameters** parameters) override {
        if (!parameters)
            return E_POINTER;
        *parameters = nullptr;
        if (type != RDCGENTYPE_FilterMax || level != 1)
            return E_INVALIDARG;
        return Create<GeneratorParameters>(parameters);
    }

    HRESULT CreateGenerator(std::uint32_t depth, IRdcGeneratorParameters* parameters[],
                            IRdcGenerator** generator) override {
        if (!generator)
            return E_POINTER;
        *generator = nullptr;
        if (depth != 1 || !parameters || !parameters[0])
            return E_INVALIDARG;
        ChunkParameters chunking;
        const HRESULT hr = parameters[0]->GetChunkParameters(&chunking);
        if (Failed(hr))
            return hr;
        if (!chunking.Valid())
            return E_INVALIDARG;
        try {
            *generator = MakeGenerator(chunking).Detach();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT CreateComparator(IRdcFileReader* seedSignatures, std::uint32_t,
                             IRdcComparator** comparator) override {
        return MakeComparator(seedSignatures, comparator);
    }

    HRESULT GetRDCVersion(std::uint32_t* currentVersion,
                          std::uint32_t* minimumCompatibleAppVersion) override {
        if (!currentVersion || !minimumCompatibleAppVersion)
            return E_POINTER;
        *currentVersion = kRdcVersion;
        *minimumCompatibleAppVersion = kRdcVersion;
        return S_OK;
    }

  private:
    template <typename T, typename Interface>
    static HRESULT Create(Interface** out) {
        try {
            *out = MakeRdc<T>().Detach();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
};

}  // namespace

HRESULT CreateRdcInstance(const Guid& clsid, const Guid& iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_RdcLibrary))
        return E_NOINTERFACE;
    try {
        auto library = MakeRdc<Library>();
        return library->QueryInterface(iid, object);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

RdcPtr<IRdcLibrary> CreateRdcLibrary() {
    void* object = nullptr;
    if (Failed(CreateRdcInstance(CLSID_RdcLibrary, IID_IRdcLibrary, &object)))
        return nullptr;
    return RdcPtr<IRdcLibrary>::Attach(static_cast<IRdcLibrary*>(object));
}

}  // namespace rdc
