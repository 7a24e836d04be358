// publish: writes the update service's hash list and signature archive for a
// release directory.
//   publish <release-dir> <out-dir>
// out-dir/hashes.zip holds one XML entry naming every file with its SHA-256;
// out-dir/sigs.zip holds one signature entry per file.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/Text.h"
#include "update/FileSignature.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"
#include "update/ZZip.h"
#include "xml/Tessel.h"

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: publish <release-dir> <out-dir>\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path release = argv[1];
    const fs::path out = argv[2];
    std::error_code ec;
    fs::create_directories(out, ec);

    Tessel::XMLDocument document;
    document.GetRoot().SetName("files");
    Zelt::ZZIP signatures;
    if (Zelt::Failed(signatures.create_file(platform::FromUtf8((out / "sigs.zip").string())))) {
        std::fprintf(stderr, "publish: cannot write %s\n", (out / "sigs.zip").c_str());
        return 1;
    }
    int failures = 0;
    int files = 0;
    try {
        Zelt::WalkFiles(release, [&](const fs::path& full, const std::wstring& relative) {
            std::string name = platform::ToUtf8(relative);
            std::replace(name.begin(), name.end(), '\\', '/');
            std::vector<std::uint8_t> content;
            if (Zelt::Failed(Zelt::ReadWholeFile(full, content))) {
                std::fprintf(stderr, "publish: cannot read %s\n", full.c_str());
                ++failures;
                return true;
            }
            auto entry = document.GetRoot().AddElement("f");
            entry->AddVariable("n", name);
            entry->AddVariable("h", Hex(Zelt::Sha256(content)));
            std::vector<std::uint8_t> signature;
            // An empty file has no signature; clients fetch it whole.
            if (Zelt::FileSignature(full, signature) == Zelt::kOk)
                signatures.add(name, signature);
            ++files;
            return true;
        });
    } catch (const std::exception& error) {
        std::fprintf(stderr, "publish: %s\n", error.what());
        return 1;
    }
    if (Zelt::Failed(signatures.close())) {
        std::fprintf(stderr, "publish: cannot finish sigs.zip\n");
        return 1;
    }
    const std::string xml = document.Serialize();
    Zelt::ZZIP hashes;
    if (Zelt::Failed(hashes.create_file(platform::FromUtf8((out / "hashes.zip").string()))) ||
        hashes.add("hashes.xml", std::span(reinterpret_cast<const std::uint8_t*>(xml.data()),
                                           xml.size())) != Zelt::kOk ||
        Zelt::Failed(hashes.close())) {
        std::fprintf(stderr, "publish: cannot write hashes.zip\n");
        return 1;
    }
    std::printf("published %d files\n", files);
    return failures == 0 ? 0 : 1;
}
