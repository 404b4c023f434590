#include "server/listener_retry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "server/query_server.h"

namespace {

#ifdef _WIN32
constexpr int32_t kAddressInUse = 10048;  // WSAEADDRINUSE
// A port held with SO_EXCLUSIVEADDRUSE may be refused as in use or as access denied (Wine's
// answer); either way the bind is what fails.
const std::vector<int32_t> kHeldPortErrors = {kAddressInUse, 10013};
#else
constexpr int32_t kAddressInUse = 98;  // EADDRINUSE
const std::vector<int32_t> kHeldPortErrors = {kAddressInUse};
#endif

TEST(ListenerRetryPause, StartsShortAndSettlesAtOneSecond) {
  struct Case {
    uint32_t failuresInARow;
    uint32_t pauseMs;
  };
  for (const Case& c : std::vector<Case>{
           {1, 250}, {2, 500}, {3, 1000}, {4, 1000}, {1000, 1000}, {UINT32_MAX, 1000}}) {
    EXPECT_EQ(ListenerRetryPauseMs(c.failuresInARow), c.pauseMs) << c.failuresInARow;
  }
}

// One event of a wait: a failed build (and whether it is to be written) or a successful one.
struct Event {
  bool built;
  ListenerFailure failure;
  bool written;
};

constexpr ListenerFailure kBindInUse{ListenerStep::kBind, kAddressInUse};
constexpr ListenerFailure kBindDenied{ListenerStep::kBind, 13};
constexpr ListenerFailure kListenInUse{ListenerStep::kListen, kAddressInUse};
constexpr Event Failed(ListenerFailure failure, bool written) {
  return {false, failure, written};
}
constexpr Event kBuilt{true, {}, false};

TEST(ListenerFailureReports, WritesAFailureOnceUntilItsCauseChangesOrAListenerIsBuilt) {
  struct Case {
    std::string name;
    std::vector<Event> events;
  };
  const std::vector<Case> cases = {
      {"the same failure repeating",
       {Failed(kBindInUse, true), Failed(kBindInUse, false), Failed(kBindInUse, false),
        Failed(kBindInUse, false)}},
      {"another error of the same step",
       {Failed(kBindInUse, true), Failed(kBindDenied, true), Failed(kBindDenied, false)}},
      {"the same error at another step",
       {Failed(kBindInUse, true), Failed(kListenInUse, true), Failed(kListenInUse, false)}},
      {"back to the first cause",
       {Failed(kBindInUse, true), Failed(kListenInUse, true), Failed(kBindInUse, true)}},
      {"after a build", {Failed(kBindInUse, true), kBuilt, Failed(kBindInUse, true)}},
      {"a build first", {kBuilt, Failed(kBindInUse, true), Failed(kBindInUse, false)}},
      {"builds in a row",
       {kBuilt, kBuilt, Failed(kListenInUse, true), kBuilt, Failed(kListenInUse, true)}},
  };
  for (const Case& c : cases) {
    ListenerFailureReports reports;
    for (std::size_t at = 0; at < c.events.size(); ++at) {
      const Event& event = c.events[at];
      if (event.built) {
        reports.ListenerBuilt();
      } else {
        EXPECT_EQ(reports.ShouldWrite(event.failure), event.written) << c.name << ", event " << at;
      }
    }
  }
}

class ListenerBuild : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::StartSockets()); }
  void TearDown() override { platform::CleanupSockets(); }
};

// What the server's listener carries, read back from the socket. Under Wine this is the option
// Wine stores for the socket; Wine does not apply Windows' bind rules, so whether another
// user's SO_REUSEADDR socket could take the port on Windows is not shown here.
TEST_F(ListenerBuild, TheListenerHoldsItsAddressExclusively) {
  platform::ScopedSocket listener;
  ASSERT_EQ(BuildListener(0, listener), std::nullopt);
  EXPECT_TRUE(platform::ListenerHoldsAddressExclusively(listener.get()));
#ifdef _WIN32
  // The read-back is the socket's: one that was not given the rule does not carry it.
  const platform::ScopedSocket plain(platform::CreateStreamSocket());
  EXPECT_FALSE(platform::ListenerHoldsAddressExclusively(plain.get()));
#endif
}

TEST_F(ListenerBuild, ASecondListenerOnTheSamePortFailsAtItsBind) {
  platform::ScopedSocket first;
  ASSERT_EQ(BuildListener(0, first), std::nullopt);
  const uint16_t port = platform::LocalPort(first.get());
  ASSERT_NE(port, 0);
  platform::ScopedSocket second;
  const std::optional<ListenerFailure> failure = BuildListener(port, second);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->step, ListenerStep::kBind);
  EXPECT_NE(std::find(kHeldPortErrors.begin(), kHeldPortErrors.end(), failure->error),
            kHeldPortErrors.end())
      << "bind error " << failure->error;
}

}  // namespace
