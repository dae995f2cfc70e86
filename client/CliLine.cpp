// Parser of the command-line client's line language. Stateless; any thread.
#include "client/CliLine.h"

#include <charconv>
#include <optional>

#include "protocol/ClientProtocol.h"
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

constexpr std::string_view kCliWords[] = {"quit",      "exit", "help", "heartbeat", "clientlist",
                                          "handshake", "raw",  "wait", "sleep"};

size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// The refusal of a word that is neither a line word nor a server command.
CliLine unknownWord(const std::string& word) {
    const std::string upper = UpperAscii(word);
    std::string best;
    size_t bestDistance = 3;  // suggest only near misses
    auto consider = [&](std::string_view candidate) {
        const size_t d = editDistance(upper, UpperAscii(candidate));
        if (d < bestDistance) {
            bestDistance = d;
            best = candidate;
        }
    };
    for (const auto& c : CommandTable()) consider(c.word);
    for (const auto w : kCliWords) consider(w);
    std::string text = "unknown word '" + word + "'";
    if (!best.empty()) text += "; did you mean " + best + "?";
    text += " (help lists the commands; a line starting with { is sent as raw JSON)";
    return error(text);
}

// "name:kind" pairs of a command's fields.
std::vector<std::pair<std::string, std::string>> fieldsOf(std::string_view fields) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t i = 0;
    while (i < fields.size()) {
        size_t end = fields.find(' ', i);
        if (end == std::string_view::npos) end = fields.size();
        const std::string_view f = fields.substr(i, end - i);
        const size_t colon = f.find(':');
        out.emplace_back(std::string(f.substr(0, colon)), std::string(f.substr(colon + 1)));
        i = end + 1;
    }
    return out;
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
        if (args > 1) return error("usage: help [COMMAND]");
        l.kind = CliLine::Kind::Help;
        if (args == 1) l.text = (*tokens)[1].text;
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
    } else if (CommandType((*tokens)[0].text) == cmdNone) {
        return unknownWord((*tokens)[0].text);
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

std::string CliLineHelp(std::string_view topic) {
    if (!topic.empty()) {
        const int32_t number = CommandType(topic);
        for (const auto& c : CommandTable()) {
            if (c.number != number) continue;
            std::string out = std::string(c.word) + ": " + std::string(c.summary) + "\n";
            const auto fields = fieldsOf(c.fields);
            if (fields.empty()) out += "  no fields\n";
            std::string example = std::string(c.word);
            for (const auto& [name, kind] : fields) {
                out += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 1, ' ') +
                       kind + "\n";
                example += " " + name + "=" + (kind.rfind("integer", 0) == 0 ? "1" : "x");
            }
            return out + "  e.g. " + example + "\n";
        }
        return "no command '" + std::string(topic) + "'; help lists them\n";
    }
    std::string out = "Server commands (help COMMAND for its fields):\n";
    for (const auto& c : CommandTable()) {
        out += "  " + std::string(c.word) + std::string(12 - c.word.size(), ' ') +
               std::string(c.summary) + "\n";
    }
    return out + R"(Lines:
  CMD name=value ...      a request, e.g. LOGIN usrid=kim pass=1 gcode=G1
                          (integers are sent as JSON numbers; "quoted" values stay text)
  {"cmd":"USRLIST"}       a request given as raw JSON (any cmd, also unknown ones)
  handshake [id=X] [user=X] [pass=X] [version=X]
                          send the client info and wait for the verdict
  heartbeat               one heartbeat round trip
  clientlist              ask for the list of connected clients
  wait CMD [MS]           wait until a reply or event with that cmd arrives (one that
                          arrived earlier and no wait has taken yet counts)
  sleep MS                keep printing what arrives for MS milliseconds
  raw HEX                 send bytes as they stand, e.g. raw 000000000300
  help [COMMAND]          this text, or one command's fields
  quit                    wait for the replies still due, close the connection, leave
  # text                  a comment
Every reply and event is printed as it arrives: "<< ", the time, and its decoded JSON.
)";
}

}  // namespace tessil
