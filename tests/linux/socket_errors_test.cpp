// The server traces LastSocketError() after its accept and its receive, with traces in between:
// what it reads must be that call's own result, not a trace's failed send or an older errno.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/debug_trace.h"
#include "platform/sockets.h"

namespace {

struct SocketPair {
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()), 0); }
  ~SocketPair() {
    close(ends[0]);
    close(ends[1]);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  std::array<int, 2> ends{-1, -1};
};

TEST(SocketErrors, ATraceLeavesTheCallersErrorAsItWas) {
  // Whether a viewer listens or the send fails (no viewer), errno comes back unchanged.
  for (const int before : {0, EAGAIN, ECONNRESET}) {
    errno = before;
    platform::WriteSystemTrace("[sock] recv start server 002 \r\n");
    EXPECT_EQ(errno, before);
  }
}

TEST(SocketErrors, ASucceededCallReadsBackAsNoError) {
  SocketPair pair;
  char byte = 'x';
  ASSERT_EQ(write(pair.ends[1], &byte, 1), 1);
  errno = ENOENT;  // left by some earlier, unrelated call of the thread
  ASSERT_EQ(platform::ReceiveOnce(pair.ends[0], &byte, 1), 1);
  EXPECT_EQ(platform::LastSocketError(), 0);

  errno = ENOENT;
  ASSERT_EQ(platform::SendOnce(pair.ends[0], &byte, 1), 1);
  EXPECT_EQ(platform::LastSocketError(), 0);
}

TEST(SocketErrors, AFailedReceiveKeepsItsErrorAcrossATrace) {
  SocketPair pair;
  ASSERT_TRUE(platform::SetReceiveTimeout(pair.ends[0], 10));
  char byte = 0;
  ASSERT_EQ(platform::ReceiveOnce(pair.ends[0], &byte, 1), -1);
  platform::WriteSystemTrace("[sock] recv start server 003 \r\n");
  EXPECT_EQ(platform::LastSocketError(), EAGAIN);
}

}  // namespace
