// Semantic tokens and inlay hints: what the text does, drawn over it.

#include <algorithm>

#include "lsp_features.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

enum token_type { function_type, keyword_type, label_type, variable_type, number_type, string_type, operator_type };
enum token_modifier : unsigned {
    definition_modifier = 1,
    readonly_modifier = 2,
    library_modifier = 4,
    never_runs_modifier = 8,        // in a definition no run calls
    runs_in_comment_modifier = 16,  // inside a comment, where a jump lands and execution goes on
};

// Bodies longer than this, or calls nested deeper, are not followed for an effect.
constexpr int max_effect_tokens = 4096;
constexpr int max_effect_depth = 64;

long effect_code(const snapshot& snap, const char* name, int depth);

// The effect of the body after name up to its first ';', as (pops << 16 | pushes), or -1.
long walk_body(const snapshot& snap, const char* name, int depth)
{
    const program& prog = snap.prog;
    int height = 0, lowest = 0, steps = 0;
    for (const char* t = next_token(name); !ends_word(t); t = next_token(t)) {
        if (++steps > max_effect_tokens || opens_unterminated_string(t)) return -1;
        const cell c = token2string_word(prog.positions, t);
        if (c.tag == cell_tag::LABEL) continue;
        if (c.tag != cell_tag::UNKNOWN) {
            ++height;
            continue;
        }
        int pops = 0, pushes = 0;
        if (const native_info* info = native_at(prog, t)) {
            if (info->handler == nw_comment) {
                t = find_comment_end(t);
                if (t == nullptr) return -1;
                continue;
            }
            // Jumps take ways the text alone does not fix.
            if (info->handler == nw_if || info->handler == nw_loop || info->handler == nw_goto_down ||
                info->handler == nw_goto_up || info->handler == nw_on_goto)
                return -1;
            pops = info->pops;
            pushes = info->pushes;
        } else if (const char* callee = lookup_user_word(prog.index, t)) {
            const long e = effect_code(snap, callee, depth + 1);
            if (e < 0) return -1;
            pops = static_cast<int>(e >> 16);
            pushes = static_cast<int>(e & 0xffff);
        } else {
            return -1;  // an undefined word ends the run
        }
        height -= pops;
        lowest = std::min(lowest, height);
        height += pushes;
        if (height - lowest > 0xffff) return -1;
    }
    return static_cast<long>(-lowest) << 16 | (height - lowest);
}

long effect_code(const snapshot& snap, const char* name, int depth)
{
    auto& memo = snap.cache.effects;
    if (const auto found = memo.find(name); found != memo.end()) return found->second == -2 ? -1 : found->second;
    if (depth > max_effect_depth) return -1;
    memo[name] = -2;  // recursion: unknown
    const long e = walk_body(snap, name, depth);
    memo[name] = e;
    return e;
}

struct classified {
    int type = -1;  // -1: not drawn
    unsigned modifiers = 0;
};

classified classify_token(const snapshot& snap, const char* t, bool runs)
{
    const program& prog = snap.prog;
    if (is_definition_name(snap, t)) return {function_type, definition_modifier};
    if (!runs) return {};
    if (jump_at(snap, t) != nullptr || is_label(t)) return {label_type, is_label(t) ? definition_modifier : 0u};
    if (opens_unterminated_string(t)) return {string_type, 0};
    const cell c = token2string_word(prog.positions, t);
    if (c.tag == cell_tag::STRING) return {string_type, 0};
    if (c.tag == cell_tag::NUMBER)
        return parse_number(t).tag == cell_tag::NUMBER ? classified{number_type, 0}
                                                       : classified{variable_type, t[0] == '?' ? readonly_modifier : 0u};
    if (native_at(prog, t) != nullptr) return {keyword_type, library_modifier};
    if (is_single_char_token(t, ';') || is_single_char_token(t, ':')) return {keyword_type, 0};
    if (called_definition(snap, t) != nullptr) return {function_type, 0};
    return {operator_type, 0};
}

