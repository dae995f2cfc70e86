// Text helpers shared by request handling, the lobby and the client library:
// body marker, blank removal, Base64, JSON reads, room keys. Stateless; any thread.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tessil {

// A parsed request. Parsed with numbers kept as their literal text, so that a
// number member reads back exactly as the client wrote it.
using TJsonObject = rapidjson::Document;
// A request's parse, with its values and the parser's working stacks in pools the caller
// gives (a buffer on the handling thread's stack), so that a request costs no heap.
using TRequestJson = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                                rapidjson::MemoryPoolAllocator<>>;
// What the member reads take: a parsed object of either kind.
using TJsonValue = rapidjson::Value;

// The body of a data message after its "TXT" marker, with bytes <= 0x20 stripped at
// both ends; empty when the marker is missing.
std::string GetStreamData(std::string_view body);

// Removes every blank and cuts the text after its last '}'.
void RemoveSpace(std::string& text);

// A request's JSON text from the body of its data message: GetStreamData, RemoveSpace,
// then DecodeStr.
std::string RequestText(std::string_view body);

// The text with every blank (0x20) removed.
std::string TrimAnsi(std::string_view text);

// Removes leading and trailing bytes <= 0x20 (white space and control characters).
std::string TrimControl(std::string_view text);

// Upper-cases a..z only.
std::string UpperAscii(std::string_view text);

// RFC 4648 Base64; the encoder writes CR LF after every 76th output character
// (also after the last one); the decoder skips every character outside the alphabet.
std::string Base64Encode(std::string_view bytes);
// The same appended to out (which is grown once, to its final size).
void Base64EncodeAppend(std::string& out, std::string_view bytes);
std::string Base64Decode(std::string_view text);

// Base64 text -> UTF-8 text; byte sequences that are not valid UTF-8 are dropped.
std::string DecodeStr(std::string_view base64);
// UTF-8 text -> Base64 text with line breaks (the reply body).
std::string EncodeStr(std::string_view utf8);

// True when the text parses as one JSON object. Another JSON value logs a
// "CheckJsonSyntax" file-log line; text that is not JSON logs nothing.
bool CheckJsonSyntax(std::string_view text);

// Parses text into obj (numbers kept as strings). False when it is not a JSON object.
bool ParseJsonObject(std::string_view text, TJsonObject& obj);

// What ParseRequest found.
enum class TJsonParse { Object, OtherValue, NotJson, TooDeep };
// Parses a request once: text nested deeper than maxDepth is refused before any parsing;
// JSON that is not an object writes the "CheckJsonSyntax" file-log line, as CheckJsonSyntax
// does, so intake never parses a request twice.
TJsonParse ParseRequest(std::string_view text, TRequestJson& obj, size_t maxDepth);

// Member value in text form (a string's characters, a number's or literal's text).
// Missing member: value := "", a "GetJosnValue_Str" file-log line, false.
// obj == nullptr: false, value unchanged.
bool GetJosnValue_Str(const TJsonValue* obj, const char* name, std::string& value);
// As above, but the text must be a whole decimal number in the int32 range;
// otherwise value := 0, a "GetJosnValue_Int" file-log line, false.
bool GetJosnValue_Int(const TJsonValue* obj, const char* name, int32_t& value);

std::string IntToAnsiStr(int64_t n);

// Room number from the local time: "1" + hh mm ss (ms % 100), nine digits.
int32_t GetUniqueKey();
struct TTimeOfDay {
    int hour, minute, second, millisecond;
};
// Replaces the clock GetUniqueKey reads (tests); an empty function restores local time.
void SetUniqueKeyClock(std::function<TTimeOfDay()> clock);

// Blocks the calling thread for at least max(ms, 1) milliseconds. Never called on an
// engine worker or under a lock: delayed work is scheduled instead.
void Delay(int32_t ms);

// Escapes text for the inside of a JSON string: " and \ get a backslash, bytes below
// 0x20 become \n \r \t \b \f or \u00XX; bytes >= 0x80 pass unchanged.
std::string JsonEscape(std::string_view text);
// The same appended to out.
void AppendJsonEscaped(std::string& out, std::string_view text);

}  // namespace tessil
