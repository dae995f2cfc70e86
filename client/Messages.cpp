// Request encoding, reply decoding and client-list parsing of the client library.
// Stateless; any thread.
#include "client/Messages.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

// Copies the top-level "data" and "DATA" members out of a reply as compact JSON, with
// numbers kept exactly as the server wrote them.
class DataCapture : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DataCapture> {
  public:
    struct Value {
        bool present = false;
        bool isString = false;
        std::string text;  // a string's characters, or the value as JSON
    };
    Value lower, upper;

    bool Null() {
        return scalar([](auto& w) { return w.Null(); });
    }
    bool Bool(bool b) {
        return scalar([b](auto& w) { return w.Bool(b); });
    }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        return scalar([&](auto& w) { return w.RawValue(s, n, rapidjson::kNumberType); });
    }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        if (active_ != nullptr && depth_ == 1) {
            active_->isString = true;
            active_->text.assign(s, n);
            active_ = nullptr;
            return true;
        }
        return scalar([&](auto& w) { return w.String(s, n); });
    }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (depth_ == 1 && active_ == nullptr) {
            const std::string_view key(s, n);
            Value* target = key == "data" ? &lower : key == "DATA" ? &upper : nullptr;
            if (target != nullptr && !target->present) {
                target->present = true;
                active_ = target;
                out_.Clear();
                writer_.Reset(out_);
            }
            return true;
        }
        return active_ == nullptr || writer_.Key(s, n);
    }
    bool StartObject() {
        return open([](auto& w) { return w.StartObject(); });
    }
    bool EndObject(rapidjson::SizeType) {
        return close([](auto& w) { return w.EndObject(); });
    }
    bool StartArray() {
        return open([](auto& w) { return w.StartArray(); });
    }
    bool EndArray(rapidjson::SizeType) {
        return close([](auto& w) { return w.EndArray(); });
    }

  private:
    using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

    template <class F>
    bool scalar(F write) {
        if (active_ == nullptr) return true;
        write(writer_);
        if (depth_ == 1) finish();
        return true;
    }
    template <class F>
    bool open(F write) {
        if (active_ != nullptr) write(writer_);
        ++depth_;
        return true;
    }
    template <class F>
    bool close(F write) {
        --depth_;
        if (active_ != nullptr) {
            write(writer_);
            if (depth_ == 1) finish();
        }
        return true;
    }
    void finish() {
        active_->text.assign(out_.GetString(), out_.GetSize());
        active_ = nullptr;
    }

    int depth_ = 0;
    Value* active_ = nullptr;
    rapidjson::StringBuffer out_;
    Writer writer_{out_};
};

std::string stringMember(const rapidjson::Document& doc, const char* lower, const char* upper) {
    auto it = doc.FindMember(lower);
    if (it == doc.MemberEnd()) it = doc.FindMember(upper);
    if (it == doc.MemberEnd() || !it->value.IsString()) return {};
    return {it->value.GetString(), it->value.GetStringLength()};
}

}  // namespace

std::string BuildRequestJson(std::string_view cmd, const std::vector<RequestMember>& members) {
    std::string json = R"({"cmd":")";
    json += JsonEscape(cmd);
    json += '"';
    for (const RequestMember& m : members) {
        json += ",\"";
        json += JsonEscape(m.name);
        json += "\":";
        if (m.raw) {
            json += m.value;
        } else {
            json += '"';
            json += JsonEscape(m.value);
            json += '"';
        }
    }
    json += '}';
    return json;
}

std::string EncodeRequestBody(std::string_view json) {
    return "TXT" + Base64Encode(json);
}

Reply DecodeReply(std::string_view body) {
    Reply r;
    r.body.assign(body);
    r.text = DecodeStr(body);
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag>(
        r.text.data(), r.text.size());
    if (doc.HasParseError() || !doc.IsObject()) return r;
    r.isJson = true;
    r.cmd = stringMember(doc, "cmd", "CMD");
    r.code = stringMember(doc, "code", "CODE");
    DataCapture capture;
    rapidjson::Reader reader;
    rapidjson::StringStream in(r.text.c_str());
    reader.Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag>(in,
                                                                                         capture);
    const DataCapture::Value& data = capture.lower.present ? capture.lower : capture.upper;
    r.dataIsString = data.isString;
    r.data = data.text;
    return r;
}

std::string SerializeIdentity(const ClientIdentity& who) {
    std::string out;
    for (const std::string* field : {&who.id, &who.user, &who.password, &who.version}) {
        out += *field;
        out.push_back('\0');
    }
    return out;
}

std::vector<ClientIdentity> ParseClientList(std::string_view chunks) {
    std::vector<ClientIdentity> list;
    size_t pos = 0;
    while (pos < chunks.size()) {
        ClientIdentity who;
        for (std::string* field : {&who.id, &who.user, &who.password, &who.version}) {
            const size_t zero = chunks.find('\0', pos);
            const size_t end = zero == std::string_view::npos ? chunks.size() : zero;
            field->assign(chunks.substr(pos, end - pos));
            pos = end == chunks.size() ? end : end + 1;
        }
        list.push_back(std::move(who));
    }
    return list;
}

}  // namespace tessil
