// Runs every example exchange of docs/protocol.md against a real server over loopback:
// the bytes and requests shown are sent, and the replies shown must arrive, nothing more.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "client/Messages.h"
#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

// One example: the heading it stands under and its lines.
struct Example {
    std::string name;
    std::vector<std::string> lines;
};

std::vector<Example> readExamples() {
    std::ifstream in(std::string(TESSIL_SOURCE_DIR) + "/docs/protocol.md");
    std::vector<Example> out;
    std::string line, heading;
    bool inBlock = false;
    std::map<std::string, int> seen;
    while (std::getline(in, line)) {
        if (!inBlock && line.rfind("#", 0) == 0) {
            heading.clear();
            for (char c : line) {
                if (std::isalnum(static_cast<unsigned char>(c))) heading.push_back(c);
            }
        } else if (!inBlock && line == "```exchange") {
            inBlock = true;
            const int n = ++seen[heading];
            out.push_back({heading + (n > 1 ? "_" + std::to_string(n) : ""), {}});
        } else if (inBlock && line == "```") {
            inBlock = false;
        } else if (inBlock && !line.empty()) {
            out.back().lines.push_back(line);
        }
    }
    return out;
}

std::string hexBytes(const std::string& text) {
    std::string bytes;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
    return bytes;
}

std::string toHex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class ProtocolDoc : public ::testing::TestWithParam<Example> {
  protected:
    // Replaces every $NAME by its bound value.
    std::string substitute(std::string text) const {
        for (const auto& [name, value] : vars_) {
            for (size_t at; (at = text.find(name)) != std::string::npos;) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    }

    // The expected text against the actual one: a $NAME not yet bound matches digits (with
    // an optional minus) and binds them; everything else must be equal.
    bool matches(const std::string& expected, const std::string& actual) {
        const std::string want = substitute(expected);
        std::map<std::string, std::string> bound;
        size_t w = 0, a = 0;
        while (w < want.size()) {
            if (want[w] == '$' && w + 1 < want.size() &&
                std::isupper(static_cast<unsigned char>(want[w + 1]))) {
                size_t end = w + 1;
                while (end < want.size() && std::isupper(static_cast<unsigned char>(want[end])))
                    ++end;
                size_t digits = a;
                if (digits < actual.size() && actual[digits] == '-') ++digits;
                while (digits < actual.size() &&
                       std::isdigit(static_cast<unsigned char>(actual[digits])))
                    ++digits;
                if (digits == a) return false;
                bound[want.substr(w, end - w)] = actual.substr(a, digits - a);
                w = end;
                a = digits;
                continue;
            }
            if (a >= actual.size() || want[w] != actual[a]) return false;
            ++w;
            ++a;
        }
        if (a != actual.size()) return false;
        for (auto& [name, value] : bound) vars_[name] = value;
        return true;
    }

    LobbyClient& client(const std::string& who) {
        auto& c = clients_[who];
        if (!c) {
            c = std::make_unique<LobbyClient>();
            c->Connect("127.0.0.1", server_.Port());
        }
        return *c;
    }

    void run(const std::string& line) {
        // "who op rest", op being >, < or =.
        const size_t blank = line.find(' ');
        ASSERT_TRUE(blank != std::string::npos && blank + 1 < line.size() &&
                    std::string_view("<>=").find(line[blank + 1]) != std::string_view::npos)
            << "unreadable line: " << line;
        const std::string who = line.substr(0, blank), op = line.substr(blank + 1, 1);
        const std::string rest = line.size() > blank + 3 ? line.substr(blank + 3) : "";
        if (op == "=") {
            ASSERT_FALSE(clients_.count(who)) << line;
            if (rest == "connected") {
                clients_[who] = server_.Connect();
            } else if (rest == "logged in") {
                clients_[who] = server_.Login(who);
            } else {
                FAIL() << "unknown state in: " << line;
            }
            return;
        }
        LobbyClient& c = client(who);
        if (op == ">") {
            if (rest.rfind("hex ", 0) == 0) {
                c.SendRaw(hexBytes(rest.substr(4)));
            } else {
                c.SendRequest(substitute(rest));
            }
            return;
        }
        if (rest == "closed") {
            EXPECT_TRUE(c.WaitClosed(std::chrono::milliseconds(3000))) << line;
            return;
        }
        const bool hex = rest.rfind("hex ", 0) == 0;
        auto f = c.WaitFrame(
            [&](const Frame& fr) {
                if (hex) return toHex(fr.Raw()) == rest.substr(4);
                return fr.type == mtData && matches(rest, DecodeReply(fr.body).text);
            },
            std::chrono::milliseconds(3000));
        EXPECT_TRUE(f.has_value()) << "did not arrive: " << line << "\nqueued: " << queued(c);
    }

    std::string queued(LobbyClient& c) {
        std::string all;
        while (auto f = c.ReadFrame(std::chrono::milliseconds(0))) {
            all += "\n  " + (f->type == mtData ? DecodeReply(f->body).text : toHex(f->Raw()));
        }
        return all;
    }

    test::E2eServer server_;
    std::map<std::string, std::unique_ptr<LobbyClient>> clients_;
    std::map<std::string, std::string> vars_;
};

TEST_P(ProtocolDoc, ExampleHoldsAgainstTheServer) {
    for (const auto& line : GetParam().lines) {
        run(line);
        if (HasFatalFailure()) return;
    }
    // Nothing the example does not show may arrive.
    for (auto& [who, c] : clients_) {
        try {
            if (c->IsConnected()) c->Pump(std::chrono::milliseconds(150));
        } catch (const ClientError&) {
            // Closed by the server: what it sent before is still queued.
        }
        EXPECT_EQ(queued(*c), "") << who << " received more than the example shows";
    }
}

// Guards the reader: a renamed file or a changed block marker would otherwise run nothing.
TEST(ProtocolDocFile, ExamplesAreFound) {
    EXPECT_FALSE(readExamples().empty());
}

INSTANTIATE_TEST_SUITE_P(Examples, ProtocolDoc, ::testing::ValuesIn(readExamples()),
                         [](const ::testing::TestParamInfo<Example>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace tessil
