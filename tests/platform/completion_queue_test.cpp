// The epoll completion queue: posted packets, receive/send/accept emulation, read-ahead,
// close completing pending operations, and stale handles after a close.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/CompletionQueue.h"
#include "platform/Errors.h"

namespace tessil::platform {
namespace {

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        a = sv[0];
        b = sv[1];
    }
};

Packet MustGet(CompletionQueue& q, uint32_t timeoutMs = 2000) {
    Packet p;
    EXPECT_TRUE(q.Get(p, timeoutMs));
    return p;
}

TEST(CompletionQueue, PostedPacketsComeBackWhole) {
    CompletionQueue q;
    int x;
    q.Post(7, 9, &x, 0);
    q.Post(0xFFFFFFFEu, 0, &x, EPIPE);
    Packet p = MustGet(q);
    EXPECT_EQ(p.count, 7u);
    EXPECT_EQ(p.key, 9u);
    EXPECT_EQ(p.pointer, &x);
    EXPECT_EQ(p.error, 0);
    p = MustGet(q);
    EXPECT_EQ(p.count, 0xFFFFFFFEu);
    EXPECT_EQ(p.error, EPIPE);
}

TEST(CompletionQueue, GetTimesOutWhenNothingArrives) {
    CompletionQueue q;
    Packet p;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.Get(p, 50));
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 45);
    EXPECT_LT(ms, 1000);
}

TEST(CompletionQueue, ReceiveWaitsForDataAndReadsAheadBeyondItsBuffer) {
    CompletionQueue q;
    Pair s;
    SocketHandle h = q.Associate(s.a, 42);
    char buf[4];
    iovec iov{buf, sizeof buf};
    std::string spill;
    Overlapped ov;
    ov.iov = &iov;
    ov.iovCount = 1;
    ov.spill = &spill;
    q.Recv(h, &ov);
    Packet p;
    EXPECT_FALSE(q.Get(p, 20));  // nothing to read yet: pending
    ASSERT_EQ(write(s.b, "abcdefgh", 8), 8);
    p = MustGet(q);
    EXPECT_EQ(p.pointer, &ov);
    EXPECT_EQ(p.key, 42u);
    EXPECT_EQ(p.count, 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(spill, "efgh");
    // End of stream completes a receive with zero bytes.
    close(s.b);
    ov.spill = nullptr;
    q.Recv(h, &ov);
    p = MustGet(q);
    EXPECT_EQ(p.count, 0u);
    EXPECT_EQ(p.error, 0);
    EXPECT_TRUE(q.Close(h));
}

TEST(CompletionQueue, SecondPendingReceiveIsRefused) {
    CompletionQueue q;
    Pair s;
    SocketHandle h = q.Associate(s.a, 1);
    char buf[4];
    iovec iov{buf, sizeof buf};
    Overlapped a, b;
    a.iov = b.iov = &iov;
    a.iovCount = b.iovCount = 1;
    q.Recv(h, &a);
    q.Recv(h, &b);
    Packet p = MustGet(q);
    EXPECT_EQ(p.pointer, &b);
    EXPECT_EQ(p.error, EALREADY);
    q.Close(h);
    p = MustGet(q);
    EXPECT_EQ(p.pointer, &a);
    close(s.b);
}

TEST(CompletionQueue, CloseAbortsPendingOperationsAndStaleHandlesFailSafely) {
    CompletionQueue q;
    Pair s;
    SocketHandle h = q.Associate(s.a, 1);
    EXPECT_EQ(q.OpenSockets(), 1);
    char buf[8];
    iovec iov{buf, sizeof buf};
    Overlapped ov;
    ov.iov = &iov;
    ov.iovCount = 1;
    q.Recv(h, &ov);
    EXPECT_TRUE(q.Close(h));
    EXPECT_FALSE(q.Close(h));
    Packet p = MustGet(q);
    EXPECT_EQ(p.pointer, &ov);
    EXPECT_EQ(p.error, kErrOperationAborted);
    EXPECT_EQ(q.OpenSockets(), 0);
    EXPECT_EQ(q.Fd(h), -1);

    // A new socket may reuse the slot; the old handle must not reach it.
    Pair t;
    SocketHandle h2 = q.Associate(t.a, 2);
    EXPECT_EQ(h2.slot, h.slot);
    Overlapped late;
    late.iov = &iov;
    late.iovCount = 1;
    q.Send(h, &late);
    p = MustGet(q);
    EXPECT_EQ(p.pointer, &late);
    EXPECT_TRUE(IsNotSocketError(p.error));
    char one = 'z';
    iovec oneIov{&one, 1};
    Overlapped good;
    good.iov = &oneIov;
    good.iovCount = 1;
    q.Send(h2, &good);
    p = MustGet(q);
    EXPECT_EQ(p.pointer, &good);
    EXPECT_EQ(p.count, 1u);
    char got = 0;
    EXPECT_EQ(read(t.b, &got, 1), 1);
    EXPECT_EQ(got, 'z');
    q.Close(h2);
    close(s.b);
    close(t.b);
}

TEST(CompletionQueue, SendResumesWhenThePeerDrains) {
    CompletionQueue q;
    Pair s;
    int small = 4096;
    setsockopt(s.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    SocketHandle h = q.Associate(s.a, 1);
    std::string big(1 << 20, 'x');
    size_t sent = 0;
    Packet p;
    // Send until one send stays pending, then drain the peer and see it complete.
    for (int i = 0; i < 1000; ++i) {
        iovec iov{big.data() + sent, big.size() - sent};
        Overlapped ov;
        ov.iov = &iov;
        ov.iovCount = 1;
        q.Send(h, &ov);
        if (!q.Get(p, 50)) {
            std::string sink(1 << 20, '\0');
            size_t drained = 0;
            while (drained < sent) {
                ssize_t n = read(s.b, sink.data(), sink.size());
                ASSERT_GT(n, 0);
                drained += static_cast<size_t>(n);
            }
            p = MustGet(q);
            EXPECT_EQ(p.pointer, &ov);
            EXPECT_GT(p.count, 0u);
            q.Close(h);
            close(s.b);
            return;
        }
        ASSERT_EQ(p.error, 0);
        sent += p.count;
    }
    FAIL() << "a send never had to wait";
}

TEST(CompletionQueue, AcceptCompletesWithTheNewConnectionAndItsPeer) {
    CompletionQueue q;
    int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lst, 4), 0);
    ASSERT_EQ(getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    SocketHandle h = q.Associate(lst, 0);
    Overlapped ov;
    q.Accept(h, &ov);
    Packet p;
    EXPECT_FALSE(q.Get(p, 20));
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    p = MustGet(q);
    EXPECT_EQ(p.error, 0);
    ASSERT_GE(ov.acceptedFd, 0);
    EXPECT_EQ(ov.peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    close(ov.acceptedFd);
    // Closing the listening socket ends a pending accept with an error.
    Overlapped again;
    q.Accept(h, &again);
    q.Close(h);
    p = MustGet(q);
    EXPECT_EQ(p.pointer, &again);
    EXPECT_EQ(p.error, kErrOperationAborted);
    close(c);
}

}  // namespace
}  // namespace tessil::platform
