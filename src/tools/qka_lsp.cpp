// qka-lsp: a language server for qka scripts over standard input and output.
// Diagnostics are qka-check's findings; definitions, references and hover
// follow the interpreter's own index and label searches.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "check.hpp"
#include "machine/positions.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"

using nlohmann::json;

namespace {

// ---------------------------------------------------------------------------
// Transport: messages framed by a Content-Length header

// A body larger than this is passed over unread; a header block larger than
// this is dropped: neither can come from a sane client.
constexpr std::size_t max_body = 256u << 20;
constexpr std::size_t max_header = 64u << 10;

class channel {
public:
    enum class status { message, end, skipped };

    // The next message body. On skipped, what was wrong is in problem().
    status read(std::string& body)
    {
        problem_.clear();
        // The body of a message too large to keep, passed over unread.
        while (skip_ > 0) {
            if (buffer_.empty() && !fill()) return status::end;
            const std::size_t take = std::min(skip_, buffer_.size());
            buffer_.erase(0, take);
            skip_ -= take;
        }
        // The header block, up to the empty line.
        std::size_t header_end;
        for (;;) {
            header_end = buffer_.find("\r\n\r\n");
            if (header_end != std::string::npos) break;
            if (buffer_.size() > max_header) {
                buffer_.clear();
                problem_ = "a header block without its end was dropped";
                return status::skipped;
            }
            if (!fill()) return status::end;
        }
        const std::string header = buffer_.substr(0, header_end);
        buffer_.erase(0, header_end + 4);
        std::optional<std::size_t> length;
        std::size_t start = 0;
        while (start <= header.size()) {
            std::size_t end = header.find("\r\n", start);
            if (end == std::string::npos) end = header.size();
            const std::string line = header.substr(start, end - start);
            start = end + 2;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            if (name != "content-length") continue;
            const std::string value = line.substr(colon + 1);
            std::size_t pos = value.find_first_not_of(" \t");
            std::size_t n = 0;
            bool digits = false;
            for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
                digits = true;
                if (n > (std::size_t{1} << 40)) break;
                n = n * 10 + static_cast<std::size_t>(value[pos] - '0');
            }
            if (digits && value.find_first_not_of(" \t", pos) == std::string::npos) length = n;
        }
        if (!length) {
            problem_ = "a message without a valid Content-Length header was dropped";
            return status::skipped;
        }
        if (*length > max_body) {
            // Said before the body is passed over, which may take long.
            problem_ = "a message of " + std::to_string(*length) + " bytes, more than the server takes, is dropped";
            skip_ = *length;
            return status::skipped;
        }
        while (buffer_.size() < *length)
            if (!fill()) return status::end;
        body = buffer_.substr(0, *length);
        buffer_.erase(0, *length);
        return status::message;
    }

    // True when a further message can be read without waiting.
    bool pending()
    {
        if (buffer_.find("\r\n\r\n") != std::string::npos) return true;
        pollfd fd{0, POLLIN, 0};
        return ::poll(&fd, 1, 0) > 0;
    }

    const std::string& problem() const { return problem_; }

    void write(const json& message)
    {
        const std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
        const std::string frame = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::write(1, frame.data() + done, frame.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) std::exit(1);  // the client is gone
            done += static_cast<std::size_t>(n);
        }
    }

