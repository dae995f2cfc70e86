// Checking and reading the JSON of a request: syntax check, parse, text and integer
// member reads. Stateless free functions; called from any worker thread at once.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/AppLog.h"
#include "protocol/TextCheck.h"
#include "protocol/TextUtils.h"

namespace tessil {

namespace {

// Numbers stay their literal text, so a number member reads back exactly as sent. The
// iterative parser keeps deeply nested input from exhausting the stack.
constexpr unsigned kParseFlags = rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseValidateEncodingFlag;

template <typename Doc>
void parse(std::string_view text, Doc& doc) {
    doc.template Parse<kParseFlags>(text.data(), text.size());
}

// The member's value as text: a string's (or number's) characters, a literal's name.
// False for null, objects and arrays, which have no text form.
bool textForm(const rapidjson::Value& v, std::string& out) {
    if (v.IsString()) {
        out.assign(v.GetString(), v.GetStringLength());
        return true;
    }
    if (v.IsBool()) {
        out = v.GetBool() ? "true" : "false";
        return true;
    }
    return false;
}

const rapidjson::Value* findMember(const TJsonValue* obj, const char* name) {
    if (!obj->IsObject()) return nullptr;
    const auto it = obj->FindMember(name);
    return it == obj->MemberEnd() ? nullptr : &it->value;
}

// A whole decimal number with an optional minus sign, in the int32 range.
bool parseInt32(std::string_view text, int32_t& value) {
    if (text.empty() || text.front() == '+') return false;
    const char* first = text.data();
    const char* last = first + text.size();
    int32_t v = 0;
    const auto [ptr, ec] = std::from_chars(first, last, v, 10);
    if (ec != std::errc() || ptr != last) return false;
    value = v;
    return true;
}

}  // namespace

bool CheckJsonSyntax(std::string_view text) {
    TJsonObject doc;
    parse(text, doc);
    if (doc.HasParseError()) return false;
    if (doc.IsObject()) return true;
    filelog::Write("CheckJsonSyntax", "the request is JSON but not an object");
    return false;
}

bool ParseJsonObject(std::string_view text, TJsonObject& obj) {
    parse(text, obj);
    return !obj.HasParseError() && obj.IsObject();
}

TJsonParse ParseRequest(std::string_view text, TRequestJson& obj, size_t maxDepth) {
    if (JsonNestsDeeperThan(text, maxDepth)) return TJsonParse::TooDeep;
    parse(text, obj);
    if (obj.HasParseError()) return TJsonParse::NotJson;
    if (obj.IsObject()) return TJsonParse::Object;
    filelog::Write("CheckJsonSyntax", "the request is JSON but not an object");
    return TJsonParse::OtherValue;
}

bool GetJosnValue_Str(const TJsonValue* obj, const char* name, std::string& value) {
    if (obj == nullptr) return false;
    const rapidjson::Value* member = findMember(obj, name);
    if (member != nullptr && textForm(*member, value)) return true;
    value.clear();
    filelog::Write("GetJosnValue_Str",
                   std::string(member == nullptr ? "no member " : "no text in ") + name);
    return false;
}

bool GetJosnValue_Int(const TJsonValue* obj, const char* name, int32_t& value) {
    if (obj == nullptr) return false;
    const rapidjson::Value* member = findMember(obj, name);
    std::string text;
    if (member != nullptr && textForm(*member, text) && parseInt32(text, value)) return true;
    value = 0;
    filelog::Write("GetJosnValue_Int",
                   std::string(member == nullptr ? "no member " : "not an integer: ") + name);
    return false;
}

}  // namespace tessil
