// Completion. The prefix and what stands before it come from the text the
// client has now; the candidates from the newest snapshot, which is never
// waited for, so that completion keeps pace with typing in large scripts.
// After a jumping word only the labels its search can reach are offered:
// after it for go_down, if and on_goto, before it for go_up and loop.

#include <algorithm>

#include "lsp_features.hpp"
#include "text/tokens.hpp"

namespace lsp {

namespace {

// The most items in one answer; the rest come as the prefix grows.
constexpr std::size_t max_items = 100;

enum class direction { none, forward, backward };

// Which way a label reference at start would be searched for, judging by
// the tokens before it in text.
direction jump_context(const std::string& text, std::size_t start)
{
    const char* const base = text.c_str();
    const char* p = prev_token(base, base + start);
    for (int references = 0; p != nullptr && references <= 1024; ++references) {
        if (word_compare(p, "go_down") == 0 || word_compare(p, "if") == 0)
            return references == 0 ? direction::forward : direction::none;
        if (word_compare(p, "go_up") == 0 || word_compare(p, "loop") == 0)
            return references == 0 ? direction::backward : direction::none;
        if (word_compare(p, "on_goto") == 0) return direction::forward;
        // Further back only over the references of an on_goto.
        if (p[0] == '\0' || p[1] != '@') return direction::none;
        p = prev_token(base, p);
    }
    return direction::none;
}

const std::vector<std::pair<std::string, const char*>>& words_of(const snapshot& snap)
{
    if (!snap.cache.words) {
        std::vector<std::pair<std::string, const char*>> words;
        for (const char* name : snap.prog.definitions.names)
            if (native_at(snap.prog, name) == nullptr && lookup_user_word(snap.prog.index, name) == name)
                words.emplace_back(show_word(name, 200), name);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; }),
                    words.end());
        snap.cache.words = std::move(words);
    }
    return *snap.cache.words;
}

// Every label token, in text order, comments included: a jump finds those too.
const std::vector<std::pair<std::string, const char*>>& labels_of(const snapshot& snap)
{
    if (!snap.cache.labels) {
        std::vector<std::pair<std::string, const char*>> labels;
        for (const char* t : snap.prog.tokens)
            if (is_label(t)) labels.emplace_back(show_word(t, 200), t);
        snap.cache.labels = std::move(labels);
    }
    return *snap.cache.labels;
}

struct request_view {
    json range;          // of the prefix, in the client's text
    std::string prefix;  // the word characters before the cursor
    std::size_t offset;  // of the cursor
    direction context;
};

json item(const std::string& label, int kind, const std::string& detail, const json& range)
{
    return {{"label", label}, {"kind", kind}, {"detail", detail}, {"textEdit", {{"range", range}, {"newText", label}}}};
}

json label_items(const snapshot& snap, const request_view& v, bool& cut)
{
    std::string_view wanted = v.prefix;
    wanted.remove_prefix(std::min<std::size_t>(wanted.starts_with("@@") ? 2 : wanted.starts_with("@") ? 1 : 0,
                                                wanted.size()));
    const auto& labels = labels_of(snap);
    // Nearest first, in the direction of the search.
    std::vector<const std::pair<std::string, const char*>*> found;
    for (const auto& l : labels) {
        const bool ahead = snap.offset(l.second) >= v.offset;
        if (ahead != (v.context == direction::forward)) continue;
        if (std::string_view(l.first).substr(1).starts_with(wanted)) found.push_back(&l);
    }
    if (v.context == direction::backward) std::reverse(found.begin(), found.end());
    json items = json::array();
    std::vector<std::string_view> seen;
    for (const auto* l : found) {
        if (std::find(seen.begin(), seen.end(), l->first) != seen.end()) continue;
        if (items.size() == max_items) {
            cut = true;
            break;
        }
        seen.push_back(l->first);
        json i = item("@" + l->first, 18, "label at line " + std::to_string(locate(snap.prog, l->second).line), v.range);
        char rank[16];
        std::snprintf(rank, sizeof rank, "%06zu", items.size());
        i["sortText"] = rank;
        items.push_back(std::move(i));
    }
    return items;
}

json word_items(const snapshot& snap, const request_view& v, bool& cut)
{
    json items = json::array();
    for (const native_info& info : native_infos()) {
        if (!std::string_view(info.name).starts_with(v.prefix)) continue;
        json i = item(info.name, 14, info.effect, v.range);
        i["documentation"] = info.summary;
        items.push_back(std::move(i));
    }
    const auto& words = words_of(snap);
    auto it = std::lower_bound(words.begin(), words.end(), v.prefix,
                               [](const auto& w, const std::string& p) { return w.first < p; });
    for (; it != words.end() && it->first.starts_with(v.prefix); ++it) {
        if (items.size() == max_items) {
            cut = true;
            break;
        }
        items.push_back(item(it->first, 3, "defined at line " + std::to_string(locate(snap.prog, it->second).line), v.range));
    }
    return items;
}

request_view view_of(server_state& s, const json& params, const std::string& text, const line_table& lines)
{
    request_view v;
    v.offset = lines.offset_of(params.at("position"), s.enc);
    std::size_t start = v.offset;
    while (start > 0 && is_word_char(text[start - 1])) --start;
    v.prefix = text.substr(start, v.offset - start);
    v.context = jump_context(text, start);
    position_counter count(lines, s.enc);
    v.range = count.range(start, v.offset);
    return v;
}

}  // namespace

void prepare_completion(const snapshot& snap)
{
    words_of(snap);
    labels_of(snap);
}

json complete(server_state& s, const json& params)
{
    const std::string uri = uri_of(params);
    const auto snap = s.docs.model(uri, std::chrono::milliseconds(0));
    const auto current = s.docs.text(uri);
    if (current.text == nullptr) throw request_error{error_code::invalid_params, "document not open: " + uri};
    const request_view v = view_of(s, params, *current.text, *current.lines);
    bool cut = false;
    json items = v.context == direction::none ? word_items(*snap, v, cut) : label_items(*snap, v, cut);
    return {{"isIncomplete", cut}, {"items", std::move(items)}};
}

}  // namespace lsp
