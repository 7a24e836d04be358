#include "xml/XMLElement.h"

#include "xml/XMLDocument.h"
#include "xml/XMLEntities.h"
#include "xml/XMLText.h"

namespace Tessel {
namespace {

using text::Trim;

// The name of an element that was given none.
constexpr std::string_view kDefaultName = "e";

void Indent(std::string& out, int depth) {
    out.append(static_cast<std::size_t>(depth > 0 ? depth : 0), '\t');
}

bool At(std::int32_t position, std::size_t index) {
    return position >= 0 && static_cast<std::size_t>(position) == index;
}

// Items standing before child `index`: contents, then comments, then CDATA.
template <typename Emit>
void ForItemsAt(const XMLElement& e, std::size_t index, bool orAtEnd, Emit&& emit) {
    auto visit = [&](const auto& list) {
        for (const auto& item : list) {
            const std::int32_t p = item->GetPosition();
            if (At(p, index) || (orAtEnd && p == -1))
                emit(*item);
        }
    };
    visit(e.GetContents());
    visit(e.GetComments());
    visit(e.GetCDatas());
}

template <typename Item>
std::shared_ptr<Item> Append(std::vector<std::shared_ptr<Item>>& list, std::string_view text,
                             std::int32_t position) {
    auto item = std::make_shared<Item>(text, position);
    list.push_back(item);
    return item;
}

}  // namespace

XMLElement::XMLElement() : name_(kDefaultName) {}

XMLElement::XMLElement(std::string_view text) : name_(kDefaultName) {
    text = text.substr(0, text.find('\0'));
    if (text.empty())
        return;
    if (text.front() != '<') {
        name_.assign(text);
        return;
    }
    XMLDocument document;
    document.Parse(text);  // whatever was read before an error is kept
    TakeOver(document.GetRoot());
}

XMLElement::~XMLElement() {
    ReleaseChildren();
}

// Detaches the children and tears the subtree down without recursion, so a
// deeply nested tree from a hostile file cannot exhaust the stack.
void XMLElement::ReleaseChildren() {
    std::vector<std::shared_ptr<XMLElement>> pending = std::move(children_);
    children_.clear();
    for (auto& child : pending)
        child->parent_ = nullptr;
    while (!pending.empty()) {
        std::shared_ptr<XMLElement> next = std::move(pending.back());
        pending.pop_back();
        if (next.use_count() == 1) {
            for (auto& grandchild : next->children_) {
                grandchild->parent_ = nullptr;
                pending.push_back(std::move(grandchild));
            }
            next->children_.clear();
        }
    }
}

void XMLElement::TakeOver(XMLElement& other) {
    Clear();
    name_ = std::move(other.name_);
    children_ = std::move(other.children_);
    variables_ = std::move(other.variables_);
    contents_ = std::move(other.contents_);
    comments_ = std::move(other.comments_);
    cdatas_ = std::move(other.cdatas_);
    other.Clear();
    for (auto& child : children_)
        child->parent_ = this;
}

std::shared_ptr<XMLVariable> XMLElement::GetVariable(std::string_view name, bool create) {
    for (const auto& v : variables_) {
        if (v->GetName() == name)
            return v;
    }
    return create ? AddVariable(name, {}) : nullptr;
}

std::shared_ptr<const XMLVariable> XMLElement::GetVariable(std::string_view name) const {
    for (const auto& v : variables_) {
        if (v->GetName() == name)
            return v;
    }
    return nullptr;
}

XMLVariable& XMLElement::operator[](std::string_view name) {
    return *GetVariable(name, true);
}

std::shared_ptr<XMLElement> XMLElement::GetChild(std::string_view name, bool create) {
    for (const auto& c : children_) {
        if (c->GetName() == name)
            return c;
    }
    return create ? AddElement(name) : nullptr;
}

std::shared_ptr<const XMLElement> XMLElement::GetChild(std::string_view name) const {
    for (const auto& c : children_) {
        if (c->GetName() == name)
            return c;
    }
    return nullptr;
}

// Lists grow as needed. Reserving fixed room in every element would let a
// small hostile file (deeply nested tags) claim kilobytes per element.
std::shared_ptr<XMLElement> XMLElement::AddElement(std::string_view name) {
    auto child = std::make_shared<XMLElement>();
    child->name_.assign(name);
    child->parent_ = this;
    children_.push_back(child);
    return child;
}

std::shared_ptr<XMLVariable> XMLElement::AddVariable(std::string_view name,
                                                     std::string_view value) {
    auto v = std::make_shared<XMLVariable>(name, value);
    variables_.push_back(v);
    return v;
}

std::shared_ptr<XMLContent> XMLElement::AddContent(std::string_view text, std::int32_t position) {
    return Append(contents_, text, position);
}

std::shared_ptr<XMLComment> XMLElement::AddComment(std::string_view text, std::int32_t position) {
    return Append(comments_, text, position);
}

std::shared_ptr<XMLCData> XMLElement::AddCData(std::string_view text, std::int32_t position) {
    return Append(cdatas_, text, position);
}

void XMLElement::Clear() {
    ReleaseChildren();
    variables_.clear();
    contents_.clear();
    comments_.clear();
    cdatas_.clear();
    // A fresh string moved in: assigning the literal in place makes GCC 12
    // see an overlapping copy that cannot happen.
    name_ = std::string(kDefaultName);
}

// Written with an explicit stack instead of recursion for the same reason
// as ReleaseChildren.
void XMLElement::Serialize(std::string& out, int depth) const {
    struct Frame {
        const XMLElement* element;
        int depth;
        std::size_t next;  // index of the next child to write
    };
    std::vector<Frame> stack;

    // Writes the start of an element; false when it was complete already.
    auto open = [&out](const XMLElement& e, int d) {
        const bool hasItems = !e.children_.empty() || !e.contents_.empty() ||
                              !e.comments_.empty() || !e.cdatas_.empty();
        Indent(out, d);
        out.push_back('<');
        out.append(EncodeEntities(e.name_));
        if (!hasItems && e.variables_.empty()) {
            out.append(" />\r\n");
            return false;
        }
        for (const auto& v : e.variables_) {
            out.push_back(' ');
            out.append(v->Serialize());
        }
        if (!hasItems) {
            out.append("/>\r\n");
            return false;
        }
        out.push_back('>');
        if (!e.children_.empty())
            out.append("\r\n");
        return true;
    };

    auto close = [&out](const XMLElement& e, int d) {
        ForItemsAt(e, e.children_.size(), true,
                   [&out](const XMLContent& item) { out.append(Trim(item.Serialize())); });
        if (e.contents_.empty())
            Indent(out, d);
        out.append("</");
        out.append(EncodeEntities(e.name_));
        out.append(">\r\n");
    };

    if (open(*this, depth))
        stack.push_back({this, depth, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        const XMLElement& e = *top.element;
        if (top.next == e.children_.size()) {
            close(e, top.depth);
            stack.pop_back();
            continue;
        }
        const std::size_t i = top.next++;
        const int d = top.depth;
        ForItemsAt(e, i, false, [&out, d](const XMLContent& item) {
            Indent(out, d);
            out.append(Trim(item.Serialize()));
            out.append("\r\n");
        });
        const XMLElement& child = *e.children_[i];
        if (open(child, d + 1))
            stack.push_back({&child, d + 1, 0});
    }
}

}  // namespace Tessel
