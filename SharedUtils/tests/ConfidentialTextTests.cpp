#include "SharedUtils/ConfidentialText.h"

#include <gtest/gtest.h>

#include <string>

namespace sharedutils {
namespace {

const std::string kUuid = "123e4567-e89b-12d3-a456-426614174000";  // 36 characters

TEST(ConfidentialTextTests, JsonObjectMasksTokensAndIsReserialisedCompactlyWithSortedKeys) {
  EXPECT_EQ(confidentialized("{ \"user\" : \"bob\",\n \"token\" : \"" + kUuid + "\" }"),
            R"({"token":"...6614174000","user":"bob"})");
  // Short secrets stay whole behind the marker; ep_token likewise; both at once.
  EXPECT_EQ(confidentialized(R"({"ep_token":"abc","token":"0123456789ABCDEF"})"),
            R"({"ep_token":"...abc","token":"...6789ABCDEF"})");
  // Nothing to mask: still re-serialised (key order, spacing, escapes are the serialiser's).
  EXPECT_EQ(confidentialized(R"({"b": [1, 2.5, true, null], "a": {"z": "x\/y"}})"),
            R"({"a":{"z":"x/y"},"b":[1,2.5,true,null]})");
  // Only top-level string values are secrets; other types and nested keys stay as they are.
  EXPECT_EQ(confidentialized(
                R"({"token":12345678901234,"ep_token":null,"n":{"token":"abcdefghijklmn"}})"),
            R"({"ep_token":null,"n":{"token":"abcdefghijklmn"},"token":12345678901234})");
  // Characters, not bytes: the last 10 of a non-ASCII secret, an emoji family counting once.
  EXPECT_EQ(confidentialized("{\"token\":\"ключ-секрет-значение\"}"),
            "{\"token\":\"...т-значение\"}");
  EXPECT_EQ(confidentialized("{\"token\":\"0123456789abcdefg\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F"
                             "\x91\xA9\"}"),
            "{\"token\":\"...89abcdefg\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\"}");
  // Duplicate keys: the last one wins.
  EXPECT_EQ(confidentialized(R"({"token":"first","token":"second"})"), R"({"token":"...second"})");
}

TEST(ConfidentialTextTests, JsonLocationGoesThroughTheUrlRuleOrIsRemoved) {
  EXPECT_EQ(
      confidentialized(R"({"location":"https://h.example:8443/cb?token=abc&code=1#f","x":1})"),
      R"({"location":"https://h.example/cb?token&code=1","x":1})");
  // A location without query items is not a URL the rule applies to: the key goes.
  EXPECT_EQ(confidentialized(R"({"location":"https://h.example/cb","x":1})"), R"({"x":1})");
  EXPECT_EQ(confidentialized(R"({"location":"not a url","x":1})"), R"({"x":1})");
  EXPECT_EQ(confidentialized(R"({"location":7})"), R"({"location":7})");
}

TEST(ConfidentialTextTests, TextsThatAreNoJsonObjectNorUrlComeBackUnchanged) {
  for (const std::string text :
       {R"(["token","0123456789abcdef"])", R"({"token": "0123456789abcdef")",
        R"({"token": "0123456789abcdef",})", R"("token")", "42", "", "plain words",
        "{\"token\":\"\xFF\xFE\"}", "{\"token\":\"abc\xC3\"}", "https://example.com/path",
        "https://example.com/path?", "https://ex\xC3\xA4mple.com/?token=abc",
        "https://example.com/a b?token=abc", "http://h/?token=%zz", "a b?token=abc"}) {
    EXPECT_EQ(confidentialized(text), text) << text;
  }
}

TEST(ConfidentialTextTests, TunnelMessagesKeepOnlyTheMaskedJsonOrTheTail) {
  EXPECT_EQ(confidentialized("setInAuthTunnel___:{\"token\":\"" + kUuid + "\",\"id\":2}"),
            R"({"id":2,"token":"...6614174000"})");
  EXPECT_EQ(confidentialized("tunnelBecameAuth___:{}"), "{}");
  EXPECT_EQ(confidentialized("onAuthFailed___:secret reason 0123456789"),
            "onAuthFailed___:0123456789...");
  // The tail is taken from the whole message, so a short payload shows part of the prefix.
  EXPECT_EQ(confidentialized("onUnauthTunnelConnect___:abc"),
            "onUnauthTunnelConnect___:ect___:abc...");
  EXPECT_EQ(confidentialized("tunnelBecameAuth___:[\"token\"]"),
            "tunnelBecameAuth___::[\"token\"]...");
  // Not at the start, or a different case: no prefix rule.
  EXPECT_EQ(confidentialized(" setInAuthTunnel___:x"), " setInAuthTunnel___:x");
  EXPECT_EQ(confidentialized("SETINAUTHTUNNEL___:x"), "SETINAUTHTUNNEL___:x");
}

TEST(ConfidentialTextTests, UrlRuleRewritesQueryItemsAndDropsUserPortAndFragment) {
  EXPECT_EQ(confidentialized("https://user:pw@example.com:8443/a/b?p=hunter2&state="
                             "abcdefghijklmnopqrstuvwxyz&token=plainstring&x=1#frag"),
            "https://example.com/a/b?p=...&state=qrstuvwxyz...&token&x=1");
  // Repeated and valueless items keep their order; "state" without a value is left alone, "p"
  // always becomes the marker, an empty state value becomes the marker alone.
  EXPECT_EQ(confidentialized("http://h/?a&a=1&&state&p&state=&token"),
            "http://h/?a&a=1&&state&p=...&state=...&token");
  // JSON values under token, ep_token and status are masked as JSON.
  EXPECT_EQ(
      confidentialized("https://h/s?status=%7B%22token%22%3A%22abcdefghijklmnop%22%7D&ep_token="
                       "%7B%7D"),
      "https://h/s?status=%7B%22token%22:%22...ghijklmnop%22%7D&ep_token=%7B%7D");
  // Relative references, IP literals and hosts without a path.
  EXPECT_EQ(confidentialized("/callback?token=abc&n=2"), "/callback?token&n=2");
  EXPECT_EQ(confidentialized("http://[::1]:8080/x?p=1"), "http://[::1]/x?p=...");
  EXPECT_EQ(confidentialized("myapp://auth?state=0123456789ABCDEF"),
            "myapp://auth?state=6789ABCDEF...");
  EXPECT_EQ(confidentialized("file:///tmp/f?p=1"), "file:///tmp/f?p=...");
  EXPECT_EQ(confidentialized("urn:x:y?p=1"), "urn:x:y?p=...");
  // The path stays percent-encoded as it was written.
  EXPECT_EQ(confidentialized("https://h/a%20b/%C3%A9?p=1"), "https://h/a%20b/%C3%A9?p=...");
}

TEST(ConfidentialTextTests, RebuiltQueryParsesBackIntoTheSameItems) {
  // Decoded items: name "na=me" value "v&a=lue+x é"; "k" value "a=b"; name "+" no value.
  const std::string url = "https://h/?na%3Dme=v%26a=lue%2Bx%20%C3%A9&k=a=b&%2B&q='()*!$,;:@/?";
  const std::string once = confidentialized(url);
  EXPECT_EQ(once, "https://h/?na%3Dme=v%26a=lue%2Bx%20%C3%A9&k=a=b&%2B&q='()*!$,;:@/?");
  EXPECT_EQ(confidentialized(once), once);
  // A literal '+' is data, not a space, and is written encoded.
  EXPECT_EQ(confidentialized("https://h/?a+b=c+d"), "https://h/?a%2Bb=c%2Bd");
  // Lower-case escapes are decoded and written back upper-case.
  EXPECT_EQ(confidentialized("https://h/?a=%c3%a9%2f"), "https://h/?a=%C3%A9/");
}

TEST(ConfidentialTextTests, HugeAndDeeplyNestedInputNeverCrashes) {
  const std::string opens(200000, '[');
  EXPECT_EQ(confidentialized(opens), opens);
  const std::string deep = "{\"a\":" + opens + std::string(200000, ']') + "}";
  EXPECT_EQ(confidentialized(deep), deep);  // too deep to treat, and no URL
  std::string nested = "{\"token\":\"0123456789abc\",\"a\":";
  for (int i = 0; i < 100; ++i)
    nested += "{\"b\":";
  nested += "1" + std::string(101, '}');
  EXPECT_TRUE(confidentialized(nested).ends_with("1" + std::string(100, '}') +
                                                 ",\"token\":\"...3456789abc\"}"));

  std::string bigToken(1 << 20, 'x');
  bigToken += "0123456789";
  EXPECT_EQ(confidentialized("{\"token\":\"" + bigToken + "\"}"), R"({"token":"...0123456789"})");

  std::string manyItems = "https://h/?";
  for (int i = 0; i < 50000; ++i)
    manyItems += "p=" + std::to_string(i) + "&";
  const std::string masked = confidentialized(manyItems);
  EXPECT_EQ(masked.size(), std::string("https://h/?").size() + 50000 * 6);
  EXPECT_EQ(masked.substr(masked.size() - 7), "&p=...&");
}

}  // namespace
}  // namespace sharedutils
