#include "server/request_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/base64.h"
#include "macparam/param_codec.h"
#include "support/trace_recorder.h"

namespace {

using testing_support::TraceRecorder;
using Traces = std::vector<std::string>;

constexpr char kAddress[] = "00-1A-2B-3C-4D-5E";
std::string FakeAddress() {
  return kAddress;
}

const std::string& ShopParam() {
  static const std::string param = EncodeParameter("shop.example");
  return param;
}

std::string Request(const std::string& callback, const std::string& param,
                    const std::string& headers) {
  return "GET /?callback=" + callback + "&" + param +
         "&b&c&d&_=1 HTTP/1.1\r\nHost: 127.0.0.1:10032\r\n" + headers + "\r\n";
}

std::string Reply(const std::string& callback, const std::string& address) {
  return std::string(kReplyHeader) + callback + "({'ret': '" + address + "'});";
}

class RequestHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDecipheredText();
    SetAddressProvider(&FakeAddress);
  }
  void TearDown() override { SetAddressProvider(nullptr); }

  // The reply, or "(none)".
  static std::string Handle(const std::string& request) {
    std::string reply;
    return HandleRequest(request, &reply) ? reply : "(none)";
  }
};

TEST_F(RequestHandlerTest, TheRightSiteGetsTheAddressInExactlyTheseBytes) {
  const std::string request = Request("cb", ShopParam(), "Referer: http://shop.example:8080/\r\n");
  EXPECT_EQ(Handle(request),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/html\r\n\r\n"
            "cb({'ret': '00-1A-2B-3C-4D-5E'});");
}

TEST_F(RequestHandlerTest, TracesOfOneRequestInOrder) {
  const std::string request =
      "GET /?callback=cb&" + ShopParam() +
      "&b&c&d&e HTTP/1.1\r\nHost: x\r\nReferer: http://Shop.Example:8080/\r\n\r\n";
  const TraceRecorder traces;
  std::string reply;
  ASSERT_TRUE(HandleRequest(request, &reply));
  const std::string tail = "::Sleep Mac Adress 4444 ==== debug ===== \r\n";
  const std::string line = "cb&" + ShopParam() + "&b&c&d&e HTTP/1.1";
  EXPECT_EQ(traces.Lines(),
            (Traces{"[sock] recv : " + request + "\r\n",
                    "::Sleep debug ===== 2. referer: http://shop.example:8080/ \r\n",
                    "::Sleep Mac Adress ==== debug ===== \r\n",
                    "::Sleep Mac Adress ==== ndbg:count : 5, org " + line + " ===== \r\n",
                    line + tail, "cb - " + ShopParam() + " - b - c - d" + tail,
                    "shop.example===referer: http://shop.example:8080/" + tail,
                    "\n\n api ok start  :1 ===== \r\n", "\n\n api ok end  :1 ===== \r\n",
                    Reply("cb", kAddress) + " :: Sleep Mac Adress 4444 ==== debug ===== \r\n"}));
}

TEST_F(RequestHandlerTest, RequestShapes) {
  const std::string referer = "Referer: http://shop.example/\r\n";
  const std::string& p = ShopParam();
  struct Row {
    const char* name;
    std::string request;
    std::string reply;
  };
  const std::vector<Row> rows = {
      {"five '&' without a parameter", "GET /?callback=cb&a&b&c&d&e HTTP/1.1\r\n\r\n",
       Reply("cb", "")},
      {"four '&'", "GET /?callback=cb&a&b&c&d HTTP/1.1\r\n\r\n", "(none)"},
      {"four '&' with a good parameter", "GET /?callback=cb&" + p + "&c&d&e HTTP/1.1\r\n" + referer,
       "(none)"},
      {"no prefix: the fields start at the line's start", "cb&" + p + "&b&c&d&e\r\n" + referer,
       Reply("cb", kAddress)},
      {"no prefix with a method: F0 is no callback name",
       "POST /x?cb&" + p + "&b&c&d&e\r\n" + referer, "(none)"},
      {"%20 is a blank everywhere", Request("cb", p, "Referer:%20http://shop.example/\r\n"),
       Reply("cb", kAddress)},
      {"%20 in the callback makes it no name", Request("my%20cb", p, referer), "(none)"},
      {"a lower-case header name is not the referrer",
       Request("cb", p, "referer: http://shop.example/\r\n"), Reply("cb", "")},
      {"the later of two Referer lines wins",
       Request("cb", p, "Referer: http://shop.example/\r\nReferer: http://evil.example/\r\n"),
       Reply("cb", "")},
      {"the later of two Referer lines wins, other way round",
       Request("cb", p, "Referer: http://evil.example/\r\nReferer: http://shop.example/\r\n"),
       Reply("cb", kAddress)},
      {"no carriage return: answered, no header read", "GET /?callback=cb&" + p + "&b&c&d&e",
       Reply("cb", "")},
  };
  for (const Row& row : rows) {
    ResetDecipheredText();
    EXPECT_EQ(Handle(row.request), row.reply) << row.name;
  }
}

