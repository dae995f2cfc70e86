// The bounds request intake puts on what a client sends: the longest command word, user
// ID, password, game code, room subject, room type or term and chat text, and the deepest
// JSON nesting, all read from the settings file's [Limits] section; and the checked read of
// one text member. Owned by the command handler; read from the request workers.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/TextUtils.h"

namespace tessil {

// The kinds of text member a request carries; each has its own length bound.
enum class TField { Command, UserId, Password, GameCode, Subject, RoomWord, ChatText };

struct TIntakeLimits {
    size_t commandMax = 32;     // CommandWordMax
    size_t userIdMax = 64;      // UserIdMax
    size_t passwordMax = 128;   // PasswordMax
    size_t gameCodeMax = 64;    // GameCodeMax
    size_t subjectMax = 256;    // RoomSubjectMax
    size_t roomWordMax = 32;    // RoomWordMax (room type and room term)
    size_t chatTextMax = 4096;  // ChatTextMax
    size_t jsonDepthMax = 32;   // JsonDepthMax

    // The defaults above, each replaced by its key in [Limits] when present.
    static TIntakeLimits FromSettings();
    size_t MaxOf(TField kind) const;
};

// Reads the text member `name` (as GetJosnValue_Str) and checks it against its kind: at
// most the kind's length in bytes, valid UTF-8, no NUL or control character (chat texts and
// subjects may hold tab and line feed). False when the member is missing or fails a check;
// the caller answers with the command's format error. A refusal is counted and logged
// once per episode.
bool ReadField(const TJsonValue& request, const char* name, TField kind,
               const TIntakeLimits& limits, std::string& value);

// Checks a value already read (the command word) the same way.
bool CheckField(std::string_view value, TField kind, const TIntakeLimits& limits);

}  // namespace tessil
