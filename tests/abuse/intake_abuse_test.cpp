// Hostile requests against the real server: a password-guessing run through LOGOUT, hostile
// user IDs and room subjects, oversized members, and many connections that never log in
// but hold what they can. Honest clients must keep their sessions and valid replies.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "protocol/MsgFrame.h"
#include "tests/abuse/support/AbuseKit.h"

namespace tessil::abuse {
namespace {

TEST(IntakeAbuse, PasswordGuessingThroughLogoutIsCutOff) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    Client victim;
    ASSERT_TRUE(victim.Connect(server.Port(), 1));
    ASSERT_TRUE(victim.Login("victim", "7391"));

    // Four-digit guesses in order from just below the right one, reconnecting whenever the
    // server closes the connection, for a bounded time.
    int answered = 0, connections = 0, accepted = 0;
    const auto until = std::chrono::steady_clock::now() + 3s;
    Client attacker;
    for (int n = 0; std::chrono::steady_clock::now() < until; ++n) {
        if (!attacker.IsOpen()) {
            ASSERT_TRUE(attacker.Connect(server.Port(), 2 + connections % 200));
            ++connections;
        }
        const int guess = (7380 + n) % 10000;
        attacker.Request(R"({"cmd":"LOGOUT","usrid":"victim","pass":")" + std::to_string(guess) +
                         R"("})");
        auto reply = attacker.NextText(2s);
        if (!reply) continue;  // closed after its last allowed failure
        ++answered;
        if (reply->find("E000") != std::string::npos) ++accepted;
    }
    std::printf("LOGOUT guessing for 3 s: %d guesses answered over %d connections, %d accepted\n",
                answered, connections, accepted);
    EXPECT_EQ(accepted, 0);
    // Each connection is answered three times, then closed.
    EXPECT_LE(answered, 3 * connections);
    EXPECT_GE(connections, 3);
    // The victim is still logged in and served.
    ASSERT_TRUE(victim.Request(R"({"cmd":"USRLIST"})"));
    auto list = victim.NextText();
    ASSERT_TRUE(list);
    EXPECT_NE(list->find("\"victim\""), std::string::npos);
}

TEST(IntakeAbuse, ListRepliesStayValidUtf8AfterHostileIdsAndSubjects) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    const std::string hostile[] = {R"(\udc00)", R"(\ud800x)", R"(a\u0000b)",        R"(\u001b[2J)",
                                   R"(\u0085)", R"(a\"b)",    std::string(100, 'L')};
    int source = 1;
    std::vector<std::unique_ptr<Client>> held;
    for (const auto& id : hostile) {
        auto c = std::make_unique<Client>();
        ASSERT_TRUE(c->Connect(server.Port(), source++));
        // A refused ID ends the LOGIN with E015 and a close; a quote is only escaped.
        c->Login(id);
        held.push_back(std::move(c));
    }
    Client maker;
    ASSERT_TRUE(maker.Connect(server.Port(), source++));
    ASSERT_TRUE(maker.Login("maker"));
    for (const std::string subject : {R"(\udc00)", R"(x\u0007)", "fine"}) {
        maker.Request(R"({"cmd":"MAKEROOM","pass":"","subject":")" + subject +
                      R"(","roomtype":"OPEN","roomterm":"CONT","gamecode":"G1"})");
        ASSERT_TRUE(maker.NextText());
    }
    Client honest;
    ASSERT_TRUE(honest.Connect(server.Port(), source++));
    ASSERT_TRUE(honest.Login("honest"));
    for (const char* request : {R"({"cmd":"USRLIST"})", R"({"cmd":"ROOMLIST","roomNo":-1})",
                                R"({"cmd":"FINDUSER","usrid":"a\"b"})"}) {
        ASSERT_TRUE(honest.Request(request));
        auto reply = honest.NextText();
        ASSERT_TRUE(reply) << request;
        EXPECT_TRUE(IsValidUtf8(*reply)) << request;
        EXPECT_NE(CmdCode(*reply), "<bad json>") << *reply;
        EXPECT_EQ(CmdCode(*reply).substr(CmdCode(*reply).size() - 4), "E000") << *reply;
    }
}

TEST(IntakeAbuse, OversizedMembersAreRefusedAndTheRecipientIsUntouched) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    Client sender, recipient;
    ASSERT_TRUE(sender.Connect(server.Port(), 1));
    ASSERT_TRUE(sender.Login("sender"));
    ASSERT_TRUE(recipient.Connect(server.Port(), 2));
    ASSERT_TRUE(recipient.Login("recipient"));

    ASSERT_TRUE(sender.Request(R"({"cmd":"USRMSG","usrid":"recipient","mesg":")" +
                               std::string(500'000, 'x') + R"("})"));
    auto reply = sender.NextText();
    ASSERT_TRUE(reply);
    EXPECT_EQ(CmdCode(*reply), "USRMSG|E015");
    ASSERT_TRUE(sender.Request(R"({"cmd":"USRMSG","usrid":"recipient","mesg":"hello"})"));
    auto hello = recipient.NextText();
    ASSERT_TRUE(hello);
    EXPECT_EQ(CmdCode(*hello), "USRMSG|E000");  // the first thing it receives

    Client longId;
    ASSERT_TRUE(longId.Connect(server.Port(), 3));
    EXPECT_FALSE(longId.Login(std::string(1000, 'L')));
    EXPECT_TRUE(longId.WaitClosed());
}

TEST(IntakeAbuse, ConnectionsThatNeverLogInHoldBoundedMemory) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    std::this_thread::sleep_for(200ms);
    const long before = server.RssKiB();
    constexpr int kConnections = 500;
    std::vector<std::unique_ptr<Client>> attackers;
    for (int i = 0; i < kConnections; ++i) {
        auto c = std::make_unique<Client>();
        ASSERT_TRUE(c->Connect(server.Port(), 1 + i));
        // Oversized handshake fields (refused, not kept), then most of an announced body.
        c->Handshake(std::string(1000, 'i'), std::string(1000, 'u'), std::string(1000, 'p'));
        c->SendRaw(TMsgHeader{4000, mtData}.Encode() + "TXT" + std::string(3000, 'A'));
        attackers.push_back(std::move(c));
    }
    std::this_thread::sleep_for(500ms);
    const long during = server.RssKiB();
    attackers.clear();
    std::this_thread::sleep_for(1s);
    const long after = server.RssKiB();
    std::printf(
        "%d connections without login: RSS %ld KiB before, %ld during, %ld after; "
        "%.1f KiB a connection\n",
        kConnections, before, during, after, static_cast<double>(during - before) / kConnections);
    EXPECT_LT(during - before, kConnections * 64L) << "KiB";
    EXPECT_LT(after - before, kConnections * 64L) << "KiB";
    Client honest;
    ASSERT_TRUE(honest.Connect(server.Port(), 251));
    EXPECT_TRUE(honest.Login("honest"));
}

}  // namespace
}  // namespace tessil::abuse