TEST_F(RequestHandlerTest, OnlyAParameterOfSixBytesOrMoreIsDeciphered) {
  const std::vector<std::pair<std::string, bool>> rows = {{"AAAAA", false}, {"AAAAAA", true}};
  for (const auto& [param, deciphered] : rows) {
    const TraceRecorder traces;
    Handle(Request("cb", param, ""));
    const Traces lines = traces.Lines();
    const bool base64Traced =
        std::find(lines.begin(), lines.end(), kBase64LengthTrace) != lines.end();
    EXPECT_EQ(base64Traced, deciphered) << param;
  }
}

TEST_F(RequestHandlerTest, AStaleTextShowsInTheTracesButOpensNothing) {
  const std::string referer = "Referer: http://shop.example/\r\n";
  ASSERT_EQ(Handle(Request("cb", ShopParam(), referer)), Reply("cb", kAddress));
  const TraceRecorder traces;
  EXPECT_EQ(Handle(Request("cb", "x", referer)), Reply("cb", ""));
  const Traces lines = traces.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "shop.example===referer: http://shop.example/::Sleep Mac Adress 4444 ==== "
                      "debug ===== \r\n"),
            lines.end());
  // A parameter that fails to decipher leaves no text behind.
  EXPECT_EQ(Handle(Request("cb", "AAAAAAAAAAAAAAAAAAAAAA==", referer)), Reply("cb", ""));
  EXPECT_EQ(Handle(Request("cb", "x", referer)), Reply("cb", ""));
}

TEST_F(RequestHandlerTest, OriginRule) {
  struct Row {
    std::string origin;
    std::string referer;
    bool passes;
  };
  const std::vector<Row> rows = {
      {"shop.example", "Referer: http://shop.example/", true},
      {"shop.example", "Referer: https://www.shop.example/cart", true},
      {"shop.example:8080", "Referer: http://shop.example:8080/", true},
      {"https://shop.example", "Referer: https://shop.example/x", true},
      {"SHOP.example", "Referer: http://shop.EXAMPLE/", true},  // both lower-cased
      {"shop.example", "", false},
      {"shop.example", "Referer: http://evil.example/shop.example", false},
      {"shop.example", "Referer: http://evil.example/?shop.example", false},
      {"shop.example", "Referer: http://myshop.example/", false},
      {"abc", "Referer: http://abc/", false},
  };
  for (const Row& row : rows) {
    ResetDecipheredText();
    const std::string headers = row.referer.empty() ? "" : row.referer + "\r\n";
    const std::string address = row.passes ? kAddress : "";
    EXPECT_EQ(Handle(Request("cb", EncodeParameter(row.origin), headers)), Reply("cb", address))
        << row.origin << " / " << row.referer;
  }
}

TEST_F(RequestHandlerTest, CallbackRule) {
  const std::string referer = "Referer: http://shop.example/\r\n";
  for (const std::string name : {"cb", "jQuery36001234_1700000000000", "a.b.c", "$x"}) {
    EXPECT_EQ(Handle(Request(name, ShopParam(), referer)), Reply(name, kAddress)) << name;
  }
  const std::vector<std::string> refused = {"my%20cb", "alert(1)//", "<script>", "",
                                            std::string(129, 'a')};
  for (const std::string& name : refused) {
    EXPECT_EQ(Handle(Request(name, ShopParam(), referer)), "(none)") << name;
  }
}

TEST(CountCharTest, Counts) {
  EXPECT_EQ(CountChar("", '&'), 0);
  EXPECT_EQ(CountChar("a&b&&c", '&'), 3);
  EXPECT_EQ(CountChar("\r\n\r\n", '\r'), 2);
}

}  // namespace
