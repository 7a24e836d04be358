#pragma once
// An element of the tree: its name, child elements, attributes and text items.
// Children and items are shared so a caller may keep a found child while its
// parent changes; the parent link is cleared when the parent goes away.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/XMLContent.h"

namespace Tessel {

class XMLElement {
  public:
    // An element named "e".
    XMLElement();
    // Text starting with '<' is parsed as a whole document and this element
    // takes over its root (name and items; declaration, doctype and prolog
    // are dropped). Any other non-empty text becomes the name. The text ends
    // at its first zero byte.
    explicit XMLElement(std::string_view text);
    ~XMLElement();

    XMLElement(const XMLElement&) = delete;
    XMLElement& operator=(const XMLElement&) = delete;

    const std::string& GetName() const { return name_; }
    void SetName(std::string_view name) { name_.assign(name); }

    // First variable with exactly this name; with create, a new empty one is
    // appended when there is none.
    std::shared_ptr<XMLVariable> GetVariable(std::string_view name, bool create = false);
    std::shared_ptr<const XMLVariable> GetVariable(std::string_view name) const;
    // Find-or-create.
    XMLVariable& operator[](std::string_view name);

    // First child with exactly this name; with create, appended when missing.
    std::shared_ptr<XMLElement> GetChild(std::string_view name, bool create = false);
    std::shared_ptr<const XMLElement> GetChild(std::string_view name) const;

    std::shared_ptr<XMLElement> AddElement(std::string_view name);
    // Appends even when a variable of that name exists.
    std::shared_ptr<XMLVariable> AddVariable(std::string_view name, std::string_view value);
    std::shared_ptr<XMLContent> AddContent(std::string_view text, std::int32_t position);
    std::shared_ptr<XMLComment> AddComment(std::string_view text, std::int32_t position);
    std::shared_ptr<XMLCData> AddCData(std::string_view text, std::int32_t position);

    XMLElement* GetParent() const { return parent_; }

    const std::vector<std::shared_ptr<XMLElement>>& GetChildren() const { return children_; }
    const std::vector<std::shared_ptr<XMLVariable>>& GetVariables() const { return variables_; }
    const std::vector<std::shared_ptr<XMLContent>>& GetContents() const { return contents_; }
    const std::vector<std::shared_ptr<XMLComment>>& GetComments() const { return comments_; }
    const std::vector<std::shared_ptr<XMLCData>>& GetCDatas() const { return cdatas_; }

    // Empties the five lists and names the element "e".
    void Clear();

    // Appends the element's text form, indented by one tab per depth level.
    void Serialize(std::string& out, int depth = 0) const;

  private:
    void ReleaseChildren();
    void TakeOver(XMLElement& other);

    std::string name_;
    std::vector<std::shared_ptr<XMLElement>> children_;
    std::vector<std::shared_ptr<XMLVariable>> variables_;
    std::vector<std::shared_ptr<XMLContent>> contents_;
    std::vector<std::shared_ptr<XMLComment>> comments_;
    std::vector<std::shared_ptr<XMLCData>> cdatas_;
    XMLElement* parent_ = nullptr;
};

}  // namespace Tessel
