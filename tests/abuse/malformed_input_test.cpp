// Malformed input against the real server: tens of thousands of broken frames, requests and
// JSON documents (one of them nested millions of levels deep) from several connections at
// once. Nothing may crash or hang, and every reply must be the one the input calls for.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"
#include "tests/abuse/support/AbuseKit.h"

namespace tessil::abuse {
namespace {

// One malformed input and the reply it must get ("" for none).
struct Bad {
    uint16_t type;
    std::string body;
    std::string expect;  // "cmd|code" of the reply, "HB" for a heartbeat echo, "" for none
};

std::vector<Bad> Catalogue(std::mt19937& rng) {
    const std::string syntax = "SYNTAX|E015";
    std::string noise(64, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    return {
        {mtData, "", syntax},
        {mtData, "TX", syntax},
        {mtData, noise, syntax},
        {mtData, "TXT" + noise, syntax},
        {mtData, "TXT" + Base64Encode("{\"cmd\":"), syntax},
        {mtData, "TXT" + Base64Encode("[1,2,3]"), syntax},
        {mtData, "TXT" + Base64Encode("\"USRLIST\""), syntax},
        {mtData, "TXT" + Base64Encode(std::string(2000, '[')), syntax},
        {mtData, "TXT" + Base64Encode("{\"a\":" + std::string(1500, '{')), syntax},
        {mtData, "TXT" + Base64Encode(R"({"CMD":"LOGIN"})"), "SYNTAX|E015"},
        {mtData, "TXT" + Base64Encode(R"({"cmd":"USRLIST"})"), "USRLIST|E016"},
        {mtData, "TXT" + Base64Encode(R"({"cmd":["LOGIN"]})"), "SYNTAX|E015"},
        {mtHeartbeat, noise, "HB"},
        {7, noise, ""},
        {mtClientListLast, noise, ""},
        {65535, "", ""},
    };
}

TEST(MalformedInput, ThirtyTwoThousandBrokenInputsGetTheirOwnRepliesAndNothingElse) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    constexpr int kConnections = 8;
    constexpr int kPerConnection = 4000;
    constexpr int kBatch = 50;
    std::atomic<int> sent{0}, wrong{0}, lost{0};

    auto worker = [&](int index) {
        std::mt19937 rng(index + 1);
        Client c;
        // A LOGIN that fails closes the connection, so the catalogue stays before login.
        if (!c.Connect(server.Port(), index + 1)) {
            ++lost;
            return;
        }
        const auto bad = Catalogue(rng);
        for (int done = 0; done < kPerConnection; done += kBatch) {
            std::vector<std::string> expected;
            for (int i = 0; i < kBatch; ++i) {
                const Bad& b = bad[rng() % bad.size()];
                if (!c.SendFrame(b.type, b.body)) {
                    ++lost;
                    return;
                }
                ++sent;
                if (!b.expect.empty()) expected.push_back(b.expect);
            }
            for (const auto& want : expected) {
                auto f = c.ReadFrame(10s);
                if (!f) {
                    ++lost;
                    return;
                }
                std::string got = f->type == mtHeartbeat && f->body.empty() ? "HB"
                                  : f->type == mtData ? CmdCode(Base64Decode(f->body))
                                                      : "kind " + std::to_string(f->type);
                if (got != want) {
                    ADD_FAILURE() << "expected " << want << ", got " << got;
                    ++wrong;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) threads.emplace_back(worker, i);
    for (auto& t : threads) t.join();

    EXPECT_EQ(sent.load(), kConnections * kPerConnection);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(lost.load(), 0);
    ASSERT_TRUE(server.Running());
    Client honest;
    ASSERT_TRUE(honest.Connect(server.Port(), 100));
    ASSERT_TRUE(honest.Login("honest"));
    ASSERT_TRUE(honest.Request(R"({"cmd":"USRLIST"})"));
    auto list = honest.NextText();
    ASSERT_TRUE(list);
    EXPECT_EQ(CmdCode(*list), "USRLIST|E000");
}

TEST(MalformedInput, FiveMillionNestingLevelsAreRefusedWithoutHarm) {
    // Frames after login may be large enough here for the document to reach the parser.
    ServerProcess server(std::map<std::string, std::string>{{"MaxBodyAfterLogin", "16777216"}});
    ASSERT_TRUE(server.Started()) << server.Output();
    Client c;
    ASSERT_TRUE(c.Connect(server.Port(), 1));
    ASSERT_TRUE(c.Login("deep"));
    const long rssBefore = server.RssKiB();
    ASSERT_TRUE(c.Request(std::string(5'000'000, '[')));
    auto reply = c.NextText(30s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(CmdCode(*reply), "SYNTAX|E015");
    EXPECT_TRUE(server.Running());
    const long rssAfter = server.RssKiB();
    std::printf("RSS around a 5,000,000-level document: %ld KiB before, %ld KiB after\n", rssBefore,
                rssAfter);
    Client other;
    ASSERT_TRUE(other.Connect(server.Port(), 2));
    EXPECT_TRUE(other.Login("other"));
}

}  // namespace
}  // namespace tessil::abuse
