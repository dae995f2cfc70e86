// Checks that the lobby registry is consistent: keys match the records, every listed
// member's record points back to its room, no empty room, unique room numbers, nobody in
// two rooms, indexes matching the maps. Header-only; takes the registry lock while it checks.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "lobby/GameUserInfo.h"

namespace tessil::test {

inline void ExpectConsistentLobby(const TGameUserInfo& lobby) {
    EXPECT_EQ(lobby.IndexMismatch(), "");
    lobby.WithLock([](const TGameUserInfo::TUserMap& users, const TGameUserInfo::TRoomMap& rooms) {
        for (const auto& [id, usr] : users) {
            EXPECT_EQ(id, usr->Client()->FUsrID);
            EXPECT_EQ(usr->Client()->FLoginState, 1) << id;
        }
        std::set<int32_t> numbers;
        std::set<const TClientRec*> seated;
        for (const auto& [key, room] : rooms) {
            EXPECT_EQ(key, room->FMasterid);
            EXPECT_FALSE(room->FUserList.empty()) << key;
            EXPECT_TRUE(room->FUserList.count(key)) << "master is a member: " << key;
            EXPECT_TRUE(numbers.insert(room->FRoomNo).second) << room->FRoomNo;
            for (const auto& [id, member] : room->FUserList) {
                EXPECT_EQ(id, member.Client->FUsrID);
                EXPECT_EQ(member.Client->FRoomNo, room->FRoomNo) << id;
                EXPECT_TRUE(seated.insert(member.Client.get()).second) << id;
                auto it = users.find(id);
                EXPECT_TRUE(it != users.end() && it->second->Client() == member.Client)
                    << "member is the listed user: " << id;
            }
        }
    });
}

}  // namespace tessil::test
