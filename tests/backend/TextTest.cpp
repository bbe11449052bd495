#include <gtest/gtest.h>

#include "backend/JsonRead.h"
#include "backend/Text.h"
#include "backend/Url.h"

TEST(Text, TrimRemovesUnicodeWhitespaceAndNewlinesOnly) {
    EXPECT_EQ(Text::trim(" \t\n\r hi there \u2028\u00a0\u3000\u0085"), "hi there");
    EXPECT_EQ(Text::trim("\u200bx\u200b"), "\u200bx\u200b") << "zero-width space is not whitespace";
    EXPECT_EQ(Text::trim(""), "");
    EXPECT_EQ(Text::trim(" \n "), "");
}

TEST(Text, LengthAndPrefixCountGraphemeClusters) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character, 18 bytes
    const std::string flag = "\U0001F1F8\U0001F1EA";
    EXPECT_EQ(Text::length("abc"), 3u);
    EXPECT_EQ(Text::length(family + flag + "e\u0301"), 3u);
    EXPECT_EQ(Text::length("\r\n"), 1u);
    EXPECT_EQ(Text::prefix(family + flag + "xyz", 2), family + flag);
    EXPECT_EQ(Text::prefix("ab", 5), "ab");
    EXPECT_EQ(Text::prefix("ab", 0), "");
}

TEST(Text, Utf8Validity) {
    EXPECT_TRUE(Text::isValidUtf8("h\u00e9llo \U0001F600"));
    EXPECT_FALSE(Text::isValidUtf8(std::string("\xc3", 1)));
    EXPECT_FALSE(Text::isValidUtf8(std::string("\xed\xa0\x80", 3)));  // a surrogate
    EXPECT_EQ(Text::toValidUtf8(std::string("a\xff" "b", 3)), "a\uFFFDb");
}

TEST(Url, ParsesSchemeHostAndDecodedQueryItems) {
    auto url = Url::parse("wellspire://pair?token=abc%20d&token=second&x&plus=a+b&empty=");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "wellspire");
    EXPECT_EQ(url->host, "pair");
    auto items = url->queryItems();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].value, "abc d");
    EXPECT_EQ(items[1].value, "second");
    EXPECT_FALSE(items[2].value);
    EXPECT_EQ(items[3].value, "a+b");
    EXPECT_EQ(items[4].value, "");
    EXPECT_FALSE(Url::parse("wellspire:pair?token=x")->host);
    EXPECT_FALSE(Url::parse("http://a b/"));
    EXPECT_FALSE(Url::parse("http://[::1"));
}

TEST(JsonRead, BooleansIntegersAndStringsByTheSharedRules) {
    const auto j = nlohmann::json::parse(
        R"({"t":true,"one":1,"zero":0.0,"two":2,"s":"true","i":3.0,"f":3.5,"big":1e30,"arr":[],"str":"x"})");
    EXPECT_EQ(JsonRead::boolean(j, "t"), true);
    EXPECT_EQ(JsonRead::boolean(j, "one"), true);
    EXPECT_EQ(JsonRead::boolean(j, "zero"), false);
    EXPECT_FALSE(JsonRead::boolean(j, "two"));
    EXPECT_FALSE(JsonRead::boolean(j, "s"));
    EXPECT_FALSE(JsonRead::boolean(j, "missing"));
    EXPECT_EQ(JsonRead::integer(j, "i"), 3);
    EXPECT_FALSE(JsonRead::integer(j, "f"));
    EXPECT_FALSE(JsonRead::integer(j, "big"));
    EXPECT_FALSE(JsonRead::integer(j, "t"));
    EXPECT_EQ(JsonRead::string(j, "str"), "x");
    EXPECT_FALSE(JsonRead::string(j, "one"));
    EXPECT_TRUE(JsonRead::objectOrEmpty(j, "arr").empty());
    EXPECT_FALSE(JsonRead::boolean(nlohmann::json::array(), "t"));
}