private:
    bool fill()
    {
        char chunk[1 << 16];
        for (;;) {
            const ssize_t n = ::read(0, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }

    std::string buffer_;
    std::string problem_;
    std::size_t skip_ = 0;
};

// ---------------------------------------------------------------------------
// Documents and positions

enum class encoding { utf16, utf8 };

// The length in bytes of the UTF-8 sequence that starts with byte b (1 for
// bytes that start none, which the client never sends).
std::size_t sequence_length(unsigned char b)
{
    return b < 0xc0 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
}

struct document {
    std::string text;
    std::vector<std::size_t> lines;  // offsets of line starts: \n, \r\n and \r end lines
    std::optional<program> prog;     // read when needed, dropped on change
    std::optional<std::vector<jump>> jumps;
    std::optional<std::vector<comment_span>> comments;
    bool dirty = true;               // diagnostics not yet published

    void changed()
    {
        last_ = {};
        lines.assign(1, 0);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            if (text[i] == '\n' || text[i] == '\r') lines.push_back(i + 1);
        }
        prog.reset();
        jumps.reset();
        comments.reset();
        dirty = true;
    }

    const program& read()
    {
        if (!prog) prog = read_program(text.c_str());
        return *prog;
    }

    const std::vector<jump>& all()
    {
        if (!jumps) jumps = all_jumps(read());
        return *jumps;
    }

    // True for tokens inside the comments a straight reading meets.
    bool commented(const char* p)
    {
        if (!comments) comments = comment_spans(read());
        return in_comment(*comments, p);
    }

    // The end of line l's text, before its line end.
    std::size_t line_end(std::size_t l) const
    {
        std::size_t end = l + 1 < lines.size() ? lines[l + 1] : text.size();
        while (end > lines[l] && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
        return end;
    }

    std::size_t offset_of(const json& position, encoding enc) const
    {
        const auto line = position.at("line").get<std::int64_t>();
        const auto character = position.at("character").get<std::int64_t>();
        if (line < 0 || character < 0) throw std::out_of_range("negative position");
        if (static_cast<std::size_t>(line) >= lines.size()) return text.size();
        const std::size_t l = static_cast<std::size_t>(line);
        const std::size_t end = line_end(l);
        std::size_t at = lines[l];
        for (std::int64_t units = 0; at < end && units < character;) {
            const std::size_t len = std::min(sequence_length(static_cast<unsigned char>(text[at])), end - at);
            units += enc == encoding::utf8 ? static_cast<std::int64_t>(len) : len == 4 ? 2 : 1;
            at += len;
        }
        return at;
    }

    json position_of(std::size_t offset, encoding enc) const
    {
        offset = std::min(offset, text.size());
        const auto after = std::upper_bound(lines.begin(), lines.end(), offset);
        const std::size_t l = static_cast<std::size_t>(after - lines.begin()) - 1;
        // Positions are mostly asked for in order (diagnostics, ranges): a
        // later one on the same line counts on from the last, so that a long
        // line is not counted again for each.
        if (!(last_.line == l && last_.offset <= offset && last_.enc == enc)) last_ = {l, lines[l], 0, enc};
        while (last_.offset < offset) {
            const std::size_t len = sequence_length(static_cast<unsigned char>(text[last_.offset]));
            last_.units += enc == encoding::utf8 ? len : len == 4 ? 2 : 1;
            last_.offset += len;
        }
        return {{"line", l}, {"character", last_.units}};
    }

private:
    struct counted {
        std::size_t line = SIZE_MAX;
        std::size_t offset = 0;
        std::size_t units = 0;
        encoding enc = encoding::utf16;
    };
    mutable counted last_;
};

// ---------------------------------------------------------------------------
// The server

namespace error_code {
constexpr int parse_error = -32700;
constexpr int invalid_request = -32600;
constexpr int method_not_found = -32601;
constexpr int invalid_params = -32602;
constexpr int server_not_initialized = -32002;
}  // namespace error_code

struct request_error {
    int code;
    std::string message;
};

// The most diagnostics published for one document; a script with more has
// bigger problems than the ones left out.
constexpr std::size_t max_diagnostics = 1000;

class server {
public:
    int run()
    {
        for (;;) {
            std::string body;
            switch (io_.read(body)) {
            case channel::status::end:
                return shut_down_ ? 0 : 1;  // the client is gone
            case channel::status::skipped:
                log(1, io_.problem());
                continue;
            case channel::status::message:
                break;
            }
            handle(body);
            if (exiting_) return shut_down_ ? 0 : 1;
            if (!io_.pending()) publish_changed();
        }
    }

private:
    void handle(const std::string& body)
    {
        json message;
        try {
            message = json::parse(body);
        } catch (const json::exception& e) {
            respond_error(nullptr, error_code::parse_error, std::string("parse error: ") + e.what());
            return;
        }
        if (!message.is_object()) {
            respond_error(nullptr, error_code::invalid_request, "a message must be a JSON object");
            return;
        }
        const auto method = message.find("method");
        const auto id = message.find("id");
        const bool has_id = id != message.end() && (id->is_number_integer() || id->is_string());
        if (id != message.end() && !has_id && !id->is_null()) {
            respond_error(nullptr, error_code::invalid_request, "an id must be a number or a string");
            return;
        }
        if (method == message.end()) return;  // a response: the server sends no requests
        if (!method->is_string()) {
            respond_error(has_id ? *id : json(nullptr), error_code::invalid_request, "the method must be a string");
            return;
        }
        const std::string name = method->get<std::string>();
        static const json no_params = json::object();
        const auto found = message.find("params");
        const json& params = found == message.end() ? no_params : *found;
        if (!has_id) {
            notification(name, params);
            return;
        }
        try {
            io_.write({{"jsonrpc", "2.0"}, {"id", *id}, {"result", request(name, params)}});
        } catch (const request_error& e) {
            respond_error(*id, e.code, e.message);
        } catch (const json::exception& e) {
            respond_error(*id, error_code::invalid_params, std::string("invalid params: ") + e.what());
        } catch (const std::out_of_range& e) {
            respond_error(*id, error_code::invalid_params, std::string("invalid params: ") + e.what());
        }
    }

    json request(const std::string& name, const json& params)
    {
        if (name == "initialize") {
            if (initialized_) throw request_error{error_code::invalid_request, "initialize was sent twice"};
            initialized_ = true;
            return initialize(params);
        }
        if (!initialized_) throw request_error{error_code::server_not_initialized, "initialize first"};
        if (shut_down_) throw request_error{error_code::invalid_request, "the server is shut down"};
        if (name == "shutdown") {
            shut_down_ = true;
            return nullptr;
        }
        if (name == "textDocument/definition") return definition(params);
        if (name == "textDocument/references") return references(params);
        if (name == "textDocument/hover") return hover(params);
        if (name == "textDocument/documentSymbol") return symbols(params);
        if (name == "textDocument/completion") return completion(params);
        throw request_error{error_code::method_not_found, "unknown method " + name};
    }

    void notification(const std::string& name, const json& params)
    {
        if (name == "exit") {
            exiting_ = true;
            return;
        }
        if (!initialized_ || shut_down_) return;
        try {
            if (name == "textDocument/didOpen") {
                const json& item = params.at("textDocument");
                document& doc = documents_[item.at("uri").get<std::string>()];
                doc.text = item.at("text").get<std::string>();
                doc.changed();
            } else if (name == "textDocument/didChange") {
                const auto uri = params.at("textDocument").at("uri").get<std::string>();
                const auto found = documents_.find(uri);
                if (found == documents_.end()) return;
                document& doc = found->second;
                for (const json& change : params.at("contentChanges")) {
                    const std::string text = change.at("text").get<std::string>();
                    if (const auto range = change.find("range"); range != change.end()) {
                        const std::size_t start = doc.offset_of(range->at("start"), encoding_);
                        const std::size_t end = std::max(start, doc.offset_of(range->at("end"), encoding_));
                        doc.text.replace(start, end - start, text);
                    } else {
                        doc.text = text;
                    }
                    doc.changed();
                }
            } else if (name == "textDocument/didClose") {
                const auto uri = params.at("textDocument").at("uri").get<std::string>();
                if (documents_.erase(uri) != 0) publish(uri, json::array());
            }
        } catch (const json::exception& e) {
            log(1, "invalid " + name + " notification: " + e.what());
        } catch (const std::out_of_range& e) {
            log(1, "invalid " + name + " notification: " + e.what());
        }
    }

    json initialize(const json& params)
    {
        // UTF-8 positions where the client can take them, else the default UTF-16.
        const json* offered = nullptr;
        if (params.is_object())
            if (auto general = params.find("capabilities"); general != params.end() && general->is_object())
                if (auto g = general->find("general"); g != general->end() && g->is_object())
                    if (auto encs = g->find("positionEncodings"); encs != g->end() && encs->is_array())
                        offered = &*encs;
        if (offered != nullptr && std::find(offered->begin(), offered->end(), "utf-8") != offered->end())
            encoding_ = encoding::utf8;
        json capabilities = {
            {"positionEncoding", encoding_ == encoding::utf8 ? "utf-8" : "utf-16"},
            {"textDocumentSync", {{"openClose", true}, {"change", 2}}},
            {"definitionProvider", true},
            {"referencesProvider", true},
            {"hoverProvider", true},
            {"documentSymbolProvider", true},
            {"completionProvider", {{"triggerCharacters", {"@"}}}},
        };
        return {{"capabilities", capabilities}, {"serverInfo", {{"name", "qka-lsp"}, {"version", "0.16"}}}};
    }

    document& doc_of(const json& params)
    {
        const auto uri = params.at("textDocument").at("uri").get<std::string>();
        const auto found = documents_.find(uri);
        if (found == documents_.end()) throw request_error{error_code::invalid_params, "document not open: " + uri};
        return found->second;
    }

    json range_of(const document& doc, const program& prog, const char* p) const
    {
        const auto start = static_cast<std::size_t>(p - prog.text);
        const auto end = static_cast<std::size_t>(token_end(prog, p) - prog.text);
        return {{"start", doc.position_of(start, encoding_)}, {"end", doc.position_of(std::max(start, end), encoding_)}};
    }

    json location(const json& params, const document& doc, const program& prog, const char* p) const
    {
        return {{"uri", params.at("textDocument").at("uri")}, {"range", range_of(doc, prog, p)}};
    }

    // The token under the position of the request, or nullptr.
    const char* token_of(const json& params, document& doc)
    {
        const program& prog = doc.read();
        const std::size_t offset = doc.offset_of(params.at("position"), encoding_);
        const char* p = prog.text + std::min(offset, static_cast<std::size_t>(prog.text_end - prog.text));
        const char* t = token_at(prog, p);
        // A cursor right after a token still names it.
        if (t == nullptr && p > prog.text) t = token_at(prog, p - 1);
        return t;
    }

    // The word a token calls when it runs: the definition the index finds.
    static const char* called_definition(const program& prog, const char* t)
    {
        if (opens_unterminated_string(t) || token2string_word(prog.positions, t).tag != cell_tag::UNKNOWN) return nullptr;
        if (native_at(prog, t) != nullptr) return nullptr;
        return lookup_user_word(prog.index, t);
    }

    static bool is_definition_name(const program& prog, const char* t)
    {
        return std::find(prog.definitions.names.begin(), prog.definitions.names.end(), t) != prog.definitions.names.end();
    }

    json definition(const json& params)
    {
        document& doc = doc_of(params);
        const char* t = token_of(params, doc);
        if (t == nullptr) return nullptr;
        const program& prog = doc.read();
        if (const std::optional<jump> j = jump_of_reference(prog, t)) {
            if (j->landing == nullptr) return nullptr;
            return location(params, doc, prog, j->landing);
        }
        const char* name = is_definition_name(prog, t) ? lookup_user_word(prog.index, t) : called_definition(prog, t);
        if (name == nullptr) return nullptr;
        return location(params, doc, prog, name);
    }

    json references(const json& params)
    {
        document& doc = doc_of(params);
        const char* t = token_of(params, doc);
        json result = json::array();
        if (t == nullptr) return result;
        const program& prog = doc.read();
        bool declaration = false;
        if (auto context = params.find("context"); context != params.end())
            declaration = context->value("includeDeclaration", false);
        // A label: the references of every jump that lands on it.
        const char* label = nullptr;
        if (const std::optional<jump> j = jump_of_reference(prog, t))
            label = j->landing;
        else if (t[0] == '@' && is_word_char(t[1]))
            label = t;
        if (label != nullptr) {
            if (declaration) result.push_back(location(params, doc, prog, label));
            for (const jump& j : doc.all())
                if (j.landing == label && j.reference != nullptr) result.push_back(location(params, doc, prog, j.reference));
            return result;
        }
        const char* name = is_definition_name(prog, t) ? lookup_user_word(prog.index, t) : called_definition(prog, t);
        if (name == nullptr) return result;
        for (const char* u : prog.tokens) {
            if (word_compare(u, name) != 0 || doc.commented(u)) continue;
            if (is_definition_name(prog, u)) {
                if (declaration && u == name) result.push_back(location(params, doc, prog, u));
            } else if (called_definition(prog, u) == name) {
                result.push_back(location(params, doc, prog, u));
            }
        }
        return result;
    }

    // The comment right before the ':' of a definition, without its marks.
    static std::string comment_before(const program& prog, const char* name)
    {
        const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), name);
        if (at == prog.tokens.end() || *at != name || at - prog.tokens.begin() < 2) return {};
        const auto close_at = at - 2;  // the token before the ':'
        if (word_compare(*close_at, comment_end) != 0) return {};
        const char* close = *close_at;
        for (auto open = close_at; open != prog.tokens.begin();) {
            --open;
            if (word_compare(*open, "/*") == 0) {
                std::string text(*open + 2, close);
                const auto first = text.find_first_not_of(" \t\r\n");
                const auto last = text.find_last_not_of(" \t\r\n");
                return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
            }
            if (word_compare(*open, comment_end) == 0) break;
        }
        return {};
    }

    std::string line_text(const program& prog, const char* p) const
    {
        const char* start = p;
        while (start > prog.text && start[-1] != '\n' && start[-1] != '\r') --start;
        const char* end = p;
        while (end < prog.text_end && *end != '\n' && *end != '\r') ++end;
        std::string line(start, end);
        const auto first = line.find_first_not_of(" \t");
        return first == std::string::npos ? std::string() : line.substr(first);
    }

    json hover(const json& params)
    {
        document& doc = doc_of(params);
        const char* t = token_of(params, doc);
        if (t == nullptr) return nullptr;
        const program& prog = doc.read();
        std::string text;
        if (const std::optional<jump> j = jump_of_reference(prog, t)) {
            if (j->landing == nullptr) {
                text = "Label `" + show_word(t + 1) + "` is not found " + (j->backward ? "before" : "after") +
                       " this reference.";
            } else {
                text = "Jumps to line " + std::to_string(locate(prog, j->landing).line) + ":\n\n```qka\n" +
                       line_text(prog, j->landing) + "\n```";
            }
        } else if (const native_info* info = native_at(prog, t);
                   info != nullptr && !opens_unterminated_string(t) &&
                   token2string_word(prog.positions, t).tag == cell_tag::UNKNOWN) {
            text = "`" + std::string(info->name) + "` `" + info->effect + "`\n\n" + info->summary;
        } else if (const char* name = is_definition_name(prog, t) ? lookup_user_word(prog.index, t)
                                                                   : called_definition(prog, t)) {
            text = "`" + show_word(name, 200) + "`, defined at line " + std::to_string(locate(prog, name).line);
            const std::string comment = comment_before(prog, name);
            if (!comment.empty()) text += "\n\n" + comment;
        } else if (t[0] == '@' && is_word_char(t[1])) {
            std::size_t landing = 0;
            for (const jump& j : doc.all())
                if (j.landing == t) ++landing;
            text = "Label `" + show_word(t, 200) + "`: " +
                   (landing == 0 ? std::string("no jump lands here.")
                                 : std::to_string(landing) + (landing == 1 ? " jump lands" : " jumps land") + " here.");
        } else {
            return nullptr;
        }
        return {{"contents", {{"kind", "markdown"}, {"value", text}}}, {"range", range_of(doc, prog, t)}};
    }

    json symbols(const json& params)
    {
        document& doc = doc_of(params);
        const program& prog = doc.read();
        std::unordered_set<const char*> references;
        for (const jump& j : doc.all())
            if (j.reference != nullptr) references.insert(j.reference);
        json result = json::array();
        // A definition runs from its ':' to the last ';' token before the next
        // definition (a body may hold several), or to the last token before it.
        struct span_of { const char* start; const char* end; std::size_t index; };
        std::vector<span_of> spans;
        const std::vector<const char*>& names = prog.definitions.names;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const char* name = names[i];
            const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), name);
            const char* colon = at == prog.tokens.begin() ? name : *(at - 1);
            const auto limit = i + 1 < names.size()
                                   ? std::lower_bound(prog.tokens.begin(), prog.tokens.end(), names[i + 1]) - 1
                                   : prog.tokens.end();
            const char* last = name;
            const char* last_semicolon = nullptr;
            for (auto it = at; it < limit; ++it) {
                last = *it;
                if (is_single_char_token(*it, ';')) last_semicolon = *it;
            }
            if (last_semicolon != nullptr) last = last_semicolon;
            json symbol = {{"name", show_word(name, 200)},
                           {"kind", 12},
                           {"range", {{"start", range_of(doc, prog, colon)["start"]}, {"end", range_of(doc, prog, last)["end"]}}},
                           {"selectionRange", range_of(doc, prog, name)},
                           {"children", json::array()}};
            spans.push_back({colon, token_end(prog, last), result.size()});
            result.push_back(symbol);
        }
        for (const char* t : prog.tokens) {
            if (t[0] != '@' || !is_word_char(t[1]) || t[1] == '@' || references.contains(t) || doc.commented(t)) continue;
            json symbol = {{"name", show_word(t, 200)}, {"kind", 20}, {"range", range_of(doc, prog, t)},
                           {"selectionRange", range_of(doc, prog, t)}};
            const span_of* inside = nullptr;
            for (const span_of& s : spans)
                if (s.start <= t && t < s.end) inside = &s;
            if (inside != nullptr)
                result[inside->index]["children"].push_back(symbol);
            else
                result.push_back(symbol);
        }
        return result;
    }

    json completion(const json& params)
    {
        document& doc = doc_of(params);
        const program& prog = doc.read();
        json items = json::array();
        for (const native_info& info : native_infos())
            items.push_back({{"label", info.name}, {"kind", 14}, {"detail", info.effect}, {"documentation", info.summary}});
        std::set<std::string> seen;
        for (const char* name : prog.definitions.names) {
            std::string word = show_word(name, 200);
            if (native_at(prog, name) != nullptr || !seen.insert(word).second) continue;
            items.push_back({{"label", word}, {"kind", 3}, {"detail", "defined at line " + std::to_string(locate(prog, name).line)}});
        }
        std::unordered_set<const char*> references;
        for (const jump& j : doc.all())
            if (j.reference != nullptr) references.insert(j.reference);
        std::set<std::string> labels;
        for (const char* t : prog.tokens)
            if (t[0] == '@' && is_word_char(t[1]) && t[1] != '@' && !references.contains(t) && !doc.commented(t))
                labels.insert(show_word(t, 200));
        for (const std::string& label : labels)
            items.push_back({{"label", "@" + label}, {"kind", 18}, {"detail", "reference to label " + label}});
        return {{"isIncomplete", false}, {"items", items}};
    }

    void publish_changed()
    {
        for (auto& [uri, doc] : documents_) {
            if (!doc.dirty) continue;
            doc.dirty = false;
            const program& prog = doc.read();
            json diagnostics = json::array();
            for (const finding& f : check_program(prog)) {
                if (diagnostics.size() == max_diagnostics) break;
                diagnostics.push_back({{"range", range_of(doc, prog, f.where)},
                                       {"severity", f.level == severity::error ? 1 : f.level == severity::warning ? 2 : 3},
                                       {"source", "qka-check"},
                                       {"message", f.message}});
            }
            publish(uri, diagnostics);
        }
    }

    void publish(const std::string& uri, json diagnostics)
    {
        io_.write({{"jsonrpc", "2.0"},
                   {"method", "textDocument/publishDiagnostics"},
                   {"params", {{"uri", uri}, {"diagnostics", std::move(diagnostics)}}}});
    }

    void respond_error(const json& id, int code, const std::string& message)
    {
        io_.write({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
    }

    void log(int type, const std::string& message)
    {
        io_.write({{"jsonrpc", "2.0"}, {"method", "window/logMessage"}, {"params", {{"type", type}, {"message", message}}}});
    }

    channel io_;
    std::map<std::string, document> documents_;
    encoding encoding_ = encoding::utf16;
    bool initialized_ = false;
    bool shut_down_ = false;
    bool exiting_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--stdio") continue;  // what clients often pass; it is the only transport
        if (arg == "--version") return std::puts("qka-lsp " QKA_VERSION) < 0 ? 1 : 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs("usage: qka-lsp [--stdio]\nA language server for qka scripts on standard input and output.\n",
                       stdout);
            return 0;
        }
        std::fprintf(stderr, "qka-lsp: unknown argument %s\nusage: qka-lsp [--stdio]\n", argv[i]);
        return 1;
    }
    // A closed pipe shows as a failed write, which ends the server quietly.
    std::signal(SIGPIPE, SIG_IGN);
    server s;
    return s.run();
}
