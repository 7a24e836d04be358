// The resources of vtr232.exe: its application manifest asks for common
// controls version 6 (the version with the task dialog) and for no elevation.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ExecutableManifest, AsksForCommonControlsSixAndTheCallersRights) {
    const HMODULE image = ::LoadLibraryExW(
        L"" VTR232_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << "cannot open " << VTR232_PATH;
    // The manifest that the loader reads for a program has resource id 1.
    const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    std::string manifest;
    if (found) {
        const HGLOBAL loaded = ::LoadResource(image, found);
        const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
        if (bytes)
            manifest.assign(static_cast<const char*>(bytes), ::SizeofResource(image, found));
    }
    ::FreeLibrary(image);
    ASSERT_FALSE(manifest.empty()) << "vtr232.exe has no application manifest";
    const std::size_t controls = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos) << manifest;
    EXPECT_NE(manifest.find("version=\"6.0.0.0\"", controls), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\"", controls), std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
}

}  // namespace
#endif
