// Definitions, references and highlights: a call leads to the definition the
// interpreter's index finds, a label reference to the label its jump lands on.

#include <algorithm>

#include "lsp_features.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

struct occurrence {
    const char* token;
    bool declaration;  // the definition's name or the label itself
};

// The label a token stands for: itself, or the label its jump lands on.
const char* label_of(const snapshot& snap, const char* t)
{
    if (const jump* j = jump_at(snap, t)) return j->landing;
    return is_label(t) ? t : nullptr;
}

// Every place of the word or label under t, in text order; empty when t is
// neither.
std::vector<occurrence> occurrences(const snapshot& snap, const char* t)
{
    std::vector<occurrence> out;
    if (jump_at(snap, t) != nullptr || is_label(t)) {
        const char* label = label_of(snap, t);
        if (label == nullptr) return out;
        out.push_back({label, true});
        for (const jump& j : snap.jumps)
            if (j.landing == label && j.reference != nullptr) out.push_back({j.reference, false});
    } else if (const char* name = word_target(snap, t)) {
        const std::vector<comment_span> code = comment_code(snap);
        for (const char* u : snap.prog.tokens) {
            if (word_compare(u, name) != 0) continue;
            if (is_definition_name(snap, u)) {
                if (u == name) out.push_back({u, true});
            } else if ((!snap.commented(u) || in_comment(code, u)) && called_definition(snap, u) == name) {
                out.push_back({u, false});
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const occurrence& a, const occurrence& b) { return a.token < b.token; });
    return out;
}

}  // namespace

json find_definition(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const char* t = token_of(s, *snap, params);
    if (t == nullptr) return nullptr;
    const char* target = nullptr;
    if (const jump* j = jump_at(*snap, t))
        target = j->landing;
    else
        target = word_target(*snap, t);
    if (target == nullptr) return nullptr;
    return location(s, *snap, uri_of(params), target);
}

json find_references(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const char* t = token_of(s, *snap, params);
    json result = json::array();
    if (t == nullptr) return result;
    bool declaration = false;
    if (auto context = params.find("context"); context != params.end())
        declaration = context->value("includeDeclaration", false);
    const std::string uri = uri_of(params);
    position_counter count(snap->lines, s.enc);
    for (const occurrence& o : occurrences(*snap, t))
        if (declaration || !o.declaration) result.push_back({{"uri", uri}, {"range", snap->range_of(count, o.token)}});
    return result;
}

json document_highlights(server_state& s, const json& params)
{
    const auto snap = model_of(s, params);
    const char* t = token_of(s, *snap, params);
    json result = json::array();
    if (t == nullptr) return result;
    position_counter count(snap->lines, s.enc);
    // Write (3) where the name or label stands, Read (2) where it is used.
    for (const occurrence& o : occurrences(*snap, t))
        result.push_back({{"range", snap->range_of(count, o.token)}, {"kind", o.declaration ? 3 : 2}});
    return result;
}

}  // namespace lsp
