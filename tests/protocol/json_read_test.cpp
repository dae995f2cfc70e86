// Tests of the JSON syntax check and the member reads used by request handling.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/AppLog.h"
#include "protocol/TextUtils.h"

namespace tessil {
namespace {

TEST(CheckJsonSyntax, AcceptsOnlyOneObject) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"({"cmd":"LOGIN"})", true},
        {"{}", true},
        {R"({"a":[1,2,{"b":null}]})", true},
        {"[1,2]", false},
        {"42", false},
        {R"("LOGIN")", false},
        {"true", false},
        {"", false},
        {R"({"cmd":"LOGIN")", false},      // truncated
        {R"({"cmd":"LOGIN"} {})", false},  // two values
        {R"({"cmd":"LOGIN"}x)", false},
        {"{\"a\":\"\xff\"}", false},  // not UTF-8
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(CheckJsonSyntax(text), expected) << text;
    }
}

TEST(CheckJsonSyntax, DeeplyNestedInputDoesNotExhaustTheStack) {
    const std::string deep = std::string(300'000, '[') + std::string(300'000, ']');
    EXPECT_FALSE(CheckJsonSyntax(deep));
    const std::string deepObj = "{\"a\":" + deep + "}";
    TJsonObject doc;
    EXPECT_TRUE(ParseJsonObject(deepObj, doc));
}

struct StrCase {
    const char* name;
    bool ok;
    std::string value;
};

TEST(GetJosnValue_Str, ReadsTheTextFormOfEachKind) {
    TJsonObject doc;
    ASSERT_TRUE(ParseJsonObject(
        R"({"s":"kim","n":1.50,"big":12345678901234567890,"e":1E3,"t":true,"f":false,)"
        R"("z":null,"o":{},"a":[],"k":"한글","esc":"a\"b\u0000c"})",
        doc));
    const std::vector<StrCase> cases = {
        {"s", true, "kim"},
        {"n", true, "1.50"},  // numbers read back exactly as written
        {"big", true, "12345678901234567890"},
        {"e", true, "1E3"},
        {"t", true, "true"},
        {"f", true, "false"},
        {"k", true, "한글"},
        {"esc", true, std::string("a\"b\0c", 5)},
        {"z", false, ""},
        {"o", false, ""},
        {"a", false, ""},
        {"missing", false, ""},
        {"S", false, ""},  // names match case-sensitively
    };
    for (const auto& c : cases) {
        std::string value = "previous";
        EXPECT_EQ(GetJosnValue_Str(&doc, c.name, value), c.ok) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
    std::string untouched = "previous";
    EXPECT_FALSE(GetJosnValue_Str(nullptr, "s", untouched));
    EXPECT_EQ(untouched, "previous");
}

TEST(GetJosnValue_Int, AcceptsWholeNumbersInTheInt32Range) {
    TJsonObject doc;
    ASSERT_TRUE(
        ParseJsonObject(R"({"n":42,"neg":-7,"s":"123","max":2147483647,"min":-2147483648,)"
                        R"("over":2147483648,"under":-2147483649,"frac":1.5,"exp":1e3,"sl":"12a",)"
                        R"("plus":"+5","blank":" 5","empty":"","t":true,"lead":"007"})",
                        doc));
    const std::vector<std::tuple<const char*, bool, int32_t>> cases = {
        {"n", true, 42},          {"neg", true, -7},   {"s", true, 123},   {"max", true, INT32_MAX},
        {"min", true, INT32_MIN}, {"lead", true, 7},   {"over", false, 0}, {"under", false, 0},
        {"frac", false, 0},       {"exp", false, 0},   {"sl", false, 0},   {"plus", false, 0},
        {"blank", false, 0},      {"empty", false, 0}, {"t", false, 0},    {"missing", false, 0},
    };
    for (const auto& [name, ok, expected] : cases) {
        int32_t value = 99;
        EXPECT_EQ(GetJosnValue_Int(&doc, name, value), ok) << name;
        EXPECT_EQ(value, expected) << name;
    }
}

TEST(GetJosnValue, MissingMemberWritesOneFileLogLine) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("tessil_jsonread_" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(path);
    filelog::SetPath(path.string());
    TJsonObject doc;
    ASSERT_TRUE(ParseJsonObject(R"({"cmd":"X"})", doc));
    std::string s;
    int32_t n = 0;
    GetJosnValue_Str(&doc, "usrid", s);
    GetJosnValue_Int(&doc, "roomNo", n);
    filelog::Flush();
    filelog::SetPath("");
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    EXPECT_NE(text.find("] GetJosnValue_Str : "), std::string::npos) << text;
    EXPECT_NE(text.find("] GetJosnValue_Int : "), std::string::npos) << text;
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tessil

namespace tessil {
namespace {

// Arbitrary and mutated bodies through every helper of the intake path: nothing may
// crash, hang or read out of bounds (run under ASan/UBSan).
TEST(IntakeHelpers, SurviveArbitraryBodies) {
    std::mt19937 rng(11);
    const std::string valid = "TXT" + EncodeStr(R"({"cmd":"LOGIN","usrid":"kim","roomNo":12})");
    for (int i = 0; i < 3000; ++i) {
        std::string body = valid;
        if (i % 3 == 0) {
            body.resize(rng() % 200);
            for (char& c : body) c = static_cast<char>(rng());
        } else {
            for (int k = 0; k < 1 + i % 5; ++k)
                body[rng() % body.size()] = static_cast<char>(rng());
        }
        std::string text = GetStreamData(body);
        RemoveSpace(text);
        const std::string request = DecodeStr(text);
        if (!CheckJsonSyntax(request)) continue;
        TJsonObject doc;
        ASSERT_TRUE(ParseJsonObject(request, doc));
        std::string s;
        int32_t n = 0;
        GetJosnValue_Str(&doc, "cmd", s);
        GetJosnValue_Int(&doc, "roomNo", n);
    }
}

}  // namespace
}  // namespace tessil
