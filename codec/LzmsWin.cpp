#include <windows.h>

#include "codec/LzmsCoder.h"
#include "platform/DebugOutput.h"

namespace DIFFLIB {
namespace {

// The Compression API as cabinet.dll exports it (compressapi.h), looked up at
// run time: Wine's cabinet.dll has none of it.
using Handle = void*;
constexpr DWORD kLzms = 5;                // COMPRESS_ALGORITHM_LZMS
constexpr DWORD kRaw = 1u << 29;          // COMPRESS_RAW: one block, no header
constexpr int kBlockSizeInformation = 1;  // COMPRESS_INFORMATION_CLASS_BLOCK_SIZE
using CreateFn = BOOL(WINAPI*)(DWORD, void*, Handle*);
using CodeFn = BOOL(WINAPI*)(Handle, const void*, SIZE_T, void*, SIZE_T, SIZE_T*);
using SetFn = BOOL(WINAPI*)(Handle, int, const void*, SIZE_T);
using CloseFn = BOOL(WINAPI*)(Handle);

struct Api {
    CreateFn createCompressor = nullptr;
    SetFn setCompressorInformation = nullptr;
    CodeFn compress = nullptr;
    CloseFn closeCompressor = nullptr;
    CreateFn createDecompressor = nullptr;
    SetFn setDecompressorInformation = nullptr;
    CodeFn decompress = nullptr;
    CloseFn closeDecompressor = nullptr;
    bool loaded = false;
};

template <typename Fn>
bool Find(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return fn != nullptr;
}

// Loaded once and kept for the life of the process.
const Api& Compression() {
    static const Api api = [] {
        Api a;
        HMODULE module = ::LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        a.loaded = module != nullptr && Find(module, "CreateCompressor", a.createCompressor) &&
                   Find(module, "SetCompressorInformation", a.setCompressorInformation) &&
                   Find(module, "Compress", a.compress) &&
                   Find(module, "CloseCompressor", a.closeCompressor) &&
                   Find(module, "CreateDecompressor", a.createDecompressor) &&
                   Find(module, "SetDecompressorInformation", a.setDecompressorInformation) &&
                   Find(module, "Decompress", a.decompress) &&
                   Find(module, "CloseDecompressor", a.closeDecompressor);
        if (a.loaded) {
            // Present but without LZMS (some builds): the same as absent.
            Handle probe = nullptr;
            a.loaded = a.createCompressor(kLzms | kRaw, nullptr, &probe) != FALSE;
            if (probe)
                a.closeCompressor(probe);
        }
        if (!a.loaded)
            platform::DebugOutput(
                L"LZMS: the Compression API is not available; blocks are stored raw");
        return a;
    }();
    return api;
}

}  // namespace

bool LzmsCoderAvailable() {
    return Compression().loaded;
}

LzmsCoder::LzmsCoder(std::uint32_t maxBlockSize, unsigned) {
    const Api& api = Compression();
    Handle handle = nullptr;
    if (!api.loaded || !api.createCompressor(kLzms | kRaw, nullptr, &handle))
        return;
    const DWORD blockSize = maxBlockSize;
    if (!api.setCompressorInformation(handle, kBlockSizeInformation, &blockSize,
                                      sizeof blockSize)) {
        api.closeCompressor(handle);
        return;
    }
    handle_ = handle;
}

LzmsCoder::~LzmsCoder() {
    if (handle_)
        Compression().closeCompressor(handle_);
}

std::size_t LzmsCoder::Compress(std::span<const std::uint8_t> block, std::span<std::uint8_t> out) {
    SIZE_T size = 0;
    if (out.empty() ||
        !Compression().compress(handle_, block.data(), block.size(), out.data(), out.size(), &size))
        return 0;  // ERROR_INSUFFICIENT_BUFFER among others: stored raw
    return size;
}

LzmsDecoder::LzmsDecoder(std::uint32_t maxBlockSize) {
    const Api& api = Compression();
    Handle handle = nullptr;
    if (!api.loaded || !api.createDecompressor(kLzms | kRaw, nullptr, &handle))
        return;
    const DWORD blockSize = maxBlockSize;
    if (!api.setDecompressorInformation(handle, kBlockSizeInformation, &blockSize,
                                        sizeof blockSize)) {
        Compression().closeDecompressor(handle);
        return;
    }
    handle_ = handle;
}

LzmsDecoder::~LzmsDecoder() {
    if (handle_)
        Compression().closeDecompressor(handle_);
}

bool LzmsDecoder::Decompress(std::span<const std::uint8_t> stored, std::span<std::uint8_t> out) {
    SIZE_T size = 0;
    return Compression().decompress(handle_, stored.data(), stored.size(), out.data(), out.size(),
                                    &size) &&
           size == out.size();
}

}  // namespace DIFFLIB
