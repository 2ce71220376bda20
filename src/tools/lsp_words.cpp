#include <algorithm>

#include "lsp_features.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"

namespace lsp {

std::string uri_of(const json& params) { return params.at("textDocument").at("uri").get<std::string>(); }

std::shared_ptr<const snapshot> model_of(server_state& s, const json& params)
{
    return s.docs.model(uri_of(params), read_patience);
}

const char* token_of(const server_state& s, const snapshot& snap, const json& params)
{
    const program& prog = snap.prog;
    const std::size_t offset = snap.lines.offset_of(params.at("position"), s.enc);
    const char* p = prog.text + std::min(offset, static_cast<std::size_t>(prog.text_end - prog.text));
    const char* t = token_at(prog, p);
    // A cursor right after a token still names it.
    if (t == nullptr && p > prog.text) t = token_at(prog, p - 1);
    return t;
}

bool is_label(const char* t) { return t[0] == '@' && is_word_char(t[1]) && t[1] != '@'; }

bool is_definition_name(const snapshot& snap, const char* t)
{
    // The names stand in text order.
    return std::binary_search(snap.prog.definitions.names.begin(), snap.prog.definitions.names.end(), t);
}

const char* called_definition(const snapshot& snap, const char* t)
{
    const program& prog = snap.prog;
    if (opens_unterminated_string(t) || token2string_word(prog.positions, t).tag != cell_tag::UNKNOWN) return nullptr;
    if (native_at(prog, t) != nullptr) return nullptr;
    return lookup_user_word(prog.index, t);
}

const char* word_target(const snapshot& snap, const char* t)
{
    return is_definition_name(snap, t) ? lookup_user_word(snap.prog.index, t) : called_definition(snap, t);
}

const jump* jump_at(const snapshot& snap, const char* t)
{
    const auto found = snap.jump_of.find(t);
    return found == snap.jump_of.end() ? nullptr : &snap.jumps[found->second];
}

std::size_t token_index(const snapshot& snap, const char* t)
{
    const auto& tokens = snap.prog.tokens;
    return static_cast<std::size_t>(std::lower_bound(tokens.begin(), tokens.end(), t) - tokens.begin());
}

std::string quoted(const char* t) { return std::string("'").append(show_word(t, 200)).append("'"); }

std::vector<comment_span> comment_code(const snapshot& snap)
{
    std::vector<const char*> landings;
    for (const jump& j : snap.jumps)
        if (j.landing != nullptr && snap.commented(j.landing)) landings.push_back(j.landing);
    std::sort(landings.begin(), landings.end());
    landings.erase(std::unique(landings.begin(), landings.end()), landings.end());
    std::vector<comment_span> out;
    for (const char* l : landings) {
        if (!out.empty() && l <= out.back().close) continue;  // an earlier landing's run covers it
        const auto after = std::upper_bound(snap.comments.begin(), snap.comments.end(), l,
                                            [](const char* q, const comment_span& c) { return q < c.open; });
        const comment_span& span = *(after - 1);
        // The run goes on token by token to the first ';', which ends the
        // running word, or to the comment's end.
        const char* last = l;
        while (last < span.close && !is_single_char_token(last, ';')) last = next_token(last);
        out.push_back({l, last});
    }
    return out;
}

json location(server_state& s, const snapshot& snap, const std::string& uri, const char* t)
{
    position_counter count(snap.lines, s.enc);
    return {{"uri", uri}, {"range", snap.range_of(count, t)}};
}

}  // namespace lsp
