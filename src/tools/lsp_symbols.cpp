// Document symbols, workspace symbols and folding ranges: the definitions
// and labels of a snapshot, and its multi-line comments.

#include <algorithm>

#include "lsp_features.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

// A definition runs from its ':' to the last ';' token before the next
// definition (a body may hold several), or to the last token before it.
struct definition_span {
    const char* colon;
    const char* name;
    const char* last;
};

std::vector<definition_span> definition_spans(const snapshot& snap)
{
    const program& prog = snap.prog;
    const std::vector<const char*>& names = prog.definitions.names;
    std::vector<definition_span> out;
    out.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), names[i]);
        const auto limit = i + 1 < names.size()
                               ? std::lower_bound(at, prog.tokens.end(), names[i + 1]) - 1
                               : prog.tokens.end();
        const char* last = names[i];
        const char* last_semicolon = nullptr;
        for (auto it = at; it < limit; ++it) {
            last = *it;
            if (is_single_char_token(*it, ';')) last_semicolon = *it;
        }
        out.push_back({at == prog.tokens.begin() ? names[i] : *(at - 1), names[i],
                       last_semicolon != nullptr ? last_semicolon : last});
    }
    return out;
}

// The labels a document shows: label tokens outside comments.
std::vector<const char*> shown_labels(const snapshot& snap)
{
    std::vector<const char*> out;
    for (const char* t : snap.prog.tokens)
        if (is_label(t) && !snap.commented(t)) out.push_back(t);
    return out;
}

void write_symbol(json_text& out, position_counter& count, const snapshot& snap, const char* name, int kind,
                  const char* from, const char* to)
{
    const line_character start = count.at(snap.offset(from));
    const line_character end = count.at(snap.offset(token_end(snap.prog, to)));
    const line_character name_start = count.at(snap.offset(name));
    const line_character name_end = count.at(snap.offset(token_end(snap.prog, name)));
    out.raw(R"({"name":)").string(show_word(name, 200)).raw(R"(,"kind":)").number(static_cast<std::size_t>(kind));
    out.raw(R"(,"range":)").range(start, end).raw(R"(,"selectionRange":)").range(name_start, name_end);
}

std::string symbols_text(const snapshot& snap, encoding enc)
{
    const std::vector<definition_span> spans = definition_spans(snap);
    const std::vector<const char*> labels = shown_labels(snap);
    json_text out;
    out.raw("[");
    std::size_t l = 0;
    bool first = true;
    auto label = [&](const char* t, bool& first_in) {
        position_counter count(snap.lines, enc);
        out.raw(first_in ? "" : ",");
        first_in = false;
        write_symbol(out, count, snap, t, 20, t, t);
        out.raw("}");
    };
    for (const definition_span& d : spans) {
        // Labels before this definition stand at the top level.
        for (; l < labels.size() && labels[l] < d.colon; ++l) label(labels[l], first);
        position_counter count(snap.lines, enc);
        out.raw(first ? "" : ",");
        first = false;
        write_symbol(out, count, snap, d.name, 12, d.colon, d.last);
        out.raw(R"(,"children":[)");
        bool first_child = true;
        for (; l < labels.size() && labels[l] <= d.last; ++l) label(labels[l], first_child);
        out.raw("]}");
    }
    for (; l < labels.size(); ++l) label(labels[l], first);
    out.raw("]");
    return std::move(out.text());
}

// True when the characters of query appear in name in order, ignoring case.
bool fuzzy_match(std::string_view name, std::string_view query)
{
    std::size_t at = 0;
    for (const char c : name)
        if (at < query.size() && std::tolower(static_cast<unsigned char>(c)) == std::tolower(static_cast<unsigned char>(query[at])))
            ++at;
    return at == query.size();
}

}  // namespace

raw_json document_symbols(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    if (!snap->cache.symbols) snap->cache.symbols = symbols_text(*snap, s.enc);
    return {*snap->cache.symbols};
}

json workspace_symbols(server_state& s, const json& params)
{
    const std::string query = params.value("query", "");
    constexpr std::size_t max_symbols = 1000;
    json result = json::array();
    for (const auto& [uri, snap] : s.docs.snapshots()) {
        position_counter count(snap->lines, s.enc);
        auto add = [&](const char* t, int kind) {
            const std::string name = show_word(t, 200);
            if (result.size() >= max_symbols || !fuzzy_match(name, query)) return;
            result.push_back({{"name", name}, {"kind", kind},
                              {"location", {{"uri", uri}, {"range", snap->range_of(count, t)}}}});
        };
        for (const char* name : snap->prog.definitions.names) add(name, 12);
        for (const char* t : shown_labels(*snap)) add(t, 20);
    }
    return result;
}

raw_json folding_ranges(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    if (snap->cache.folding) return {*snap->cache.folding};
    // Folding ranges are whole lines: no position counting needed.
    json_text out;
    out.raw("[");
    bool first = true;
    auto fold = [&](const char* from, const char* to, const char* kind) {
        const std::size_t start = snap->lines.line_of(snap->offset(from));
        const std::size_t end = snap->lines.line_of(snap->offset(to));
        if (end <= start) return;
        out.raw(first ? "" : ",").raw(R"({"startLine":)").number(start).raw(R"(,"endLine":)").number(end);
        if (kind != nullptr) out.raw(R"(,"kind":)").string(kind);
        out.raw("}");
        first = false;
    };
    for (const definition_span& d : definition_spans(*snap)) fold(d.colon, d.last, nullptr);
    for (const comment_span& c : snap->comments) fold(c.open, c.close, "comment");
    out.raw("]");
    snap->cache.folding = std::move(out.text());
    return {*snap->cache.folding};
}

}  // namespace lsp
