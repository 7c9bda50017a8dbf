#include "platform/BackendConnectionString.h"

#include <algorithm>
#include <cctype>

namespace BackendConnection {

namespace {

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// psqlODBC takes UID's value as written, braces included, and ends it at a ";": a name
// with one of these characters, or spaces around it, would change.
bool NeedsLibpqUser(const std::string& user) {
    return user.find_first_of(";{}") != std::string::npos ||
           (!user.empty() && (IsSpace(user.front()) || IsSpace(user.back())));
}

bool IsClientKey(const std::string& key) {
    const PqOptions& limits = ClientLimits();
    return std::any_of(limits.begin(), limits.end(),
                       [&](const auto& limit) { return limit.first == key; });
}

// Reads one value at `at`: quoted, or up to the next space; false when a quote or an
// escape is left open.
bool ReadValue(const std::string& text, size_t& at, std::string& value) {
    const bool quoted = at < text.size() && text[at] == '\'';
    if (quoted) ++at;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quoted && c == '\'') {
            ++at;
            return true;
        }
        if (!quoted && IsSpace(c)) return true;
        if (c == '\\') {
            if (++at == text.size()) return false;
            value += text[at];
            continue;
        }
        value += c;
    }
    return !quoted;
}

}  // namespace

const PqOptions& ClientLimits() {
    // Limits the PostgreSQL client enforces itself, for a server it can no longer
    // reach: keepalive probes after 10 s of silence, every 5 s, 3 unanswered ones end
    // the connection; data unacknowledged for 30 s ends it; a connect gives up on a
    // server after 10 s. A data source may name several servers (Servername=H1,H2, one
    // Port): they are tried in order, each with its own 10 s, and only one that takes
    // writes is kept, so a hot standby is passed over until it is promoted. Other
    // drivers ignore the attribute.
    static const PqOptions limits = {{"keepalives", "1"},
                                     {"keepalives_idle", "10"},
                                     {"keepalives_interval", "5"},
                                     {"keepalives_count", "3"},
                                     {"tcp_user_timeout", "30000"},
                                     {"connect_timeout", "10"},
                                     {"target_session_attrs", "read-write"}};
    return limits;
}

bool ParsePqOptions(const std::string& text, PqOptions& options) {
    options.clear();
    size_t at = 0;
    for (;;) {
        while (at < text.size() && IsSpace(text[at])) ++at;
        if (at == text.size()) return true;
        const size_t keyStart = at;
        while (at < text.size() && text[at] != '=' && !IsSpace(text[at])) ++at;
        std::string key = text.substr(keyStart, at - keyStart);
        while (at < text.size() && IsSpace(text[at])) ++at;
        if (key.empty() || at == text.size() || text[at] != '=') return false;
        ++at;
        while (at < text.size() && IsSpace(text[at])) ++at;
        std::string value;
        if (!ReadValue(text, at, value)) return false;
        options.emplace_back(std::move(key), std::move(value));
    }
}

std::string PqOptionsText(const PqOptions& options) {
    std::string text;
    for (const auto& [key, value] : options) {
        if (!text.empty()) text += ' ';
        text += key + "='";
        for (char c : value) {
            if (c == '\'' || c == '\\') text += '\\';
            text += c;
        }
        text += '\'';
    }
    return text;
}

std::string Braced(const std::string& value) {
    std::string braced = "{";
    for (char c : value) {
        braced += c;
        if (c == '}') braced += '}';
    }
    return braced + "}";
}

std::string ConnectionString(const std::string& source, const std::string& user,
                             const std::string& password, const std::string& sourceOptions,
                             std::string& error) {
    // The driver manager reads DSN's value up to the next ";" and takes braces as
    // written: such a name cannot be named at all.
    if (source.find_first_of(";{}") != std::string::npos) {
        error = "the data source name \"" + source +
                "\" holds a \";\", \"{\" or \"}\", which a connection string cannot carry; "
                "rename the data source";
        return {};
    }
    PqOptions own;
    if (!ParsePqOptions(sourceOptions, own)) {
        error = "the libpq options (pqopt) of data source " + source +
                " are not key=value pairs: " + sourceOptions;
        return {};
    }
    PqOptions merged;
    for (auto& option : own) {
        if (!IsClientKey(option.first)) merged.push_back(std::move(option));
    }
    const PqOptions& limits = ClientLimits();
    merged.insert(merged.end(), limits.begin(), limits.end());
    std::string text = "DSN=" + source + ";";
    if (NeedsLibpqUser(user)) {
        merged.emplace_back("user", user);
    } else {
        text += "UID=" + user + ";";
    }
    // psqlODBC wraps every statement of a transaction in a savepoint of its own, so
    // that a refused statement leaves the transaction usable (its rollback level 2):
    // one more subtransaction for every row. A backend transaction here ends at its
    // first refused statement anyway; at level 1 a refusal rolls the transaction back,
    // without the savepoints. Other drivers ignore the attributes.
    return text + "PWD=" + Braced(password) + ";pqopt=" + Braced(PqOptionsText(merged)) +
           ";Protocol=7.4-1";
}

}  // namespace BackendConnection
