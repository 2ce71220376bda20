// Rename of a user word or a label. Names have no scope and jumps search the
// text, so a rename can quietly change what a script does: a new word name
// that a built-in word or another definition shadows, a new label that a
// nearer label of that name captures, or one that captures other jumps. So
// every rename is applied to a copy of the text, read again, and refused
// unless every call runs the same definition and every jump lands on the
// same label as before.

#include <algorithm>
#include <cstdint>

#include "lsp_features.hpp"
#include "text/classify.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

struct edit {
    const char* start;
    const char* end;
};

struct plan {
    std::vector<edit> edits;  // in text order
    std::string new_text;     // what each edit writes
};

bool is_word(std::string_view name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return is_word_char(c); });
}

// Why name cannot be a user word's name, or "" when it can.
std::string word_name_problem(const snapshot& snap, const std::string& name)
{
    if (!is_word(name)) return "a word name is one token: no white space, not empty";
    const char* p = name.c_str();
    if (name[0] == '"') return "a token that begins with '\"' is a string literal";
    if (name[0] == '@' && name.size() > 1) return "a token that begins with '@' is a label";
    if (parse_number(p).tag == cell_tag::NUMBER) return "'" + name + "' is a number";
    if (token2string_word(snap.prog.positions, p).tag != cell_tag::UNKNOWN)
        return "'" + name + "' is a variable number, not a word";
    if (native_at(snap.prog, p) != nullptr) return "'" + name + "' is a built-in word, which calls would run instead";
    if (name == ":" || name == ";" || name == "*/") return "'" + name + "' has a meaning of its own";
    if (const char* other = lookup_user_word(snap.prog.index, p))
        return "'" + name + "' is defined already, at line " + std::to_string(locate(snap.prog, other).line);
    return "";
}

std::string label_name_problem(const std::string& name)
{
    if (!is_word(name)) return "a label is one token: no white space, not empty";
    if (name.size() < 2 || name[0] != '@' || name[1] == '@') return "a label is '@' and a name, such as '@top'";
    return "";
}

plan plan_for_word(const snapshot& snap, const char* name)
{
    plan out;
    const std::vector<comment_span> code = comment_code(snap);
    for (const char* u : snap.prog.tokens) {
        if (word_compare(u, name) != 0) continue;
        const bool runs = !snap.commented(u) || in_comment(code, u);
        if (is_definition_name(snap, u) || (runs && called_definition(snap, u) == name))
            out.edits.push_back({u, token_end(snap.prog, u)});
    }
    return out;
}

plan plan_for_label(const snapshot& snap, const char* label)
{
    plan out;
    out.edits.push_back({label, token_end(snap.prog, label)});
    // A reference keeps its first character: the jump only reads the rest.
    for (const jump& j : snap.jumps)
        if (j.landing == label && j.reference != nullptr)
            out.edits.push_back({j.reference + 1, token_end(snap.prog, j.reference)});
    std::sort(out.edits.begin(), out.edits.end(), [](const edit& a, const edit& b) { return a.start < b.start; });
    return out;
}

std::string applied(const snapshot& snap, const plan& p)
{
    std::string out;
    const char* at = snap.prog.text;
    for (const edit& e : p.edits) {
        out.append(at, e.start);
        out += p.new_text;
        at = e.end;
    }
    out.append(at, snap.prog.text_end);
    return out;
}

// What each token that can run does, by token index: the definition a call
// runs, the label a jump lands on (-1: none).
struct meanings {
    std::vector<long> calls;
    std::vector<std::pair<long, long>> jumps;  // reference, landing
};

meanings meanings_of(const snapshot& snap)
{
    meanings m;
    const std::vector<comment_span> code = comment_code(snap);
    m.calls.reserve(snap.prog.tokens.size());
    for (const char* t : snap.prog.tokens) {
        // A name after ':' is never run; the body starts after it.
        const bool runs = (!snap.commented(t) || in_comment(code, t)) && !is_definition_name(snap, t);
        const char* target = runs ? called_definition(snap, t) : nullptr;
        m.calls.push_back(target == nullptr ? -1 : static_cast<long>(token_index(snap, target)));
    }
    for (const jump& j : snap.jumps)
        if (j.reference != nullptr)
            m.jumps.emplace_back(static_cast<long>(token_index(snap, j.reference)),
                                 j.landing == nullptr ? -1 : static_cast<long>(token_index(snap, j.landing)));
    std::sort(m.jumps.begin(), m.jumps.end());
    return m;
}

