// The writer's fixed layout: tabs, "\r\n", " />" versus "/>", and text items
// placed by position.
#include <gtest/gtest.h>

#include "xml/XMLDocument.h"

using Tessel::XMLDocument;
using Tessel::XMLElement;

namespace {

constexpr const char* kDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n";

std::string Write(const XMLElement& e, int depth) {
    std::string out;
    e.Serialize(out, depth);
    return out;
}

}  // namespace

TEST(Writer, NewDocumentIsDeclarationAndEmptyRoot) {
    XMLDocument doc;
    EXPECT_EQ(doc.Serialize(), std::string(kDeclaration) + "<e />\r\n");
}

TEST(Writer, NestedElementsWithVariables) {
    XMLDocument doc;
    XMLElement& root = doc.GetRoot();
    root.AddVariable("a", "1");
    root.AddVariable("b", "x&y");
    auto f = root.AddElement("files")->AddElement("f");
    f->AddVariable("l", "p");
    f->AddVariable("r", "q");
    EXPECT_EQ(doc.Serialize(), std::string(kDeclaration) +
                                   "<e a=\"1\" b=\"x&amp;y\">\r\n"
                                   "\t<files>\r\n"
                                   "\t\t<f l=\"p\" r=\"q\"/>\r\n"
                                   "\t</files>\r\n"
                                   "</e>\r\n");
}

TEST(Writer, EmptyElementHasSpaceBeforeSlashButElementWithVariablesNot) {
    XMLElement files("files");
    EXPECT_EQ(Write(files, 1), "\t<files />\r\n");
    files.AddVariable("n", "v\"");
    EXPECT_EQ(Write(files, 2), "\t\t<files n=\"v&quot;\"/>\r\n");
}

TEST(Writer, TextOnlyElementIsOneLineWithoutIndentedEndTag) {
    XMLElement a("a");
    a.AddContent("  text &amp; more\r\n\t", -1);
    EXPECT_EQ(Write(a, 1), "\t<a>text &amp;amp; more</a>\r\n");
}

TEST(Writer, ItemsAreWrittenBeforeTheChildTheyStandAt) {
    XMLElement e("e");
    e.AddElement("c0");
    e.AddElement("c1");
    e.AddCData(" cd ", 1);
    e.AddComment("note", 1);
    e.AddContent("\tfirst \r\n", 0);
    e.AddContent("second", 1);
    e.AddContent("end", -1);
    e.AddComment("last", 2);
    e.AddContent("lost", 7);  // beyond the children: not written
    // Items before a child take the element's indent; items at the end none.
    EXPECT_EQ(Write(e, 1),
              "\t<e>\r\n"
              "\tfirst\r\n"
              "\t\t<c0 />\r\n"
              "\tsecond\r\n"
              "\t<!--note-->\r\n"
              "\t<![CDATA[ cd ]]>\r\n"  // the text form is trimmed, not the value
              "\t\t<c1 />\r\n"
              "end<!--last--></e>\r\n");
}

TEST(Writer, CommentOnlyElementGetsIndentedEndTag) {
    XMLElement e("e");
    e.AddComment("c", 0);
    EXPECT_EQ(Write(e, 1), "\t<e><!--c-->\t</e>\r\n");
}

TEST(Writer, DocTypeAndPrologPrecedeTheRoot) {
    XMLDocument doc;
    doc.GetHeader().GetVersion().SetValue("1.1");
    doc.GetDocType().SetValue("x&y");
    doc.AddPrologComment("one");
    doc.AddPrologComment("two");
    EXPECT_EQ(doc.Serialize(),
              "<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n"
              "<!DOCTYPE x&y>\r\n<!--one-->\r\n<!--two-->\r\n<e />\r\n");
}

TEST(Writer, NamesAndValuesAreEncodedCommentsAndCDataNot) {
    XMLElement e("a<b");
    e.AddVariable("n\"", "<&#1;>");
    e.AddComment("a&b", -1);
    e.AddCData("<&>", -1);
    EXPECT_EQ(Write(e, 0),
              "<a&lt;b n&quot;=\"&lt;&#1;&gt;\"><!--a&b--><![CDATA[<&>]]></a&lt;b>\r\n");
}

TEST(Writer, ParsedFileIsWrittenBackIdentically) {
    const std::string text = std::string(kDeclaration) +
                             "<e mode=\"0\" l=\"a &amp; &lt;b&gt; &quot;c&quot;\">\r\n"
                             "\t<files>\r\n"
                             "\t\t<f l=\"x\" r=\"y\"/>\r\n"
                             "\t\t<f l=\"\" r=\"\"/>\r\n"
                             "\t</files>\r\n"
                             "\t<empty />\r\n"
                             "</e>\r\n";
    XMLDocument doc;
    ASSERT_EQ(doc.Parse(text), 0);
    EXPECT_EQ(doc.Serialize(), text);
}

TEST(Writer, DeeplyNestedTreeIsWrittenCompletely) {
    constexpr int kDepth = 1000;
    std::string text;
    for (int k = 0; k < kDepth; ++k)
        text += "<a>";
    XMLDocument doc;
    ASSERT_EQ(doc.Parse(text), 0);
    const std::string out = doc.Serialize();
    std::size_t opened = 0;
    for (std::size_t at = out.find("<a"); at != std::string::npos; at = out.find("<a", at + 1))
        ++opened;
    EXPECT_EQ(opened, static_cast<std::size_t>(kDepth));
    // The innermost element sits at depth kDepth - 1.
    EXPECT_NE(out.find(std::string(kDepth - 1, '\t') + "<a />\r\n"), std::string::npos);
    EXPECT_EQ(out.find(std::string(kDepth, '\t')), std::string::npos);
}
