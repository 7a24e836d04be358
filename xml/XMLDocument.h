#pragma once
// A whole XML document: declaration, doctype, comments outside the root, and
// the root element. Reads UTF-8 (with or without byte-order mark) and UTF-16LE
// files; writes UTF-8 with byte-order mark in one fixed layout.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xml/XMLContent.h"
#include "xml/XMLElement.h"

namespace Tessel {

// Results of XMLDocument::Parse and Save.
inline constexpr int kXMLOk = 0;
inline constexpr int kXMLMarkerError = -2;     // declaration or doctype out of order
inline constexpr int kXMLAttributeError = -3;  // "=" twice, stray closing quote
inline constexpr int kXMLSectionError = -4;    // unclosed comment/CDATA, CDATA outside elements
inline constexpr int kXMLWriteError = -3;      // Save: not created or not fully written

// The XML declaration.
class XMLHeader {
  public:
    XMLHeader();

    XMLVariable& GetVersion() { return version_; }
    XMLVariable& GetEncoding() { return encoding_; }
    XMLVariable& GetStandalone() { return standalone_; }
    const XMLVariable& GetVersion() const { return version_; }
    const XMLVariable& GetEncoding() const { return encoding_; }
    const XMLVariable& GetStandalone() const { return standalone_; }

    // The field of that exact name, or null for any other name.
    XMLVariable* Find(std::string_view name);

    // "1.0", "UTF-8", "yes".
    void Clear();

  private:
    XMLVariable version_;
    XMLVariable encoding_;
    XMLVariable standalone_;
};

class XMLDocument {
  public:
    XMLDocument();
    // Loads the file when it can be opened; otherwise the document stays
    // empty and nothing is reported. The path is used as given.
    explicit XMLDocument(const std::wstring& path);

    XMLDocument(const XMLDocument&) = delete;
    XMLDocument& operator=(const XMLDocument&) = delete;

    // File content as read: UTF-16LE when it starts with FF FE, UTF-8 after
    // EF BB BF, else taken as it is; parsed up to the first zero byte.
    // Returns the result of Parse.
    int Load(std::span<const std::uint8_t> bytes);

    // Clears the document and scans the text. The tree built before an error
    // stays in place.
    int Parse(std::string_view text);

    std::string Serialize() const;

    // Byte-order mark, then Serialize. kXMLOk or kXMLWriteError.
    int Save(const std::wstring& path) const;

    void Clear();

    XMLElement& GetRoot() { return root_; }
    const XMLElement& GetRoot() const { return root_; }
    XMLHeader& GetHeader() { return header_; }
    const XMLHeader& GetHeader() const { return header_; }
    XMLDocType& GetDocType() { return doctype_; }
    const XMLDocType& GetDocType() const { return doctype_; }
    const std::vector<std::shared_ptr<XMLComment>>& GetProlog() const { return prolog_; }
    std::shared_ptr<XMLComment> AddPrologComment(std::string_view text);

  private:
    XMLHeader header_;
    XMLDocType doctype_;
    std::vector<std::shared_ptr<XMLComment>> prolog_;
    XMLElement root_;
};

}  // namespace Tessel
