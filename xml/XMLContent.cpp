#include "xml/XMLContent.h"

#include "xml/XMLEntities.h"
#include "xml/XMLText.h"

namespace Tessel {

std::string XMLContent::Serialize() const {
    return EncodeEntities(value_);
}

std::string XMLVariable::Serialize() const {
    std::string out = EncodeEntities(name_);
    out.append("=\"");
    out.append(EncodeEntities(GetValue()));
    out.push_back('"');
    return out;
}

std::wstring XMLVariable::GetWideValue() const {
    return text::Utf8ToWide(GetValue());
}

void XMLVariable::SetWideValue(std::wstring_view value) {
    SetValue(text::WideToUtf8(value));
}

void XMLVariable::SetWideValue(const wchar_t* value) {
    SetWideValue(value != nullptr ? std::wstring_view(value) : std::wstring_view());
}

// Comments, CDATA and the doctype were decoded when read and are written as
// they stand.
std::string XMLComment::Serialize() const {
    return "<!--" + GetValue() + "-->";
}

std::string XMLCData::Serialize() const {
    return "<![CDATA[" + GetValue() + "]]>";
}

std::string XMLDocType::Serialize() const {
    return "<!DOCTYPE " + GetValue() + ">";
}

}  // namespace Tessel
