#include "xml/XMLDocument.h"

#include <cstdio>

#include "xml/XMLScanner.h"
#include "xml/XMLText.h"

namespace Tessel {
namespace {

constexpr std::size_t kOutputRoom = 100000;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Paths are used as given; a zero character cannot name a file.
File OpenFile(const std::wstring& path, const char* mode) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return nullptr;
#ifdef _WIN32
    // The wide call: the narrow one would read the path in the ANSI code page.
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return File(::_wfopen(path.c_str(), wideMode.c_str()));
#else
    const std::string narrow = text::WideToUtf8(path);
    return File(std::fopen(narrow.c_str(), mode));
#endif
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    if (bytes.size() < prefix.size())
        return false;
    for (std::size_t k = 0; k < prefix.size(); ++k) {
        if (bytes[k] != static_cast<std::uint8_t>(prefix[k]))
            return false;
    }
    return true;
}

}  // namespace

XMLHeader::XMLHeader()
    : version_("version", "1.0"),
      encoding_("encoding", "UTF-8"),
      standalone_("standalone", "yes") {}

XMLVariable* XMLHeader::Find(std::string_view name) {
    for (XMLVariable* field : {&version_, &encoding_, &standalone_}) {
        if (field->GetName() == name)
            return field;
    }
    return nullptr;
}

void XMLHeader::Clear() {
    *this = XMLHeader();
}

XMLDocument::XMLDocument() = default;

XMLDocument::XMLDocument(const std::wstring& path) {
    Clear();
    const File file = OpenFile(path, "rb");
    if (!file)
        return;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk)
            break;  // end of file, or a read error: keep what was read
    }
    Load(bytes);
}

int XMLDocument::Load(std::span<const std::uint8_t> bytes) {
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        text = text::Utf16LeToUtf8(bytes);
        // The converted mark would be read as text before the declaration
        // and spoil its first field.
        if (text.starts_with(kByteOrderMark))
            text.erase(0, kByteOrderMark.size());
    } else if (StartsWith(bytes, kByteOrderMark)) {
        text.assign(bytes.begin() + kByteOrderMark.size(), bytes.end());
    } else {
        text.assign(bytes.begin(), bytes.end());
    }
    const std::string_view view(text);
    return Parse(view.substr(0, view.find('\0')));
}

int XMLDocument::Parse(std::string_view text) {
    Clear();
    XMLScanner scanner(*this);
    return scanner.Run(text);
}

std::string XMLDocument::Serialize() const {
    std::string out;
    out.reserve(kOutputRoom);
    out.append("<?xml version=\"");
    out.append(header_.GetVersion().GetValue());
    out.append("\" encoding=\"");
    out.append(header_.GetEncoding().GetValue());
    out.append("\" standalone=\"");
    out.append(header_.GetStandalone().GetValue());
    out.append("\" ?>\r\n");
    if (!doctype_.GetValue().empty()) {
        out.append(doctype_.Serialize());
        out.append("\r\n");
    }
    for (const auto& comment : prolog_) {
        out.append(comment->Serialize());
        out.append("\r\n");
    }
    root_.Serialize(out, 0);
    return out;
}

int XMLDocument::Save(const std::wstring& path) const {
    File file = OpenFile(path, "wb");
    if (!file)
        return kXMLWriteError;
    const std::string body = Serialize();
    bool complete = std::fwrite(kByteOrderMark.data(), 1, kByteOrderMark.size(), file.get()) ==
                        kByteOrderMark.size() &&
                    std::fwrite(body.data(), 1, body.size(), file.get()) == body.size();
    // Buffered bytes that cannot be flushed are lost too.
    if (std::fclose(file.release()) != 0)
        complete = false;
    return complete ? kXMLOk : kXMLWriteError;
}

void XMLDocument::Clear() {
    header_.Clear();
    doctype_.SetValue({});
    prolog_.clear();
    root_.Clear();
}

std::shared_ptr<XMLComment> XMLDocument::AddPrologComment(std::string_view text) {
    auto comment = std::make_shared<XMLComment>(text);
    prolog_.push_back(comment);
    return comment;
}

}  // namespace Tessel
