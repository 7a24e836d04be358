#include "xml/XMLScanner.h"

#include <cstdint>

#include "xml/XMLDocument.h"
#include "xml/XMLElement.h"
#include "xml/XMLEntities.h"
#include "xml/XMLText.h"

namespace Tessel {
namespace {

constexpr std::size_t kBufferRoom = 100000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Token comparison ignores ASCII letter case; tokens are given in any case.
bool Match(std::string_view text, std::size_t at, std::string_view token) {
    if (text.size() - at < token.size())
        return false;
    for (std::size_t k = 0; k < token.size(); ++k) {
        if (Lower(text[at + k]) != Lower(token[k]))
            return false;
    }
    return true;
}

// A marker pair moves its state from `from` to from + 1; any other order is
// an error.
int Step(int& state, int from) {
    if (state != from)
        return kXMLMarkerError;
    state = from + 1;
    return kXMLOk;
}

std::int32_t ChildCount(const XMLElement& e) {
    return static_cast<std::int32_t>(e.GetChildren().size());
}

}  // namespace

XMLScanner::XMLScanner(XMLDocument& document) : document_(document) {
    buffer_.reserve(kBufferRoom);
}

int XMLScanner::Run(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (inCData_ || inComment_) {
            const std::string_view close = inCData_ ? "]]>" : "-->";
            const std::size_t end = text.find(close, i);
            if (end == std::string_view::npos)
                return kXMLSectionError;
            buffer_.assign(text.substr(i, end - i));
            if (const int r = inCData_ ? CDataEnd() : CommentEnd(); r != kXMLOk)
                return r;
            i = end + close.size();
            continue;
        }

        const char c = text[i];
        if (current_ != nullptr && namePending_ && IsBlank(c) && !buffer_.empty()) {
            TakeName();
            ++i;
            continue;
        }

        int r = kXMLOk;
        std::size_t used = 0;
        if (current_ == nullptr) {
            if (Match(text, i, "<?xml ")) {
                r = DeclarationStart(), used = 6;
            } else if (Match(text, i, "<?xml?>")) {
                r = DeclarationStart(), used = 5;  // its "?>" ends it next
            } else if (Match(text, i, "?>")) {
                r = DeclarationEnd(), used = 2;
            } else if (Match(text, i, "<!DOCTYPE ")) {
                r = DocTypeStart(), used = 10;
            } else if (c == '>' && doctypeState_ == 1) {
                r = DocTypeEnd(), used = 1;
            }
        }
        if (used == 0 && (current_ == nullptr || outsideTag_)) {
            if (Match(text, i, "<!--")) {
                r = CommentStart(), used = 4;
            } else if (Match(text, i, "<![CDATA[")) {
                r = CDataStart(), used = 9;
            }
        }
        if (used != 0) {
            if (r != kXMLOk)
                return r;
            i += used;
            continue;
        }

        const bool inTag = !inComment_ && !inCData_ && !inInstruction_ &&
                           (declarationState_ == 1 || (current_ != nullptr && !outsideTag_));
        if (c == '=' && inTag && attributeState_ != 2 && !inInstruction_) {
            if (r = AttributeNameEnd(); r != kXMLOk)
                return r;
            ++i;
            continue;
        }
        if (c == '"' && inTag) {
            if (attributeState_ == 1) {
                buffer_.clear();
                attributeState_ = 2;
            } else if (r = AttributeValueEnd(); r != kXMLOk) {
                return r;
            }
            ++i;
            continue;
        }

        if (!inComment_ && !inCData_ && attributeState_ == 0 && doctypeState_ != 1) {
            if (Match(text, i, "</") && current_ != nullptr && outsideTag_) {
                if (!buffer_.empty())
                    current_->AddContent(buffer_, -1);
                ElementEnd();
                inClosingTag_ = true;
                buffer_.clear();
                i += 2;
                continue;
            }
            if (Match(text, i, "<?") && outsideTag_) {
                ElementStart();
                inInstruction_ = true;
                outsideTag_ = false;
                i += 2;
                continue;
            }
            if (c == '<' && outsideTag_) {
                if (current_ != nullptr && !buffer_.empty()) {
                    current_->AddContent(buffer_, ChildCount(*current_));
                    buffer_.clear();
                }
                ElementStart();
                outsideTag_ = false;
                ++i;
                continue;
            }
            if (Match(text, i, "/>") || Match(text, i, "?>")) {
                if (current_ != nullptr && namePending_ && !buffer_.empty())
                    TakeName();
                ElementEnd();
                outsideTag_ = true;
                inInstruction_ = false;
                i += 2;
                continue;
            }
            if (c == '>' && current_ != nullptr && (!outsideTag_ || inClosingTag_)) {
                if (namePending_) {
                    TakeName();
                } else if (inClosingTag_) {
                    // The closing tag's name is not compared with the element.
                    inClosingTag_ = false;
                    buffer_.clear();
                }
                outsideTag_ = true;
                ++i;
                continue;
            }
        }

        if (!IsBlank(c) || !buffer_.empty())
            buffer_.push_back(c);
        ++i;
    }
    return kXMLOk;
}

