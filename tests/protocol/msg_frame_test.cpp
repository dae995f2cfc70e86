// Tests of frame headers, the client-info serialization and client-list chunking.
#include <gtest/gtest.h>

#include "protocol/MsgFrame.h"

namespace tessil {
namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

TEST(MsgHeader, EncodesLittleEndianAndDecodesBack) {
    const std::vector<std::tuple<uint32_t, uint16_t, std::string>> cases = {
        {0, mtHeartbeat, bytes({0, 0, 0, 0, 3, 0})},
        {5, mtData, bytes({5, 0, 0, 0, 0, 0})},
        {MaxMessageSize, mtData, bytes({0, 0, 0, 8, 0, 0})},
        {MaxMessageSize + 1, mtData, bytes({1, 0, 0, 8, 0, 0})},
        {0xFFFFFFFF, 0xFFFF, bytes({255, 255, 255, 255, 255, 255})},
        {0x01020304, 0x0506, bytes({4, 3, 2, 1, 6, 5})},
    };
    for (const auto& [len, type, wire] : cases) {
        EXPECT_EQ((TMsgHeader{len, type}.Encode()), wire);
        const TMsgHeader back = TMsgHeader::Decode(wire.data());
        EXPECT_EQ(back.MsgLen, len);
        EXPECT_EQ(back.MsgType, type);
    }
}

TEST(MsgHeader, FrameIsHeaderThenBody) {
    EXPECT_EQ(EncodeFrame(mtHeartbeat, ""), bytes({0, 0, 0, 0, 3, 0}));
    EXPECT_EQ(EncodeFrame(mtHandshake, AuthOkStr),
              bytes({17, 0, 0, 0, 1, 0}) + std::string(AuthOkStr));
}

TEST(ClientInfo, SerializesFourFieldsEachEndedByZero) {
    TMsgClientInfo info;
    info.FID = "a7";
    info.FUser = "kim";
    info.FVersion = "1.0";
    info.FUsrID = "not serialized";
    const std::string expected =
        bytes({0x61, 0x37, 0, 0x6B, 0x69, 0x6D, 0, 0, 0x31, 0x2E, 0x30, 0});
    EXPECT_EQ(info.SerializeTo(), expected);
    EXPECT_EQ(info.SerializeSize(), 12);
}

TEST(ClientInfo, ParsesFromTheFrontAndLeavesTheRest) {
    struct Case {
        std::string input;
        std::string id, user, password, version, rest;
    };
    const std::vector<Case> cases = {
        {bytes({0x61, 0x37, 0, 0x6B, 0x69, 0x6D, 0, 0, 0x31, 0x2E, 0x30, 0}), "a7", "kim", "",
         "1.0", ""},
        {"abc", "abc", "", "", "", ""},
        {"", "", "", "", "", ""},
        {std::string("a\0b\0c\0d\0e\0", 10), "a", "b", "c", "d", std::string("e\0", 2)},
        {std::string("a\0b", 3), "a", "b", "", "", ""},
        {std::string("\0\0\0\0", 4), "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        TMsgClientInfo info;
        info.FUser = "old";
        info.FRoomNo = 7;
        std::string s = c.input;
        info.SerializeFrom(s);
        EXPECT_EQ(info.FID, c.id);
        EXPECT_EQ(info.FUser, c.user);
        EXPECT_EQ(info.FPassword, c.password);
        EXPECT_EQ(info.FVersion, c.version);
        EXPECT_EQ(s, c.rest);
        EXPECT_EQ(info.FRoomNo.load(), 7);
    }
}

TEST(ClientInfo, ValidOnlyWithAddressAndPort) {
    TMsgClientInfo info;
    EXPECT_FALSE(IsValidClient(nullptr));
    EXPECT_FALSE(IsValidClient(&info));
    info.FAddress = "127.0.0.1";
    EXPECT_FALSE(IsValidClient(&info));
    info.FPort = "5000";
    EXPECT_TRUE(IsValidClient(&info));
}

TEST(ClientList, ChunksCloseAt4000BytesExceptAfterTheLastRecord) {
    const std::string rec(1500, 'r');
    struct Case {
        size_t records;
        std::vector<size_t> chunkSizes;
    };
    const std::vector<Case> cases = {
        {0, {0}},
        {1, {1500}},
        {3, {4500}},  // 4000 is reached only at the last record
        {4, {4500, 1500}},
        {6, {4500, 4500}},
        {7, {4500, 4500, 1500}},
    };
    for (const auto& c : cases) {
        const auto chunks = BuildClientListChunks(std::vector<std::string>(c.records, rec));
        std::vector<size_t> sizes;
        for (const auto& chunk : chunks) sizes.push_back(chunk.size());
        EXPECT_EQ(sizes, c.chunkSizes) << c.records << " records";
    }
    // A record is never split across chunks.
    const auto chunks =
        BuildClientListChunks({std::string(3999, 'a'), std::string(2, 'b'), std::string(1, 'c')});
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], std::string(3999, 'a') + "bb");
    EXPECT_EQ(chunks[1], "c");
}

TEST(StringList, FindsItemsByteForByte) {
    TDnStringList list;
    list.Add("a");
    list.Add(std::string("b\0c", 3));
    list.Add("a");
    EXPECT_EQ(list.IndexOf("a"), 0);
    EXPECT_EQ(list.IndexOf(std::string("b\0c", 3)), 1);
    EXPECT_EQ(list.IndexOf("b"), -1);
    EXPECT_THROW(list.Strings(3), std::out_of_range);
}

}  // namespace
}  // namespace tessil
