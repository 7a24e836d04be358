#pragma once
// The text items of an element: plain text, attributes (variables), comments,
// CDATA sections, and the document type declaration. They differ only in how
// they are written.
#include <cstdint>
#include <string>
#include <string_view>

namespace Tessel {

class XMLContent {
  public:
    XMLContent() = default;
    explicit XMLContent(std::string_view value, std::int32_t position = -1)
        : value_(value), position_(position) {}
    virtual ~XMLContent() = default;

    // The item's text form as the writer emits it.
    virtual std::string Serialize() const;

    const std::string& GetValue() const { return value_; }
    // A fresh string moved in: assigning in place lets GCC 12 see an
    // overlapping copy (which cannot happen) when the value is a literal.
    void SetValue(std::string_view value) { value_ = std::string(value); }

    // Index of the child element this item stands before; -1 = after the last.
    std::int32_t GetPosition() const { return position_; }
    void SetPosition(std::int32_t position) { position_ = position; }

  protected:
    XMLContent(const XMLContent&) = default;
    XMLContent& operator=(const XMLContent&) = default;

  private:
    std::string value_;
    std::int32_t position_ = -1;
};

// An attribute; also each field of the XML declaration.
class XMLVariable : public XMLContent {
  public:
    XMLVariable() = default;
    XMLVariable(std::string_view name, std::string_view value) : XMLContent(value), name_(name) {}
    XMLVariable(const XMLVariable&) = default;
    XMLVariable& operator=(const XMLVariable&) = default;

    std::string Serialize() const override;

    const std::string& GetName() const { return name_; }
    void SetName(std::string_view name) { name_.assign(name); }

    std::wstring GetWideValue() const;
    void SetWideValue(std::wstring_view value);
    // A null pointer stores the empty value.
    void SetWideValue(const wchar_t* value);

    XMLVariable& operator=(std::string_view value) {
        SetValue(value);
        return *this;
    }

  private:
    std::string name_;
};

class XMLComment : public XMLContent {
  public:
    using XMLContent::XMLContent;
    std::string Serialize() const override;
};

class XMLCData : public XMLContent {
  public:
    using XMLContent::XMLContent;
    std::string Serialize() const override;
};

class XMLDocType : public XMLContent {
  public:
    using XMLContent::XMLContent;
    XMLDocType(const XMLDocType&) = default;
    XMLDocType& operator=(const XMLDocType&) = default;
    std::string Serialize() const override;
};

}  // namespace Tessel
