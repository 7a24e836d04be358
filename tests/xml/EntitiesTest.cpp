#include <gtest/gtest.h>

#include "xml/XMLEntities.h"

using Tessel::DecodeEntities;
using Tessel::EncodeEntities;

TEST(Entities, DecodeKnowsOnlyFourEntitiesAppliedInTurn) {
    EXPECT_EQ(DecodeEntities("a &amp; b &quot;c&quot; &gt; &lt;"), "a & b \"c\" > <");
    // The ampersand goes first, so a doubly escaped sign collapses fully.
    EXPECT_EQ(DecodeEntities("&amp;lt;"), "<");
    EXPECT_EQ(DecodeEntities("&amp;amp;"), "&amp;");
    // No apostrophe entity, no character references.
    EXPECT_EQ(DecodeEntities("&apos;&#65;&#x41;"), "&apos;&#65;&#x41;");
    // Case matters for entity names.
    EXPECT_EQ(DecodeEntities("&AMP;&Lt;"), "&AMP;&Lt;");
    EXPECT_EQ(DecodeEntities("plain text"), "plain text");
    EXPECT_EQ(DecodeEntities("&"), "&");
    EXPECT_EQ(DecodeEntities(""), "");
}

TEST(Entities, EncodeEscapesFourCharactersButNotCharacterReferences) {
    EXPECT_EQ(EncodeEntities("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(EncodeEntities("&#65;"), "&#65;");
    EXPECT_EQ(EncodeEntities("x&"), "x&amp;");
    // Entity text is escaped again: encoding is not idempotent.
    EXPECT_EQ(EncodeEntities("&lt;"), "&amp;lt;");
    EXPECT_EQ(EncodeEntities(""), "");
}
