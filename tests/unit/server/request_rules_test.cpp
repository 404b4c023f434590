#include "server/request_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CallbackNameTest, Table) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"cb", true},
      {"jQuery36001234_1700000000000", true},
      {"a.b.c", true},
      {"$x", true},
      {"_", true},
      {"x1.$y._z", true},
      {std::string(128, 'a'), true},
      {"my cb", false},
      {"alert(1)//", false},
      {"<script>", false},
      {"", false},
      {std::string(129, 'a'), false},
      {"1abc", false},
      {"a..b", false},
      {".a", false},
      {"a.", false},
      {"a.1b", false},
      {"a-b", false},
      {"a'b", false},
      {"caf\xC3\xA9", false},
  };
  for (const auto& [name, passes] : rows) {
    EXPECT_EQ(IsCallbackName(name), passes) << '"' << name << '"';
  }
}

TEST(OriginRuleTest, Table) {
  struct Row {
    const char* origin;
    const char* referer;
    bool passes;
  };
  const std::vector<Row> rows = {
      // passes
      {"shop.example", "referer: http://shop.example/", true},
      {"shop.example", "referer: http://shop.example:8080/", true},
      {"shop.example", "referer: https://shop.example", true},
      {"shop.example", "referer: https://www.shop.example/cart?x=1", true},
      {"shop.example", "referer:https://user@shop.example:443/#top", true},
      {"shop.example:8080", "referer: http://shop.example:8080/page", true},
      {"http://shop.example:8080", "referer: http://shop.example:8080/", true},
      {"https://shop.example", "referer: https://shop.example/checkout", true},
      {"https://shop.example", "referer: https://shop.example?q", true},
      {"[::1]", "referer: http://[::1]:8080/", true},
      // a backslash reads as '/' in http(s), as browsers read it
      {"shop.example", "referer: https://shop.example\\cart", true},
      {"https://shop.example", "referer: https://shop.example\\cart", true},
      {"shop.example", "referer: https://shop.example\\@evil.example/", true},
      // fails
      {"shop.example", "", false},
      {"shop.example", "referer: ", false},
      {"shop.example", "referer: http://evil.example/shop.example", false},
      {"shop.example", "referer: http://evil.example/?shop.example", false},
      {"shop.example", "referer: http://evil.example/#shop.example", false},
      {"shop.example", "referer: http://myshop.example/", false},
      {"shop.example", "referer: http://shop.example.evil.example/", false},
      {"shop.example", "referer: http://shop.example@evil.example/", false},
      {"shop.example:8080", "referer: http://shop.example:9090/", false},
      {"https://shop.example", "referer: https://shop.example.evil.example/", false},
      {"abc", "referer: http://abc/", false},  // three bytes are too few
      {"", "referer: http://abc/", false},
      {"shop.example", "referrer: http://shop.example/", false},
      {"shop.example", "referer: https://evil.example\\@shop.example/", false},
      {"shop.example", "referer: http://evil.example\\.shop.example/", false},
      {"shop.example:8080", "referer: https://shop.example\\:8080/", false},
      {"https://shop.example", "referer: https://shop.example.evil.example\\/", false},
      {"shop.example", "referer: foo://evil.example\\@shop.example/", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(OriginMatchesReferer(row.origin, row.referer), row.passes)
        << row.origin << " / " << row.referer;
  }
}

}  // namespace