int XMLScanner::DeclarationStart() {
    return Step(declarationState_, 0);
}

int XMLScanner::DeclarationEnd() {
    return Step(declarationState_, 1);
}

int XMLScanner::DocTypeStart() {
    return Step(doctypeState_, 0);
}

int XMLScanner::DocTypeEnd() {
    if (const int result = Step(doctypeState_, 1); result != kXMLOk)
        return result;
    document_.GetDocType().SetValue(DecodeEntities(buffer_));
    buffer_.clear();
    return kXMLOk;
}

// Text gathered right before a comment or CDATA section would otherwise be
// overwritten by the section; keep it as a content item at that place.
void XMLScanner::KeepPendingText() {
    if (current_ != nullptr && !buffer_.empty()) {
        current_->AddContent(buffer_, ChildCount(*current_));
        buffer_.clear();
    }
}

int XMLScanner::CommentStart() {
    if (inComment_)
        return kXMLSectionError;
    KeepPendingText();
    inComment_ = true;
    return kXMLOk;
}

int XMLScanner::CommentEnd() {
    if (!inComment_)
        return kXMLSectionError;
    inComment_ = false;
    const std::string value = DecodeEntities(buffer_);
    buffer_.clear();
    if (current_ != nullptr)
        current_->AddComment(value, ChildCount(*current_));
    else
        document_.AddPrologComment(value);
    return kXMLOk;
}

int XMLScanner::CDataStart() {
    if (inCData_ || current_ == nullptr)
        return kXMLSectionError;
    KeepPendingText();
    inCData_ = true;
    return kXMLOk;
}

int XMLScanner::CDataEnd() {
    if (!inCData_ || current_ == nullptr)
        return kXMLSectionError;
    inCData_ = false;
    current_->AddCData(DecodeEntities(buffer_), ChildCount(*current_));
    buffer_.clear();
    return kXMLOk;
}

void XMLScanner::ElementStart() {
    if (current_ != nullptr)
        current_ = current_->AddElement("el").get();  // named once its name is read
    else
        current_ = &document_.GetRoot();
    namePending_ = true;
}

void XMLScanner::ElementEnd() {
    if (current_ != nullptr)
        current_ = current_->GetParent();
}

void XMLScanner::TakeName() {
    current_->SetName(text::Trim(buffer_));
    buffer_.clear();
    namePending_ = false;
}

int XMLScanner::AttributeNameEnd() {
    if (attributeState_ != 0)
        return kXMLAttributeError;
    std::string name = DecodeEntities(buffer_);
    const std::size_t last = name.find_last_not_of(" \n\r\t");
    name.resize(last == std::string::npos ? 0 : last + 1);
    variable_ = XMLVariable(name, {});
    attributeState_ = 1;
    buffer_.clear();
    return kXMLOk;
}

// Acts for the declaration while it is open and for the current element when
// there is one.
int XMLScanner::AttributeValueEnd() {
    if (attributeState_ != 2)
        return kXMLAttributeError;
    attributeState_ = 0;
    variable_.SetValue(DecodeEntities(buffer_));
    buffer_.clear();
    if (declarationState_ == 1) {
        if (XMLVariable* field = document_.GetHeader().Find(variable_.GetName()))
            *field = variable_;
    }
    if (current_ != nullptr)
        current_->AddVariable(variable_.GetName(), variable_.GetValue());
    return kXMLOk;
}

}  // namespace Tessel
