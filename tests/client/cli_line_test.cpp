// Tests of the command-line client's line language.
#include <gtest/gtest.h>

#include "client/CliLine.h"

namespace tessil {
namespace {

using Kind = CliLine::Kind;

std::string requestOf(const CliLine& l) {
    return BuildRequestJson(l.text, l.members);
}

TEST(CliLine, CommandsBecomeRequestsWithTypedMembers) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LOGIN usrid=kim pass=1 gcode=G1",
         R"({"cmd":"LOGIN","usrid":"kim","pass":1,"gcode":"G1"})"},
        {"  USRLIST  ", R"({"cmd":"USRLIST"})"},
        {"login usrid=kim", R"({"cmd":"login","usrid":"kim"})"},  // the word is kept as typed
        {"ENTERROOM roomNo=-12 pass=007 gamecode=0",
         R"({"cmd":"ENTERROOM","roomNo":-12,"pass":"007","gamecode":0})"},
        {R"(USRMSG usrid=lee mesg="hello \"you\" there")",
         R"({"cmd":"USRMSG","usrid":"lee","mesg":"hello \"you\" there"})"},
        {R"(FINDUSER usrid="123")", R"({"cmd":"FINDUSER","usrid":"123"})"},  // quoted: text
        {"USRMSG mesg= usrid=a=b", R"({"cmd":"USRMSG","mesg":"","usrid":"a=b"})"},
        {"USRMSG mesg=한글", R"({"cmd":"USRMSG","mesg":"한글"})"},
        {"USRMSG n=1.5 m=1e3 k=-", R"({"cmd":"USRMSG","n":"1.5","m":"1e3","k":"-"})"},
    };
    for (const auto& [line, json] : cases) {
        const CliLine l = ParseCliLine(line);
        ASSERT_EQ(l.kind, Kind::Command) << line;
        EXPECT_EQ(requestOf(l), json) << line;
    }
}

TEST(CliLine, SpecialWordsAndRawJson) {
    struct Case {
        std::string line;
        Kind kind;
        std::string text;
        int64_t millis;
    };
    const std::vector<Case> cases = {
        {"", Kind::Empty, "", 0},
        {"   # a comment", Kind::Empty, "", 0},
        {R"( {"cmd":"USRLIST"} )", Kind::Json, R"({"cmd":"USRLIST"})", 0},
        {"heartbeat", Kind::Heartbeat, "", 0},
        {"HEARTBEAT", Kind::Heartbeat, "", 0},
        {"clientlist", Kind::ClientList, "", 0},
        {"quit", Kind::Quit, "", 0},
        {"exit", Kind::Quit, "", 0},
        {"help", Kind::Help, "", 0},
        {"help makeroom", Kind::Help, "makeroom", 0},
        {"wait LOGIN", Kind::Wait, "LOGIN", 0},
        {"wait USRIN 250", Kind::Wait, "USRIN", 250},
        {"sleep 100", Kind::Sleep, "", 100},
    };
    for (const auto& c : cases) {
        const CliLine l = ParseCliLine(c.line);
        EXPECT_EQ(l.kind, c.kind) << c.line;
        EXPECT_EQ(l.text, c.text) << c.line;
        EXPECT_EQ(l.millis, c.millis) << c.line;
    }
    const CliLine hs = ParseCliLine("handshake id=a7 user=kim");
    ASSERT_EQ(hs.kind, Kind::Handshake);
    EXPECT_EQ(SerializeIdentity(hs.who), std::string("a7\0kim\0\0"
                                                     "1.0\0",
                                                     12));
    const CliLine raw = ParseCliLine("raw 00000000 0300");
    ASSERT_EQ(raw.kind, Kind::Raw);
    EXPECT_EQ(raw.bytes, std::string("\0\0\0\0\3\0", 6));
}

TEST(CliLine, MalformedLinesAreReportedNotSent) {
    for (const std::string line :
         {"LOGIN usrid", "LOGIN =kim", R"(USRMSG mesg="open)", "wait", "wait A 1 2", "wait A x",
          "sleep", "sleep -1", "raw 0", "raw zz", "handshake nick=x", "handshake id"}) {
        const CliLine l = ParseCliLine(line);
        EXPECT_EQ(l.kind, Kind::Error) << line;
        EXPECT_FALSE(l.text.empty()) << line;
    }
}

TEST(CliLine, WordsThatAreNeitherLineWordsNorServerCommandsAreRefusedWithAHint) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"clear", "unknown word 'clear'"},
        {"USRLST", "did you mean USRLIST?"},
        {"enterrom roomNo=1", "did you mean ENTERROOM?"},
        {"hertbeat", "did you mean heartbeat?"},
        {"xyzzy a=1", "a line starting with { is sent as raw JSON"},
    };
    for (const auto& [line, hint] : cases) {
        const CliLine l = ParseCliLine(line);
        EXPECT_EQ(l.kind, Kind::Error) << line;
        EXPECT_NE(l.text.find(hint), std::string::npos) << line << " -> " << l.text;
    }
    EXPECT_EQ(ParseCliLine(R"({"cmd":"clear"})").kind, Kind::Json);  // raw JSON goes through
}

TEST(CliLine, HelpComesFromTheServersCommandTable) {
    const std::string all = CliLineHelp();
    for (const char* word : {"LOGIN", "MAKEROOM", "ROOMLIST", "USRMSGALL", "REQRESET", "STOPOK"}) {
        EXPECT_NE(all.find(std::string("\n  ") + word + " "), std::string::npos) << word;
    }
    const std::string make = CliLineHelp("makeroom");
    EXPECT_NE(make.find("roomtype  OPEN|CLOSE"), std::string::npos) << make;
    EXPECT_NE(make.find("e.g. MAKEROOM pass=x subject=x roomtype=x"), std::string::npos) << make;
    EXPECT_NE(CliLineHelp("ROOMLIST").find("roomNo    integer(-1=all)"), std::string::npos);
    EXPECT_NE(CliLineHelp("READYOK").find("no fields"), std::string::npos);
    EXPECT_NE(CliLineHelp("dance").find("no command 'dance'"), std::string::npos);
}

}  // namespace
}  // namespace tessil
