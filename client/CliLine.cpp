// Parser of the command-line client's line language. Stateless; any thread.
#include "client/CliLine.h"

#include <charconv>
#include <optional>

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

struct Token {
    std::string text;
    bool quoted = false;  // the value (after '=') was written in quotes
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits at blanks; a double-quoted stretch keeps its blanks, with \" and \\ escapes.
std::optional<std::vector<Token>> tokenize(std::string_view line, std::string& error) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i == line.size()) break;
        Token t;
        while (i < line.size() && !isBlank(line[i])) {
            if (line[i] != '"') {
                t.text.push_back(line[i++]);
                continue;
            }
            t.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    t.text.push_back(line[i++]);
                } else {
                    t.text.push_back(c);
                }
            }
            if (!closed) {
                error = "unterminated quote";
                return std::nullopt;
            }
        }
        tokens.push_back(std::move(t));
    }
    return tokens;
}

std::optional<int64_t> parseMillis(std::string_view text) {
    int64_t v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size() || v < 0) return std::nullopt;
    return v;
}

std::vector<std::string_view> hexDigits(std::string_view text) {
    std::vector<std::string_view> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(text.substr(i, 2));
    return out;
}

CliLine error(std::string text) {
    CliLine l;
    l.kind = CliLine::Kind::Error;
    l.text = std::move(text);
    return l;
}

CliLine parseRaw(const std::vector<Token>& tokens) {
    std::string hex;
    for (size_t i = 1; i < tokens.size(); ++i) hex += tokens[i].text;
    if (hex.empty() || hex.size() % 2 != 0) return error("raw needs an even number of hex digits");
    CliLine l;
    l.kind = CliLine::Kind::Raw;
    for (const auto pair : hexDigits(hex)) {
        unsigned v = 0;
        const auto [ptr, ec] = std::from_chars(pair.data(), pair.data() + 2, v, 16);
        if (ec != std::errc() || ptr != pair.data() + 2) return error("bad hex digits in raw");
        l.bytes.push_back(static_cast<char>(v));
    }
    return l;
}

CliLine parseHandshake(const std::vector<Token>& tokens) {
    CliLine l;
    l.kind = CliLine::Kind::Handshake;
    l.who = {"tessil-cli", "", "", "1.0"};
    for (size_t i = 1; i < tokens.size(); ++i) {
        const std::string& t = tokens[i].text;
        const size_t eq = t.find('=');
        if (eq == std::string::npos) return error("expected name=value, got '" + t + "'");
        const std::string name = t.substr(0, eq), value = t.substr(eq + 1);
        if (name == "id") {
            l.who.id = value;
        } else if (name == "user") {
            l.who.user = value;
        } else if (name == "pass") {
            l.who.password = value;
        } else if (name == "version") {
            l.who.version = value;
        } else {
            return error("handshake takes id, user, pass and version, not '" + name + "'");
        }
    }
    return l;
}

}  // namespace

bool LooksLikeInteger(std::string_view value) {
    if (!value.empty() && value.front() == '-') value.remove_prefix(1);
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    return value == "0" || value.front() != '0';
}

CliLine ParseCliLine(std::string_view line) {
    const std::string trimmed = TrimControl(line);
    CliLine l;
    if (trimmed.empty() || trimmed.front() == '#') return l;
    if (trimmed.front() == '{') {
        l.kind = CliLine::Kind::Json;
        l.text = trimmed;
        return l;
    }
    std::string why;
    const auto tokens = tokenize(trimmed, why);
    if (!tokens) return error(why);
    const std::string word = UpperAscii((*tokens)[0].text);
    const size_t args = tokens->size() - 1;

    if (word == "QUIT" || word == "EXIT") {
        l.kind = CliLine::Kind::Quit;
    } else if (word == "HELP" || word == "?") {
        l.kind = CliLine::Kind::Help;
    } else if (word == "HEARTBEAT") {
        l.kind = CliLine::Kind::Heartbeat;
    } else if (word == "CLIENTLIST") {
        l.kind = CliLine::Kind::ClientList;
    } else if (word == "HANDSHAKE") {
        return parseHandshake(*tokens);
    } else if (word == "RAW") {
        return parseRaw(*tokens);
    } else if (word == "WAIT") {
        if (args < 1 || args > 2) return error("usage: wait CMD [MILLISECONDS]");
        l.kind = CliLine::Kind::Wait;
        l.text = (*tokens)[1].text;
        if (args == 2) {
            const auto ms = parseMillis((*tokens)[2].text);
            if (!ms) return error("bad time-out '" + (*tokens)[2].text + "'");
            l.millis = *ms;
        }
    } else if (word == "SLEEP") {
        const auto ms = args == 1 ? parseMillis((*tokens)[1].text) : std::nullopt;
        if (!ms) return error("usage: sleep MILLISECONDS");
        l.kind = CliLine::Kind::Sleep;
        l.millis = *ms;
    } else {
        l.kind = CliLine::Kind::Command;
        l.text = (*tokens)[0].text;
        for (size_t i = 1; i < tokens->size(); ++i) {
            const Token& t = (*tokens)[i];
            const size_t eq = t.text.find('=');
            if (eq == std::string::npos || eq == 0) {
                return error("expected name=value, got '" + t.text + "'");
            }
            RequestMember m{t.text.substr(0, eq), t.text.substr(eq + 1), false};
            m.raw = !t.quoted && LooksLikeInteger(m.value);
            l.members.push_back(std::move(m));
        }
    }
    return l;
}

std::string CliLineHelp() {
    return R"(Lines:
  CMD name=value ...      a request, e.g. LOGIN usrid=kim pass=1 gcode=G1
                          (integers are sent as JSON numbers; "quoted" values stay text)
  {"cmd":"USRLIST"}       a request given as raw JSON
  handshake [id=X] [user=X] [pass=X] [version=X]
                          send the client info and wait for the verdict
  heartbeat               one heartbeat round trip
  clientlist              ask for the list of connected clients
  wait CMD [MS]           wait until a reply or event with that cmd arrives (one that
                          arrived earlier and no wait has taken yet counts)
  sleep MS                keep printing what arrives for MS milliseconds
  raw HEX                 send bytes as they stand, e.g. raw 000000000300
  quit                    close the connection and leave
  # text                  a comment
Every reply and event is printed as it arrives: "<< " and its decoded text.
)";
}

}  // namespace tessil