std::string at_line(const snapshot& snap, std::size_t token)
{
    return "line " + std::to_string(locate(snap.prog, snap.prog.tokens[token]).line);
}

// Why the renamed text runs differently, or "".
std::string changed_meaning(const snapshot& before, const snapshot& after)
{
    if (before.prog.tokens.size() != after.prog.tokens.size()) return "the new name would change the tokens";
    const meanings a = meanings_of(before), b = meanings_of(after);
    for (std::size_t i = 0; i < a.calls.size(); ++i)
        if (a.calls[i] != b.calls[i])
            return "the word at " + at_line(before, i) + " would " +
                   (b.calls[i] < 0 ? std::string("no longer call a definition")
                                   : "call the definition at " + at_line(after, static_cast<std::size_t>(b.calls[i])));
    for (std::size_t i = 0; i < std::min(a.jumps.size(), b.jumps.size()); ++i)
        if (a.jumps[i] != b.jumps[i])
            return "the jump at " + at_line(before, static_cast<std::size_t>(a.jumps[i].first)) + " would " +
                   (b.jumps[i].second < 0 ? std::string("find no label")
                                          : "land at " + at_line(after, static_cast<std::size_t>(b.jumps[i].second)));
    if (a.jumps.size() != b.jumps.size()) return "the new name would change the jumps";
    return "";
}

// The word or label under the position of a rename, and whether it is a label.
std::pair<const char*, bool> rename_target(const snapshot& snap, const char* t)
{
    if (t == nullptr) return {nullptr, false};
    if (const jump* j = jump_at(snap, t)) return {j->landing, true};
    if (is_label(t)) return {t, true};
    return {word_target(snap, t), false};
}

[[noreturn]] void refuse(const std::string& message) { throw request_error{error_code::request_failed, message}; }

std::pair<std::shared_ptr<const snapshot>, std::pair<const char*, bool>> target_of(server_state& s, const json& params)
{
    // Edits must fit the text the client has now: this waits for its reading.
    auto snap = s.docs.model(uri_of(params), std::chrono::seconds(30));
    const char* t = token_of(s, *snap, params);
    const auto target = rename_target(*snap, t);
    if (target.first == nullptr) {
        if (t != nullptr && jump_at(*snap, t) != nullptr) refuse("this jump finds no label to rename");
        refuse("only user words and labels can be renamed, and there is none here");
    }
    return {snap, target};
}

}  // namespace

json prepare_rename(server_state& s, const json& params)
{
    const auto [snap, target] = target_of(s, params);
    const char* t = token_of(s, *snap, params);
    position_counter count(snap->lines, s.enc);
    // A reference is renamed from its second character: the part that is the label.
    const char* start = target.second && t != target.first ? t + 1 : t;
    const char* end = token_end(snap->prog, t);
    return {{"range", count.range(snap->offset(start), snap->offset(end))},
            {"placeholder", std::string(start, end)}};
}

json rename_symbol(server_state& s, const json& params)
{
    const auto [snap, target] = target_of(s, params);
    const std::string name = params.at("newName").get<std::string>();
    if (show_word(target.first, SIZE_MAX) == name) return {{"changes", json::object()}};  // nothing to change
    plan p = target.second ? plan_for_label(*snap, target.first) : plan_for_word(*snap, target.first);
    const std::string problem = target.second ? label_name_problem(name) : word_name_problem(*snap, name);
    if (!problem.empty()) refuse("cannot rename to '" + name + "': " + problem);
    // A label is written whole, a reference after its first character: both as the name.
    p.new_text = name;
    snapshot renamed(0, std::make_shared<const std::string>(applied(*snap, p)));
    renamed.read_jumps();
    if (const std::string why = changed_meaning(*snap, renamed); !why.empty())
        refuse("renaming " + quoted(target.first) + " to '" + name + "' would change what the script does: " + why);
    position_counter count(snap->lines, s.enc);
    json edits = json::array();
    for (const edit& e : p.edits)
        edits.push_back({{"range", count.range(snap->offset(e.start), snap->offset(e.end))}, {"newText", name}});
    return {{"changes", {{uri_of(params), edits}}}};
}

}  // namespace lsp
