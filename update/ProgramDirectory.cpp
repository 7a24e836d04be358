#include "update/ProgramDirectory.h"

#include <system_error>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace Zelt {

ProgramDirectory ClassifyProgramDirectory(const std::filesystem::path& directory) {
    std::error_code ec;
    // The marker wins even for root: a package's files change only with the package.
    if (std::filesystem::exists(directory / kPackageMarker, ec))
        return ProgramDirectory::Packaged;
    // Replacing the executable renames it aside and links the new file in,
    // both of which need write access to the directory.
    if (!platform::DirectoryWritable(directory))
        return ProgramDirectory::NotWritable;
    return ProgramDirectory::Own;
}

std::wstring UpdateOffReason(ProgramDirectory kind, const std::filesystem::path& directory) {
    const std::wstring where = platform::WidePath(directory);
    switch (kind) {
        case ProgramDirectory::Packaged:
            return L"update: off, installed by a package (" + where +
                   L"); the package manager updates this program";
        case ProgramDirectory::NotWritable:
            return L"update: off, the program directory " + where + L" is not writable";
        case ProgramDirectory::Own:
            break;
    }
    return {};
}

}  // namespace Zelt
