#pragma once
// Status values of the update library: HRESULT-style, negative = failure.
// Named with a k prefix so they cannot collide with other libraries' macros.
#include <cstdint>

namespace Zelt {

using HRESULT = std::int32_t;

inline constexpr HRESULT kOk = 0;
inline constexpr HRESULT kFalse = 1;
inline constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kAbort = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT kPointer = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);

inline constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

}  // namespace Zelt