std::string semantic_tokens_text(const snapshot& snap, encoding enc, const std::vector<std::size_t>& never_run)
{
    const std::vector<comment_span> code = comment_code(snap);
    position_counter count(snap.lines, enc);
    json_text out;
    out.raw(R"({"data":[)");
    std::size_t last_line = 0, last_start = 0;
    bool first = true;
    const char* never_until = nullptr;  // the end of a never-run body being drawn
    for (const char* t : snap.prog.tokens) {
        if (std::binary_search(never_run.begin(), never_run.end(), snap.offset(t))) {
            never_until = t;
            while (never_until != nullptr && !ends_word(never_until)) never_until = next_token(never_until);
        }
        const bool in_code = in_comment(code, t);
        classified c = classify_token(snap, t, !snap.commented(t) || in_code);
        if (c.type < 0) continue;
        if (in_code) c.modifiers |= runs_in_comment_modifier;
        if (never_until != nullptr && t <= never_until) c.modifiers |= never_runs_modifier;
        const line_character start = count.at(snap.offset(t));
        const line_character end = count.at(snap.offset(token_end(snap.prog, t)));
        if (end.line != start.line) continue;  // a string literal over lines: not drawn
        out.raw(first ? "" : ",");
        first = false;
        out.number(start.line - last_line).raw(",").number(start.line == last_line ? start.character - last_start : start.character);
        out.raw(",").number(end.character - start.character).raw(",").number(static_cast<std::size_t>(c.type));
        out.raw(",").number(c.modifiers);
        last_line = start.line;
        last_start = start.character;
    }
    out.raw("]}");
    return std::move(out.text());
}

}  // namespace

std::optional<stack_effect> effect_of_definition(const snapshot& snap, const char* name)
{
    const long e = effect_code(snap, name, 0);
    if (e < 0) return std::nullopt;
    return stack_effect{static_cast<int>(e >> 16), static_cast<int>(e & 0xffff)};
}

json semantic_token_legend()
{
    return {{"tokenTypes", {"function", "keyword", "label", "variable", "number", "string", "operator"}},
            {"tokenModifiers", {"definition", "readonly", "defaultLibrary", "neverRuns", "runsInComment"}}};
}

raw_json semantic_tokens_full(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const std::vector<std::size_t> never_run = s.docs.never_run(uri_of(params), *snap);
    // Kept only once the checker's view of this version is in.
    if (snap->cache.semantic_tokens && snap->cache.semantic_tokens_final) return {*snap->cache.semantic_tokens};
    snap->cache.semantic_tokens = semantic_tokens_text(*snap, s.enc, never_run);
    snap->cache.semantic_tokens_final = s.docs.checked(uri_of(params), *snap);
    return {*snap->cache.semantic_tokens};
}

json inlay_hints(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const std::size_t from = snap->lines.offset_of(params.at("range").at("start"), s.enc);
    const std::size_t to = snap->lines.offset_of(params.at("range").at("end"), s.enc);
    const auto& names = snap->prog.definitions.names;
    auto it = std::lower_bound(names.begin(), names.end(), snap->prog.text + from);
    json hints = json::array();
    position_counter count(snap->lines, s.enc);
    for (; it != names.end() && snap->offset(*it) <= to; ++it) {
        const auto effect = effect_of_definition(*snap, *it);
        if (!effect) continue;
        const std::string label = "( " + std::to_string(effect->pops) + " -- " + std::to_string(effect->pushes) + " )";
        hints.push_back({{"position", count.position(snap->offset(token_end(snap->prog, *it)))},
                         {"label", label},
                         {"kind", 1},
                         {"paddingLeft", true},
                         {"tooltip", "takes " + std::to_string(effect->pops) + ", leaves " + std::to_string(effect->pushes)}});
    }
    return hints;
}

}  // namespace lsp
