// Element lookups, the parent link, and building an element from text.
#include <gtest/gtest.h>

#include "xml/XMLDocument.h"

using Tessel::XMLElement;
using Tessel::XMLVariable;

TEST(Element, LookupsAreExactAndFirstMatchWins) {
    XMLElement e;
    EXPECT_EQ(e.GetName(), "e");
    e.AddVariable("Key", "upper");
    e.AddVariable("key", "first");
    e.AddVariable("key", "second");
    EXPECT_EQ(e.GetVariable("key")->GetValue(), "first");
    EXPECT_EQ(e.GetVariable("Key")->GetValue(), "upper");
    EXPECT_FALSE(e.GetVariable("KEY"));
    EXPECT_EQ(e.GetVariables().size(), 3u);  // lookups without create add nothing

    auto c1 = e.AddElement("child");
    auto c2 = e.AddElement("child");
    EXPECT_EQ(e.GetChild("child"), c1);
    EXPECT_FALSE(e.GetChild("Child"));
    EXPECT_EQ(e.GetChildren().size(), 2u);
    EXPECT_NE(c1, c2);
}

TEST(Element, FindOrCreateAppendsOnlyWhenMissing) {
    XMLElement e;
    XMLVariable& v = e["x"];
    EXPECT_EQ(v.GetValue(), "");
    v = "1";
    e["x"] = "2";  // replaces, does not append
    ASSERT_EQ(e.GetVariables().size(), 1u);
    EXPECT_EQ(e.GetVariable("x")->GetValue(), "2");

    auto files = e.GetChild("files", true);
    EXPECT_EQ(files->GetName(), "files");
    EXPECT_EQ(files->GetParent(), &e);
    EXPECT_EQ(e.GetChild("files", true), files);
    EXPECT_EQ(e.GetChildren().size(), 1u);
}

TEST(Element, WideValuesConvertThroughUtf8) {
    XMLVariable v("p", "");
    v.SetWideValue(std::wstring(L"C:\\caf\u00e9\\\U0001F600"));
    EXPECT_EQ(v.GetValue(), "C:\\caf\xC3\xA9\\\xF0\x9F\x98\x80");
    EXPECT_EQ(v.GetWideValue(), L"C:\\caf\u00e9\\\U0001F600");
    v.SetWideValue(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(v.GetValue(), "");
    v.SetValue("bad \xFF end");  // malformed UTF-8 becomes a replacement character
    EXPECT_EQ(v.GetWideValue(), L"bad \uFFFD end");
}

TEST(Element, KeptChildOutlivesItsParentSafely) {
    std::shared_ptr<XMLElement> kept;
    {
        XMLElement parent;
        kept = parent.AddElement("a");
        kept->AddElement("b");
        EXPECT_EQ(kept->GetParent(), &parent);
    }
    EXPECT_EQ(kept->GetParent(), nullptr);
    ASSERT_EQ(kept->GetChildren().size(), 1u);
    EXPECT_EQ(kept->GetChildren()[0]->GetParent(), kept.get());

    XMLElement other;
    auto c = other.AddElement("c");
    other.Clear();
    EXPECT_EQ(other.GetName(), "e");
    EXPECT_TRUE(other.GetChildren().empty());
    EXPECT_EQ(c->GetParent(), nullptr);
}

TEST(Element, TextConstructorParsesMarkupAndTakesTheRoot) {
    XMLElement list(
        "<?xml version=\"1.0\"?><!--p--><list><file n=\"a\" h=\"0f\"/>"
        "<x n=\"b\"/></list>");
    EXPECT_EQ(list.GetName(), "list");
    ASSERT_EQ(list.GetChildren().size(), 2u);
    EXPECT_EQ(list.GetChildren()[0]->GetVariable("h")->GetValue(), "0f");
    for (const auto& child : list.GetChildren())
        EXPECT_EQ(child->GetParent(), &list);
    EXPECT_TRUE(list.GetComments().empty());  // the prolog is dropped
}

TEST(Element, TextConstructorNeedsMarkupAtTheFirstByte) {
    EXPECT_EQ(XMLElement("plain").GetName(), "plain");
    EXPECT_EQ(XMLElement(" <a/>").GetName(), " <a/>");
    EXPECT_EQ(XMLElement("\xEF\xBB\xBF<a/>").GetName(), "\xEF\xBB\xBF<a/>");
    EXPECT_EQ(XMLElement("").GetName(), "e");
    // The text ends at a zero byte, as a hash list with its terminator does.
    XMLElement terminated(std::string_view("<a x=\"1\"/>\0junk", 15));
    EXPECT_EQ(terminated.GetName(), "a");
    EXPECT_EQ(terminated.GetVariables().size(), 1u);
    // A parse error keeps what was read.
    XMLElement broken("<a x=\"1\" y==\"2\"/>");
    EXPECT_EQ(broken.GetName(), "a");
    EXPECT_EQ(broken.GetVariables().size(), 1u);
}

TEST(Element, DeepTreeIsReleasedWithoutExhaustingTheStack) {
    constexpr int kDepth = 100000;
    std::string text;
    text.reserve(3 * kDepth);
    for (int k = 0; k < kDepth; ++k)
        text += "<a>";
    auto tree = std::make_unique<XMLElement>(text);
    int depth = 1;
    for (const XMLElement* e = tree.get(); !e->GetChildren().empty(); e = e->GetChildren()[0].get())
        ++depth;
    EXPECT_EQ(depth, kDepth);
    tree.reset();  // must not recurse once per level
}
