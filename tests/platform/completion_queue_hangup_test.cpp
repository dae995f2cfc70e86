// The completion queue must not lose a peer's end of stream that arrived together with
// the last data: after a short receive the next receive still has to report the end.
// Without that a client that sends its last frame and closes leaves its connection open.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/CompletionQueue.h"

namespace tessil::platform {
namespace {

TEST(CompletionQueueHangup, EndOfStreamQueuedBehindDataIsStillDelivered) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    CompletionQueue q;
    SocketHandle h = q.Associate(fds[0], 7);
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    ::shutdown(fds[1], SHUT_WR);
    // Let the queue see the readiness edge (data and end of stream) with nothing pending.
    Packet p;
    EXPECT_FALSE(q.Get(p, 50));

    char buf[10];
    iovec v{buf, sizeof buf};
    Overlapped first;
    first.iov = &v;
    first.iovCount = 1;
    q.Recv(h, &first);
    ASSERT_TRUE(q.Get(p, 1000));
    EXPECT_EQ(p.count, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");

    Overlapped second;
    second.iov = &v;
    second.iovCount = 1;
    q.Recv(h, &second);
    ASSERT_TRUE(q.Get(p, 1000)) << "the end of stream was lost";
    EXPECT_EQ(p.pointer, &second);
    EXPECT_EQ(p.count, 0u);
    EXPECT_EQ(p.error, 0);

    q.Close(h);
    ::close(fds[1]);
}

}  // namespace
}  // namespace tessil::platform
