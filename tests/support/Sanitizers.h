#pragma once
// What the sanitizer builds change for tests: AddressSanitizer keeps freed
// memory in quarantine and adds shadow memory, so a bound on a process's
// memory is scaled for them (still far below what an announced size would
// take), and a test that starves its own process of descriptors is left to
// the plain build, since the sanitizer runtime needs descriptors of its own.
#include <cstdint>

namespace testing_support {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// A bound in KiB on what a process may take, for this build.
constexpr std::int64_t MemoryBoundKiB(std::int64_t plainKiB) {
    return kSanitizedBuild ? plainKiB * 8 : plainKiB;
}

}  // namespace testing_support
