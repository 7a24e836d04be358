#pragma once
// The update library's status: HRESULT-style, 0 success, 1 "nothing there",
// negative failure. A type of its own, so that another library's result
// cannot pass for one unnoticed: the HTTP client's statuses are mapped in
// rest/, the engine's where a signature or a needs list is made. Named with a
// k prefix so they cannot collide with other libraries' macros.
#include <cstdint>

namespace Zelt {

enum class HRESULT : std::int32_t {};

inline constexpr HRESULT kOk{0};
inline constexpr HRESULT kFalse{1};
inline constexpr HRESULT kUnexpected{static_cast<std::int32_t>(0x8000FFFFu)};
inline constexpr HRESULT kFail{static_cast<std::int32_t>(0x80004005u)};
inline constexpr HRESULT kAbort{static_cast<std::int32_t>(0x80004004u)};
inline constexpr HRESULT kPointer{static_cast<std::int32_t>(0x80004003u)};
inline constexpr HRESULT kNoInterface{static_cast<std::int32_t>(0x80004002u)};
inline constexpr HRESULT kInvalidArg{static_cast<std::int32_t>(0x80070057u)};
inline constexpr HRESULT kAccessDenied{static_cast<std::int32_t>(0x80070005u)};

inline constexpr std::int32_t Code(HRESULT hr) {
    return static_cast<std::int32_t>(hr);
}
inline constexpr bool Failed(HRESULT hr) {
    return Code(hr) < 0;
}

}  // namespace Zelt
