// The cluster's parts that need no Redis: the node-to-node message format against damaged
// input, and the per-client strand's order when an item finishes later on another thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cluster/ClientStrand.h"
#include "cluster/ClusterWire.h"

namespace tessil::cluster {
namespace {

TEST(ClusterWire, FieldsSurviveAnyBytes) {
    const std::string binary("\0\x06:12:\xff", 7);
    const std::string text = EncodeWire(WireKind::Forward, {"n1", "", binary, "9:x"});
    auto m = DecodeWire(text);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, WireKind::Forward);
    EXPECT_EQ(m->fields, (std::vector<std::string>{"n1", "", binary, "9:x"}));
}

TEST(ClusterWire, DamagedMessagesAreRefused) {
    const std::string good = EncodeWire(WireKind::Done, {"node", "kim"});
    for (const std::string& bad :
         {std::string(), std::string("Z2:ab"), std::string("D3:ab"), std::string("D:ab"),
          std::string("Dx:ab"), std::string("D99999999999:a"), std::string("D-1:a"),
          good.substr(0, good.size() - 1)}) {
        EXPECT_FALSE(DecodeWire(bad)) << bad;
    }
    EXPECT_TRUE(DecodeWire(good));
}

TEST(ClientStrand, ItemsOfOneClientRunInOrderAcrossAsyncFinishes) {
    ClientStrand strand(8);
    auto client = std::make_shared<TClientRec>();
    std::vector<int> ran;
    // Odd items wait (for Redis, say) and are finished later from another thread.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(strand.Submit(client, [&ran, i] {
            ran.push_back(i);
            return i % 2 == 0;
        }));
    }
    EXPECT_EQ(ran, (std::vector<int>{0, 1}));
    std::thread([&] { strand.Finish(client.get()); }).join();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
    std::thread([&] { strand.Finish(client.get()); }).join();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(strand.Busy(), 0u);
}

TEST(ClientStrand, AFullQueueRefusesAndClientsDoNotWaitForEachOther) {
    ClientStrand strand(2);
    auto a = std::make_shared<TClientRec>();
    auto b = std::make_shared<TClientRec>();
    int bRan = 0;
    ASSERT_TRUE(strand.Submit(a, [] { return false; }));  // waits for a Finish
    EXPECT_TRUE(strand.Submit(a, [] { return true; }));
    EXPECT_TRUE(strand.Submit(a, [] { return true; }));
    EXPECT_FALSE(strand.Submit(a, [] { return true; }));
    EXPECT_TRUE(strand.Submit(b, [&] { return ++bRan, true; }));
    EXPECT_EQ(bRan, 1);
    strand.Finish(a.get());
    EXPECT_EQ(strand.Busy(), 0u);
}

}  // namespace
}  // namespace tessil::cluster
