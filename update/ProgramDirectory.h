#pragma once
// Whether the program's directory is one the self-update may change: a
// copy the user unpacked is updated in place, a copy the package manager
// installed (or any directory this user cannot write) is left alone.
#include <filesystem>
#include <string>

namespace Zelt {

// The file the Debian package puts beside the program; its presence says
// that the package manager owns the directory.
inline constexpr char kPackageMarker[] = "installed-by-package";

enum class ProgramDirectory {
    Own,          // the update may run
    Packaged,     // holds kPackageMarker
    NotWritable,  // this user may not replace files in it
};

ProgramDirectory ClassifyProgramDirectory(const std::filesystem::path& directory);

// The debug-output line that says why the update does not run; empty for Own.
std::wstring UpdateOffReason(ProgramDirectory kind, const std::filesystem::path& directory);

}  // namespace Zelt
