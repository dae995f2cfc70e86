// The intake bounds from the settings file and the checked member read, with the refusal
// counters and the one-line-per-episode log. Called from the request workers.
#include "server/RequestFields.h"

#include <array>

#include "platform/AppLog.h"
#include "platform/LimitEvents.h"
#include "platform/Settings.h"
#include "protocol/TextCheck.h"

namespace tessil {

namespace {

// Per kind: its settings key, its refusal counter and its text rule.
struct TFieldInfo {
    const char* key;
    const char* counter;
    TTextRule rule;
};

constexpr std::array<TFieldInfo, 7> kFields{{
    {"CommandWordMax", "command_word", TTextRule::Identifier},
    {"UserIdMax", "user_id", TTextRule::Identifier},
    {"PasswordMax", "password", TTextRule::Identifier},
    {"GameCodeMax", "game_code", TTextRule::Identifier},
    {"RoomSubjectMax", "room_subject", TTextRule::Message},
    {"RoomWordMax", "room_word", TTextRule::Identifier},
    {"ChatTextMax", "chat_text", TTextRule::Message},
}};

const TFieldInfo& infoOf(TField kind) {
    return kFields[static_cast<size_t>(kind)];
}

limits::TEpisode lengthEpisode;
limits::TEpisode textEpisode;

size_t readLimit(const char* key, size_t fallback, int64_t max) {
    return static_cast<size_t>(
        settings::Int("Limits", key, static_cast<int64_t>(fallback), 1, max));
}

}  // namespace

TIntakeLimits TIntakeLimits::FromSettings() {
    constexpr int64_t kTextCeiling = 16 * 1024 * 1024;
    TIntakeLimits l;
    l.commandMax = readLimit("CommandWordMax", l.commandMax, kTextCeiling);
    l.userIdMax = readLimit("UserIdMax", l.userIdMax, kTextCeiling);
    l.passwordMax = readLimit("PasswordMax", l.passwordMax, kTextCeiling);
    l.gameCodeMax = readLimit("GameCodeMax", l.gameCodeMax, kTextCeiling);
    l.subjectMax = readLimit("RoomSubjectMax", l.subjectMax, kTextCeiling);
    l.roomWordMax = readLimit("RoomWordMax", l.roomWordMax, kTextCeiling);
    l.chatTextMax = readLimit("ChatTextMax", l.chatTextMax, kTextCeiling);
    l.jsonDepthMax = readLimit("JsonDepthMax", l.jsonDepthMax, 100000);
    return l;
}

size_t TIntakeLimits::MaxOf(TField kind) const {
    switch (kind) {
        case TField::Command:
            return commandMax;
        case TField::UserId:
            return userIdMax;
        case TField::Password:
            return passwordMax;
        case TField::GameCode:
            return gameCodeMax;
        case TField::Subject:
            return subjectMax;
        case TField::RoomWord:
            return roomWordMax;
        case TField::ChatText:
            return chatTextMax;
    }
    return 0;
}

bool CheckField(std::string_view value, TField kind, const TIntakeLimits& limits) {
    const TFieldInfo& info = infoOf(kind);
    if (value.size() > limits.MaxOf(kind)) {
        limits::CountRefusal(info.counter);
        if (lengthEpisode.Begin()) {
            filelog::Write("RequestIntake",
                           std::string("a request field over its length limit ") + info.key + "=" +
                               std::to_string(limits.MaxOf(kind)) + " was refused");
        }
        return false;
    }
    if (!IsCleanText(value, info.rule)) {
        limits::CountRefusal("field_text");
        if (textEpisode.Begin()) {
            filelog::Write("RequestIntake",
                           std::string("a request field with invalid UTF-8 or a control "
                                       "character was refused (") +
                               info.counter + ")");
        }
        return false;
    }
    return true;
}

bool ReadField(const TJsonValue& request, const char* name, TField kind,
               const TIntakeLimits& limits, std::string& value) {
    if (!GetJosnValue_Str(&request, name, value)) return false;
    if (CheckField(value, kind, limits)) return true;
    value.clear();
    return false;
}

}  // namespace tessil
