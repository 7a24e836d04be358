#pragma once
// The single-pass scanner behind XMLDocument::Parse. It is tuned to the
// files this program writes; its handling of other input (names and text kept
// raw, closing-tag names unchecked, single quotes not quotes) is relied upon
// by existing files and must not be "fixed".
#include <string>
#include <string_view>

#include "xml/XMLContent.h"

namespace Tessel {

class XMLDocument;
class XMLElement;

class XMLScanner {
  public:
    // Builds into `document`, which the caller has cleared.
    explicit XMLScanner(XMLDocument& document);

    // 0, or the first error code; the tree built so far stays.
    int Run(std::string_view text);

  private:
    int DeclarationStart();
    int DeclarationEnd();
    int DocTypeStart();
    int DocTypeEnd();
    int CommentStart();
    int CommentEnd();
    int CDataStart();
    int CDataEnd();
    void ElementStart();
    void ElementEnd();
    int AttributeNameEnd();
    int AttributeValueEnd();

    void TakeName();
    void KeepPendingText();

    XMLDocument& document_;
    XMLElement* current_ = nullptr;
    std::string buffer_;
    int declarationState_ = 0;  // 0 none, 1 inside "<?xml", 2 closed
    int doctypeState_ = 0;      // 0 none, 1 inside, 2 closed
    int attributeState_ = 0;    // 0 none, 1 after "=", 2 inside the quotes
    bool inComment_ = false;
    bool inCData_ = false;
    bool outsideTag_ = true;
    bool inClosingTag_ = false;
    bool inInstruction_ = false;
    bool namePending_ = false;
    XMLVariable variable_;
};

}  // namespace Tessel
