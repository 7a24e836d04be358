// Writes the seed corpus of every fuzz target, made by the program's own
// writers: make_seeds <dir> fills <dir>/<target>/ with one file a seed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Samples.h"
#include "app/ConfigFile.h"
#include "app/Settings.h"
#include "auth/PeerAuth.h"
#include "codec/DiffLib.h"
#include "codec/FileHash.h"
#include "codec/Lzms.h"
#include "codec/LzmsBlock.h"
#include "deploy/DeployChannel.h"
#include "net/RelayHeader.h"
#include "platform/Text.h"
#include "quic/Bridge.h"
#include "update/PatchRequest.h"
#include "update/ZZip.h"
#include "xml/XMLDocument.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

bool failed = false;

void Check(bool ok, std::string_view what) {
    if (!ok) {
        std::fprintf(stderr, "make_seeds: %.*s failed\n", static_cast<int>(what.size()),
                     what.data());
        failed = true;
    }
}

class Corpus {
  public:
    Corpus(const fs::path& root, std::string_view target) : dir_(root / target) {
        fs::create_directories(dir_);
    }

    void Add(std::string_view name, std::span<const std::uint8_t> bytes) {
        std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        Check(out.good(), name);
    }
    void Add(std::string_view name, std::string_view text) {
        Add(name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    void AddFile(std::string_view name, const fs::path& from) {
        std::error_code ec;
        fs::copy_file(from, dir_ / name, fs::copy_options::overwrite_existing, ec);
        Check(!ec, name);
    }

  private:
    fs::path dir_;
};

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// A file with some repetition, so that compression has something to find.
Bytes Prose() {
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog\n";
    return Text(text);
}

void ConfigurationSeeds(const fs::path& root, Corpus& corpus) {
    app::Settings server;
    server.server = true;
    server.files = {L"C:\\build\\app.exe,D:\\target\\app.exe", L"a.dll,b\\c.dll"};
    server.remoteSyncText = "10.0.0.5:7001";
    server.clientText = "10.0.0.5:7003";
    server.localText = "127.0.0.1:4026";
    app::Settings client;
    client.quic = true;
    client.admin = true;
    client.files = {L"\u00e9t\u00e9.txt,\u65e5\u672c.txt"};
    const fs::path scratch = root / "scratch";
    fs::create_directories(scratch);
    int n = 0;
    for (const app::Settings* settings : {&server, &client}) {
        const fs::path file = scratch / ("config" + std::to_string(n) + ".xml");
        Check(app::SaveConfiguration(platform::FromUtf8(file.native()), *settings),
              "saving a configuration");
        corpus.AddFile("config" + std::to_string(n++) + ".xml", file);
    }
    fs::remove_all(scratch);

    // The same kind of document as UTF-16LE, with a prolog and sections.
    Tessel::XMLDocument document;
    document.AddPrologComment(" written by make_seeds ");
    auto& rootElement = document.GetRoot();
    rootElement.SetName("e");
    rootElement["mode"] = "0";
    auto files = rootElement.GetChild("files", true);
    (*files->AddElement("f"))["l"] = "a & <b> \"c\"";
    files->AddCData("raw <data> ]]", 0);
    files->AddContent("text & more", 1);
    files->AddComment(" note ", 0);
    const std::string utf8 = document.Serialize();
    corpus.Add("prolog.xml", utf8);
    const std::wstring wide = platform::FromUtf8(utf8);
    Bytes utf16{0xFF, 0xFE};
    for (const wchar_t c : wide) {
        if (c > 0xFFFF) {
            const std::uint32_t v = static_cast<std::uint32_t>(c) - 0x10000;
            for (const std::uint32_t unit : {0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)}) {
                utf16.push_back(static_cast<std::uint8_t>(unit));
                utf16.push_back(static_cast<std::uint8_t>(unit >> 8));
            }
        } else {
            utf16.push_back(static_cast<std::uint8_t>(c));
            utf16.push_back(static_cast<std::uint8_t>(c >> 8));
        }
    }
    corpus.Add("utf16.xml", utf16);
}

std::string HashList() {
    Tessel::XMLDocument document;
    auto& root = document.GetRoot();
    root.SetName("hashes");
    const char* names[] = {"vtr232", "lib/helper.so", "docs/readme.txt"};
    for (const char* name : names) {
        auto file = root.AddElement("f");
        (*file)["n"] = name;
        (*file)["h"] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    }
    return document.Serialize();
}

Bytes Compress(std::span<const std::uint8_t> data, std::uint32_t blockSize) {
    Bytes frame;
    Check(DIFFLIB::LzmsCompress(data, frame, blockSize) == DIFFLIB::Result::Ok, "compressing");
    return frame;
}

Bytes Compare(std::span<const std::uint8_t> oldFile, std::span<const std::uint8_t> newFile,
              bool withBytes) {
    const Bytes seed = fuzzsamples::SignatureOf(oldFile);
    const Bytes source = fuzzsamples::SignatureOf(newFile);
    DIFFLIB::DiffLibrary library;
    DIFFLIB::MemoryReader seedReader(seed);
    DIFFLIB::MemoryReader sourceReader(source);
    DIFFLIB::MemoryReader fileReader(newFile);
    DIFFLIB::MemoryDiffWriter writer;
    Check(library.CompareSignatures(seedReader, sourceReader, withBytes ? &fileReader : nullptr,
                                    writer) == DIFFLIB::Result::Ok,
          "comparing signatures");
    return writer.Take();
}

void CodecSeeds(const fs::path& root) {
    const Bytes oldFile = fuzzsamples::OldFile();
    const Bytes newFile = fuzzsamples::NewFile();
    const Bytes prose = Prose();

    Corpus lzms(root, "lzms");
    lzms.Add("prose", Compress(prose, DIFFLIB::kLzmsBlockSize));
    lzms.Add("prose-blocks", Compress(prose, 4096));
    lzms.Add("random", Compress(std::span(oldFile).first(5000), DIFFLIB::kLzmsBlockSize));
    lzms.Add("one-byte", Compress(std::span(prose).first(1), DIFFLIB::kLzmsBlockSize));

    // A stored block behind its plain size: LZMS, raw, and a patch.
    Corpus lzmsBlock(root, "lzms_block");
    auto block = [](std::span<const std::uint8_t> plain, bool lzms) {
        std::vector<std::uint8_t> stored;
        DIFFLIB::LzmsBlockCompressor compressor;
        if (!lzms || compressor.Compress(plain, stored) != DIFFLIB::Result::Ok)
            stored.assign(plain.begin(), plain.end());
        const auto size = static_cast<std::uint32_t>(plain.size());
        std::vector<std::uint8_t> bytes{
            static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
        bytes.insert(bytes.end(), stored.begin(), stored.end());
        return bytes;
    };
    const auto prosePiece = std::span(prose).first(std::min<std::size_t>(prose.size(), 12000));
    lzmsBlock.Add("prose-lzms", block(prosePiece, true));
    lzmsBlock.Add("prose-raw", block(std::span(prose).first(300), false));
    const Bytes patchBytes = Compare(oldFile, newFile, true);
    lzmsBlock.Add(
        "patch-lzms",
        block(std::span(patchBytes).first(std::min<std::size_t>(patchBytes.size(), 60000)), true));

    Corpus comparator(root, "comparator");
    comparator.Add("old", fuzzsamples::SignatureOf(oldFile));
    comparator.Add("new", fuzzsamples::SignatureOf(newFile));
    comparator.Add("prose", fuzzsamples::SignatureOf(prose));
    comparator.Add("head", fuzzsamples::SignatureOf(std::span(oldFile).first(9000)));

    Corpus patch(root, "patch");
    patch.Add("patch", Compare(oldFile, newFile, true));
    patch.Add("needs", Compare(oldFile, newFile, false));
    patch.Add("same", Compare(oldFile, oldFile, true));
    patch.Add("from-empty", Compare({}, std::span(newFile).first(3000), true));
}

void UpdateSeeds(const fs::path& root) {
    Corpus zip(root, "zip");
    const std::string hashes = HashList();
    {
        Zelt::ZZIP archive;
        Bytes bytes;
        Check(archive.create_memory() == Zelt::kOk, "creating an archive");
        Check(archive.add("hashes.xml", Text(hashes)) == Zelt::kOk, "adding an entry");
        Check(archive.finish_memory(bytes) == Zelt::kOk, "writing an archive");
        zip.Add("hash-list.zip", bytes);
    }
    {
        Zelt::ZZIP archive;
        Bytes bytes;
        Check(archive.create_memory() == Zelt::kOk, "creating an archive");
        Check(archive.add("vtr232", Bytes(32, 0xAB)) == Zelt::kOk, "adding an entry");
        Check(archive.add("lib\\helper.so", Prose()) == Zelt::kOk, "adding an entry");
        Check(archive.add("empty", Bytes{}) == Zelt::kOk, "adding an entry");
        Check(archive.finish_memory(bytes) == Zelt::kOk, "writing an archive");
        zip.Add("files.zip", bytes);
    }

    Corpus xml(root, "xml");
    xml.Add("hash-list.xml", hashes);
    ConfigurationSeeds(root, xml);

    Corpus body(root, "patch_body");
    std::string text;
    const Zelt::PatchLine lines[] = {{0, "vtr232", false, 4096, 28000},
                                     {1, "lib/helper.so", true, 0, 0},
                                     {2, "docs/\xc3\xa9t\xc3\xa9.txt", false, 0, 1}};
    for (const auto& line : lines) {
        const auto formatted = Zelt::FormatPatchLine(line);
        Check(formatted.has_value(), "formatting a patch line");
        if (!text.empty())
            text += "|";
        text += formatted.value_or("");
        body.Add("line" + std::to_string(line.index), formatted.value_or(""));
    }
    body.Add("body", text);
}

void WireSeeds(const fs::path& root) {
    Corpus preamble(root, "preamble");
    for (const int port : {1, 4026, 65535}) {
        const std::string text = quic::BuildPreamble(port);
        preamble.Add("port" + std::to_string(port), text);
        preamble.Add("port" + std::to_string(port) + "-data", text + "first relayed bytes");
    }

    Corpus endpoint(root, "endpoint");
    const char* texts[] = {"10.0.0.5:7001", "localhost",  "[::1]:4026",
                           "host: +65535",  "host:-0x10", "target.example:65536"};
    int n = 0;
    for (const char* text : texts)
        endpoint.Add("text" + std::to_string(n++), text);

    Corpus deployHeader(root, "deploy_header");
    const deploy::DeployHeader headers[] = {
        {deploy::DEPLOY_SIGNATURE, 312, 0, 0, 0},
        {deploy::DEPLOY_FULL, 5120, 48000, 133500000000000000ull, 0},
        {deploy::DEPLOY_PATCH, 9000, 52000, 133500000000000000ull, 1}};
    n = 0;
    for (const auto& header : headers) {
        std::array<std::uint8_t, deploy::kDeployHeaderSize> bytes;
        deploy::EncodeDeployHeader(header, bytes);
        deployHeader.Add("header" + std::to_string(n++), bytes);
    }

    // Messages as they follow each other on the channel: a header, then as
    // many payload bytes as it announces.
    Corpus deployMessage(root, "deploy_message");
    std::vector<std::uint8_t> stream;
    n = 0;
    for (const auto& header : headers) {
        deploy::DeployHeader small = header;
        small.size = 16 + 16 * static_cast<std::uint64_t>(n);
        std::array<std::uint8_t, deploy::kDeployHeaderSize> bytes;
        deploy::EncodeDeployHeader(small, bytes);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        stream.resize(stream.size() + small.size, static_cast<std::uint8_t>('a' + n));
        deployMessage.Add("stream" + std::to_string(n++), stream);
    }
    // A streamed upload: its start, a raw block, an LZMS block and its end.
    {
        std::vector<std::uint8_t> upload;
        auto add = [&](const deploy::DeployHeader& header, std::span<const std::uint8_t> payload) {
            std::array<std::uint8_t, deploy::kDeployHeaderSize> bytes;
            deploy::EncodeDeployHeader(header, bytes);
            upload.insert(upload.end(), bytes.begin(), bytes.end());
            upload.insert(upload.end(), payload.begin(), payload.end());
        };
        const std::string text(600, 'v');
        const std::vector<std::uint8_t> plain(text.begin(), text.end());
        DIFFLIB::LzmsBlockCompressor compressor;
        std::vector<std::uint8_t> packed;
        Check(compressor.Compress(plain, packed) == DIFFLIB::Result::Ok, "compressing a block");
        add({deploy::DEPLOY_STREAM_FULL, 0, 2 * plain.size(), 0, 0}, {});
        add({deploy::DEPLOY_BLOCK, plain.size(), plain.size(), 0, 0}, plain);
        add({deploy::DEPLOY_BLOCK, packed.size(), plain.size(), 0, 0}, packed);
        // The end states the hash of the file the two blocks make.
        DIFFLIB::FileHash hash;
        hash.Update(plain);
        hash.Update(plain);
        const DIFFLIB::FileDigest digest = hash.Digest();
        add({deploy::DEPLOY_END, digest.size(), 2 * plain.size(), 0, 1}, digest);
        deployMessage.Add("streamed-upload", upload);
    }

    Corpus relayHeader(root, "relay_header");
    const net::RelayHeader relays[] = {{net::RELAY_OPEN, 1, 0, 4026, 0},
                                       {net::RELAY_DATA, 1, 7, 0, 2000},
                                       {net::RELAY_CLOSE, 1, 7, 0, 0}};
    n = 0;
    for (const auto& header : relays)
        relayHeader.Add("header" + std::to_string(n++), net::EncodeRelayHeader(header));

    // A real hello and a real challenge (of another secret), each after a
    // piece-size prefix.
    Corpus authExchange(root, "auth_exchange");
    const auth::Secret secret("seed secret");
    const auto binding = auth::ChannelBinding(auth::kTcpRelayChannel);
    auth::Exchange client(auth::Exchange::Role::Client, secret, binding);
    auth::Exchange server(auth::Exchange::Role::Server, secret, binding);
    const auto hello = client.TakeOutgoing();
    server.Feed(hello);
    const auto challenge = server.TakeOutgoing();
    for (const auto& [name, message] : {std::pair{"hello", hello}, {"challenge", challenge}}) {
        std::vector<std::uint8_t> seed{3, 7, 40, 1};
        seed.insert(seed.end(), message.begin(), message.end());
        authExchange.Add(name, seed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <directory>\n");
        return 2;
    }
    const fs::path root = argv[1];
    try {
        CodecSeeds(root);
        UpdateSeeds(root);
        WireSeeds(root);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_seeds: %s\n", error.what());
        return 1;
    }
    return failed ? 1 : 0;
}
