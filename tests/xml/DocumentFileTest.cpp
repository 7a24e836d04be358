// Loading files in their three encodings and saving with a byte-order mark.
#include <gtest/gtest.h>

#include "xml/XMLDocument.h"
#include "xml/XmlTestFiles.h"

using Tessel::XMLDocument;
using xmltest::ReadBytes;
using xmltest::ScratchDir;
using xmltest::Wide;
using xmltest::WriteBytes;

namespace {

constexpr const char* kText =
    "<?xml version=\"1.1\" ?>\r\n<cfg a=\"caf\xC3\xA9\">\r\n\t<files />\r\n</cfg>\r\n";

std::string Utf16Le(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

void ExpectLoaded(const XMLDocument& doc) {
    EXPECT_EQ(doc.GetHeader().GetVersion().GetValue(), "1.1");
    EXPECT_EQ(doc.GetRoot().GetName(), "cfg");
    ASSERT_TRUE(doc.GetRoot().GetVariable("a"));
    EXPECT_EQ(doc.GetRoot().GetVariable("a")->GetValue(), "caf\xC3\xA9");
    EXPECT_TRUE(doc.GetRoot().GetChild("files"));
}

}  // namespace

TEST(DocumentFile, LoadsUtf8WithAndWithoutByteOrderMark) {
    ScratchDir dir;
    WriteBytes(dir / "plain.xml", kText);
    WriteBytes(dir / "bom.xml", std::string("\xEF\xBB\xBF") + kText);
    ExpectLoaded(XMLDocument(Wide(dir / "plain.xml")));
    ExpectLoaded(XMLDocument(Wide(dir / "bom.xml")));
}

TEST(DocumentFile, LoadsUtf16LittleEndianIncludingItsMark) {
    ScratchDir dir;
    WriteBytes(dir / "wide.xml",
               Utf16Le(u"\uFEFF<?xml version=\"1.1\" ?>\r\n<cfg a=\"caf\u00e9\">\r\n"
                       u"\t<files />\r\n</cfg>\r\n"));
    ExpectLoaded(XMLDocument(Wide(dir / "wide.xml")));
    // A surrogate pair and an odd trailing byte.
    WriteBytes(dir / "pair.xml", Utf16Le(u"\uFEFF<e v=\"\U0001F600\"/>") + "x");
    XMLDocument pair(Wide(dir / "pair.xml"));
    EXPECT_EQ(pair.GetRoot().GetVariable("v")->GetValue(), "\xF0\x9F\x98\x80");
}

TEST(DocumentFile, TextEndsAtTheFirstZeroByte) {
    ScratchDir dir;
    WriteBytes(dir / "z.xml", std::string("<e a=\"1\"/>\0<?xml <<<", 20));
    XMLDocument doc(Wide(dir / "z.xml"));
    EXPECT_EQ(doc.GetRoot().GetVariable("a")->GetValue(), "1");
}

TEST(DocumentFile, UnreadableFilesGiveAnEmptyDocument) {
    ScratchDir dir;
    const std::string empty =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n"
        "<e />\r\n";
    EXPECT_EQ(XMLDocument(Wide(dir / "missing.xml")).Serialize(), empty);
    EXPECT_EQ(XMLDocument(Wide(dir / "")).Serialize(), empty);  // a directory
    EXPECT_EQ(XMLDocument(std::wstring()).Serialize(), empty);
    EXPECT_EQ(XMLDocument(std::wstring(L"a\0b", 3)).Serialize(), empty);
    WriteBytes(dir / "zero.xml", "");
    EXPECT_EQ(XMLDocument(Wide(dir / "zero.xml")).Serialize(), empty);
}

TEST(DocumentFile, SaveWritesByteOrderMarkAndLayoutAndReadsBack) {
    ScratchDir dir;
    XMLDocument doc;
    doc.GetRoot()["p"] = "a&b \"<c>\"";
    doc.GetRoot().GetChild("files", true)->AddElement("f")->AddVariable("l", "x");
    ASSERT_EQ(doc.Save(Wide(dir / "out.xml")), 0);
    const std::string bytes = ReadBytes(dir / "out.xml");
    EXPECT_EQ(bytes, "\xEF\xBB\xBF" + doc.Serialize());

    XMLDocument back(Wide(dir / "out.xml"));
    EXPECT_EQ(back.GetRoot().GetVariable("p")->GetValue(), "a&b \"<c>\"");
    EXPECT_EQ(back.Serialize(), doc.Serialize());
}

TEST(DocumentFile, SaveReportsFilesThatCannotBeWritten) {
    ScratchDir dir;
    XMLDocument doc;
    EXPECT_EQ(doc.Save(Wide(dir / "no-such-dir" / "out.xml")), Tessel::kXMLWriteError);
    EXPECT_EQ(doc.Save(Wide(dir / "")), Tessel::kXMLWriteError);
    EXPECT_EQ(doc.Save(std::wstring()), Tessel::kXMLWriteError);
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(doc.Save(L"/dev/full"), Tessel::kXMLWriteError);
    }
}
