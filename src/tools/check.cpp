#include "check.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"

// ---------------------------------------------------------------------------
// Native words

namespace {

const native_info* info_of(native_handler handler)
{
    for (const native_info& info : word_infos)
        if (info.handler == handler) return &info;
    return nullptr;
}

// The token at the start of the text, or the first one after leading white space.
const char* first_token(const char* text) noexcept
{
    return is_word_char(*text) ? text : next_token(text);
}

bool is_jumping(native_handler h)
{
    return h == nw_goto_down || h == nw_goto_up || h == nw_if || h == nw_loop;
}

}  // namespace

const std::array<native_info, native_count>& native_infos() { return word_infos; }

// ---------------------------------------------------------------------------
// The program

program read_program(const char* text)
{
    program prog;
    prog.text = text;
    prog.text_end = text + std::strlen(text);
    for (const char* p = first_token(text); p != nullptr; p = next_token(p)) prog.tokens.push_back(p);
    prog.line_starts.push_back(text);
    for (const char* p = text; p != prog.text_end; ++p)
        if (*p == '\n') prog.line_starts.push_back(p + 1);
    prog.definitions = scan_definitions(text);
    prog.index = sorted_word_index(prog.definitions.names);
    prog.natives = native_table;
    std::sort(prog.natives.begin(), prog.natives.end(), native_entry_compare);
    prog.positions.text = text;
    prog.positions.text_end = prog.text_end;
    return prog;
}

const native_info* native_at(const program& prog, const char* p)
{
    if (p == nullptr) return nullptr;
    const native_handler h = find_native(prog.natives, p);
    return h == nullptr ? nullptr : info_of(h);
}

const char* token_end(const program& prog, const char* p)
{
    const char* next = next_token(p);
    const char* end = next != nullptr ? next : prog.text_end;
    while (end > p && !is_word_char(end[-1])) --end;
    return end;
}

const char* token_at(const program& prog, const char* p)
{
    if (prog.tokens.empty() || p < prog.tokens.front() || p >= prog.text_end) return nullptr;
    const auto after = std::upper_bound(prog.tokens.begin(), prog.tokens.end(), p);
    const char* const start = *(after - 1);
    return p < token_end(prog, start) ? start : nullptr;
}

line_column locate(const program& prog, const char* p)
{
    const auto after = std::upper_bound(prog.line_starts.begin(), prog.line_starts.end(), p);
    const std::size_t line = static_cast<std::size_t>(after - prog.line_starts.begin());
    return {line, static_cast<std::size_t>(p - *(after - 1)) + 1};
}

bool is_token_start(const program& prog, const char* p)
{
    return std::binary_search(prog.tokens.begin(), prog.tokens.end(), p);
}

std::string show_word(const char* p, std::size_t limit)
{
    std::string out;
    std::size_t n = 0;
    while (is_word_char(*p)) {
        if (n >= limit) {
            out += "...";
            break;
        }
        const auto b = static_cast<unsigned char>(*p);
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t len = 0;
        if (b >= 0x20 && b < 0x7f) {
            len = 1;
        } else if (b >= 0xc2 && b <= 0xf4) {
            const std::size_t want = b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
            len = want;
            // Stops at the first byte that continues no sequence: the NUL at the latest.
            for (std::size_t i = 1; i < want && len != 0; ++i)
                if ((static_cast<unsigned char>(p[i]) & 0xc0) != 0x80) len = 0;
            const auto b1 = static_cast<unsigned char>(len ? p[1] : 0);
            if ((b == 0xe0 && b1 < 0xa0) || (b == 0xed && b1 > 0x9f) || (b == 0xf0 && b1 < 0x90) ||
                (b == 0xf4 && b1 > 0x8f))
                len = 0;
            // The byte order mark is invisible: shown as its bytes.
            if (len == 3 && std::string_view(p, 3) == "\xef\xbb\xbf") len = 0;
        }
        if (len == 0) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
            ++p;
        } else {
            out.append(p, len);
            p += len;
        }
        ++n;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Jumps

namespace {

// The references after an on_goto at t when its count is not a literal: the
// tokens that follow it written with '@' second.
int guessed_on_goto_count(const char* t)
{
    int n = 0;
    for (const char* p = next_token(t); p != nullptr && p[0] != '\0' && p[1] == '@' && n < 1024;
         p = next_token(p))
        ++n;
    return n;
}

// The count of an on_goto at token index i when a number literal stands right
// before it, else nothing.
std::optional<std::int32_t> literal_before(const program& prog, std::size_t i)
{
    if (i == 0) return std::nullopt;
    const cell c = parse_number(prog.tokens[i - 1]);
    if (c.tag != cell_tag::NUMBER) return std::nullopt;
    return c.value;
}

}  // namespace

std::optional<jump> jump_of_reference(const program& prog, const char* p)
{
    const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), p);
    if (at == prog.tokens.end() || *at != p) return std::nullopt;
    const std::size_t i = static_cast<std::size_t>(at - prog.tokens.begin());
    if (i > 0) {
        const char* t = prog.tokens[i - 1];
        const native_info* info = native_at(prog, t);
        if (info != nullptr && is_jumping(info->handler)) {
            const bool up = info->handler == nw_goto_up || info->handler == nw_loop;
            const jump_outcome o = up ? find_jump_up(prog.text, t) : find_jump_down(t);
            return jump{t, p, o.result == jump_outcome::kind::landed ? o.label_token : nullptr, up};
        }
    }
    // An on_goto within the 1024 tokens before.
    for (std::size_t back = 1; back <= std::min<std::size_t>(i, 1024); ++back) {
        const std::size_t j = i - back;
        const native_info* info = native_at(prog, prog.tokens[j]);
        if (info == nullptr || info->handler != nw_on_goto) continue;
        const std::optional<std::int32_t> literal = literal_before(prog, j);
        const int n = literal && *literal > 0 && *literal <= 1024 ? *literal : guessed_on_goto_count(prog.tokens[j]);
        if (static_cast<std::size_t>(n) < back) return std::nullopt;
        const on_goto_outcome o = find_on_goto(prog.tokens[j], static_cast<std::int32_t>(back), n);
        if (o.result == on_goto_outcome::kind::missing_reference) return std::nullopt;
        return jump{prog.tokens[j], p, o.result == on_goto_outcome::kind::landed ? o.label_token : nullptr, false};
    }
    return std::nullopt;
}

std::vector<comment_span> comment_spans(const program& prog)
{
    std::vector<comment_span> spans;
    for (std::size_t i = 0; i < prog.tokens.size(); ++i) {
        const native_info* info = native_at(prog, prog.tokens[i]);
        if (info == nullptr || info->handler != nw_comment) continue;
        const char* const close = find_comment_end(prog.tokens[i]);
        const char* const last = close != nullptr ? close : prog.tokens.back();
        spans.push_back({prog.tokens[i], last});
        while (i + 1 < prog.tokens.size() && prog.tokens[i + 1] <= last) ++i;
    }
    return spans;
}

bool in_comment(const std::vector<comment_span>& spans, const char* p)
{
    const auto after = std::upper_bound(spans.begin(), spans.end(), p,
                                        [](const char* q, const comment_span& s) { return q < s.open; });
    return after != spans.begin() && p <= (after - 1)->close;
}


// ---------------------------------------------------------------------------
// The walk over what can run

namespace {

// A depth no script gets near; depths at or beyond it mean "any number".
constexpr int unbounded = INT_MAX / 4;
constexpr int unreached = INT_MIN;
// After this many raises of one depth, it is taken as unbounded, so that
// loops and recursions that keep pushing end the walk.
constexpr int max_raises = 6;

int add_depth(int depth, int delta)
{
    if (depth >= unbounded) return unbounded;
    return std::clamp(depth + delta, -unbounded, unbounded);
}

enum class problem {
    undefined_word,
    unterminated_string,
    unterminated_comment,
    label_not_found,
    no_reference,
    bad_reference,
    missing_references,
    bad_store,
    bad_fetch,
    underflow,
    division_by_zero,
};

// What is known at a position: the most values that can be on the stack
// (relative to the running word's entry, or absolute), and the top value when
// every way there leaves the same literal on top.
struct known_tops {
    std::optional<std::int32_t> top, second;
};

struct flow_state {
    int depth = unreached;
    known_tops tops;
    std::uint8_t raises = 0;

    bool reached() const noexcept { return depth != unreached; }
};

bool join(flow_state& into, int depth, const known_tops& tops, bool widen = true)
{
    if (!into.reached()) {
        into.depth = depth;
        into.tops = tops;
        return true;
    }
    bool changed = false;
    if (depth > into.depth) {
        into.depth = widen && ++into.raises > max_raises ? unbounded : depth;
        changed = true;
    }
    for (auto [into_value, value] : {std::pair{&into.tops.top, &tops.top}, {&into.tops.second, &tops.second}}) {
        if (*into_value && *into_value != *value) {
            into_value->reset();
            changed = true;
        }
    }
    return changed;
}

struct entry {
    const char* body = nullptr;  // the first token after the name
    std::unordered_map<const char*, flow_state> states;
    int entry_depth = unreached;  // the most values on the stack at any call
    std::uint8_t entry_raises = 0;
    bool returns = false;
    int effect = unreached;  // the most values, relative to the entry, at any return
    std::uint8_t effect_raises = 0;
    std::vector<std::pair<std::size_t, const char*>> callers;
    std::set<std::pair<std::size_t, const char*>> caller_set;
    std::vector<const char*> starved;  // where a way died for want of values
    std::unordered_set<const char*> calls;  // the call tokens in its body
};

struct raised_finding {
    const char* where;
    problem kind;
    std::string message;
};

const char* code_of(problem kind)
{
    switch (kind) {
    case problem::undefined_word: return check_code::undefined_word;
    case problem::unterminated_string: return check_code::unterminated_string;
    case problem::unterminated_comment: return check_code::unterminated_comment;
    case problem::label_not_found: return check_code::label_not_found;
    case problem::no_reference: return check_code::no_reference;
    case problem::bad_reference: return check_code::bad_reference;
    case problem::missing_references: return check_code::missing_references;
    case problem::bad_store: return check_code::bad_store;
    case problem::bad_fetch: return check_code::bad_fetch;
    case problem::underflow: return check_code::underflow;
    case problem::division_by_zero: return check_code::division_by_zero;
    }
    return check_code::undefined_word;
}

// The reports the run goes on after.
severity level_of(problem kind)
{
    return kind == problem::division_by_zero || kind == problem::bad_reference ? severity::warning : severity::error;
}

std::string quoted(const char* p) { return "'" + show_word(p) + "'"; }

std::string division_message(const char* p) { return "division by zero: " + quoted(p) + " warns and gives 0"; }

std::string store_message(std::int32_t i)
{
    return i >= 64 && i <= 95 ? "store into read-only system variable " + std::to_string(i)
                              : "store into variable " + std::to_string(i) + ", which does not exist";
}

std::string fetch_message(std::int32_t i)
{
    return "read of variable " + std::to_string(i) + ", which does not exist";
}

std::string at_line(const program& prog, const char* p)
{
    return "line " + std::to_string(locate(prog, p).line);
}

class walker {
public:
    explicit walker(const program& prog) : prog_(prog) {}

    void run(const char* main_name)
    {
        const std::size_t main = entry_for(main_name);
        raise_entry_depth(main, 0);
        while (!work_.empty()) {
            const auto [e, p] = work_.back();
            work_.pop_back();
            const auto found = entries_[e].states.find(p);
            if (found == entries_[e].states.end()) continue;
            const flow_state s = found->second;
            step(e, p, s, entries_[e].entry_depth);
        }
    }

    // Every position reached, with its absolute state, diagnosed once.
    void diagnose()
    {
        std::unordered_map<const char*, flow_state> merged;
        for (const entry& en : entries_) {
            if (en.entry_depth == unreached) continue;
            for (const auto& [p, s] : en.states)
                join(merged[p], add_depth(s.depth, en.entry_depth), s.tops, false);
        }
        std::vector<const char*> order;
        order.reserve(merged.size());
        for (const auto& [p, s] : merged) order.push_back(p);
        std::sort(order.begin(), order.end());
        diagnosing_ = true;
        for (const char* p : order) {
            reached_.insert(p);
            step(0, p, merged[p], 0);
        }
        diagnosing_ = false;
    }

    const std::vector<raised_finding>& findings() const { return findings_; }
    const std::unordered_set<const char*>& reached() const { return reached_; }
    const std::unordered_set<const char*>& landings() const { return landings_; }
    const std::unordered_set<const char*>& references() const { return references_; }
    const std::vector<const char*>& backward_jumps() const { return backward_jumps_; }

    jump_outcome down(const char* t)
    {
        const auto [it, fresh] = down_.try_emplace(t);
        if (fresh) it->second = search_down(t);
        return it->second;
    }

    jump_outcome up(const char* t)
    {
        const auto [it, fresh] = up_.try_emplace(t);
        if (fresh) it->second = find_jump_up(prog_.text, t);
        return it->second;
    }

    const char* comment_end_of(const char* t)
    {
        const auto [it, fresh] = comment_ends_.try_emplace(t);
        if (fresh) it->second = find_comment_end(t);
        return it->second;
    }

    on_goto_outcome on_goto_of(const char* t, std::int32_t k, std::int32_t n)
    {
        const auto [it, fresh] = on_gotos_.try_emplace({t, k, n});
        if (fresh) it->second = find_on_goto(t, k, n);
        return it->second;
    }

private:
    // Forward searches from tokens of the forward reading see the same tokens
    // from there on. So a search for a label that starts inside the stretch an
    // earlier search for it passed over ends where that one ended; many jumps
    // to one far label then cost one search, not one each.
    jump_outcome search_down(const char* t)
    {
        const char* const reference = next_token(t);
        if (reference == nullptr || !is_token_start(prog_, reference) || opens_unterminated_string(reference + 1))
            return find_jump_down(t);
        const char* end = reference + 1;
        while (is_word_char(*end)) ++end;
        auto& searches = forward_searches_[std::string_view(reference + 1, static_cast<std::size_t>(end - reference - 1))];
        auto earlier = searches.upper_bound(reference);
        if (earlier != searches.begin()) {
            --earlier;
            const char* const landed = earlier->second;
            if (landed == nullptr || landed > reference)
                return {landed == nullptr ? jump_outcome::kind::not_found : jump_outcome::kind::landed,
                        reference[1] != '@', landed};
        }
        const jump_outcome o = find_jump_down(t);
        searches[reference] = o.result == jump_outcome::kind::landed ? o.label_token : nullptr;
        return o;
    }

    std::size_t entry_for(const char* name)
    {
        const auto [it, fresh] = entry_of_.try_emplace(name, entries_.size());
        if (fresh) {
            entries_.emplace_back();
            entries_.back().body = name == nullptr ? nullptr : next_token(name);
        }
        return it->second;
    }

    void raise_entry_depth(std::size_t e, int depth)
    {
        entry& en = entries_[e];
        if (en.entry_depth != unreached && depth <= en.entry_depth) return;
        const bool first = en.entry_depth == unreached;
        en.entry_depth = !first && ++en.entry_raises > max_raises ? unbounded : depth;
        if (first) {
            if (en.body == nullptr)
                set_returns(e, 0);
            else
                flow_to(e, en.body, 0, {});
        } else {
            // Ways that died for want of values may live now, and the words
            // it calls are called with more values too.
            for (const char* p : en.starved) work_.emplace_back(e, p);
            en.starved.clear();
            for (const char* p : en.calls) work_.emplace_back(e, p);
        }
    }

    void set_returns(std::size_t e, int depth)
    {
        entry& en = entries_[e];
        if (en.returns && depth <= en.effect) return;
        en.effect = en.returns && ++en.effect_raises > max_raises ? unbounded : depth;
        en.returns = true;
        for (const auto& caller : en.callers) work_.push_back(caller);
    }

    void flow_to(std::size_t e, const char* p, int depth, const known_tops& tops)
    {
        if (diagnosing_) return;
        if (join(entries_[e].states[p], depth, tops)) work_.emplace_back(e, p);
    }

    // Execution goes on after the token that the current position was left on.
    void go_on(std::size_t e, const char* left_on, int depth, const known_tops& tops = {})
    {
        if (diagnosing_) return;
        const char* const next = left_on == nullptr ? nullptr : next_token(left_on);
        if (next == nullptr)
            set_returns(e, depth);  // the text ends: the running word ends
        else
            flow_to(e, next, depth, tops);
    }

    void raise(const char* p, problem kind, std::string message)
    {
        if (diagnosing_) findings_.push_back({p, kind, std::move(message)});
    }

    // True when the values needed are there on some way; otherwise every way
    // here dies, and the finding names the word.
    bool has_values(std::size_t e, const char* p, const flow_state& s, int base, int needed)
    {
        if (needed == 0 || base >= unbounded || s.depth >= unbounded || base + s.depth >= needed)
            return true;
        if (diagnosing_) {
            const int most = std::max(0, base + s.depth);
            raise(p, problem::underflow,
                  "stack underflow: " + quoted(p) + " takes " + std::to_string(needed) +
                      (needed == 1 ? " value" : " values") + ", and every way here leaves " +
                      (most == 0 ? "none" : "at most " + std::to_string(most)));
        } else {
            entries_[e].starved.push_back(p);
        }
        return false;
    }

    void take_jump(std::size_t e, const char* p, int depth, bool backward)
    {
        const jump_outcome o = backward ? up(p) : down(p);
        const char* const reference = next_token(p);
        if (diagnosing_ && backward) backward_jumps_.push_back(p);
        if (reference != nullptr) note_reference(reference);
        using kind = jump_outcome::kind;
        if (o.result == kind::no_reference) {
            raise(p, problem::no_reference,
                  quoted(p) + " is the last token: no label reference follows, and the running word ends");
            set_returns_unless_diagnosing(e, depth);
            return;
        }
        if (o.bad_reference)
            raise(reference, problem::bad_reference,
                  "invalid label reference " + quoted(reference) +
                      ": its second character is not '@' (the jump searches for " +
                      quoted(reference + 1) + ")");
        switch (o.result) {
        case kind::landed:
            if (diagnosing_) landings_.insert(o.label_token);
            go_on(e, o.label_token, depth);
            return;
        case kind::unterminated_label:
            raise(reference, problem::unterminated_string,
                  "the label of reference " + quoted(reference) + " opens a string literal that has no closing quote");
            return;
        case kind::not_found:
            raise(reference, problem::label_not_found,
                  "label " + quoted(reference + 1) + " not found " + (backward ? "before" : "after") +
                      " the reference: no jump lands");
            return;
        case kind::no_reference:
            return;
        }
    }

    void set_returns_unless_diagnosing(std::size_t e, int depth)
    {
        if (!diagnosing_) set_returns(e, depth);
    }

    void note_reference(const char* reference)
    {
        if (diagnosing_) references_.insert(reference);
    }

    void on_goto(std::size_t e, const char* p, const flow_state& s, int depth)
    {
        const std::optional<std::int32_t> count = s.tops.top, index = s.tops.second;
        // The out-of-range way: the references then run as tokens.
        if (!count || !index || *index < 1 || *index > *count) go_on(e, p, depth);
        if (count && index && (*index < 1 || *index > *count)) return;
        const bool literal = count.has_value();
        const int n = count ? *count : guessed_on_goto_count(p);
        if (n < 1 || n > 1024) return;  // not followed reference by reference
        if (index && *index > n) return;  // beyond the references written (count unknown)
        for (int k = index ? *index : 1; k <= (index ? *index : n); ++k) {
            const on_goto_outcome o = on_goto_of(p, k, n);
            using kind = on_goto_outcome::kind;
            if (o.result == kind::missing_reference) {
                if (literal)
                    raise(p, problem::missing_references,
                          quoted(p) + " is followed by fewer than " + std::to_string(n) +
                              " tokens, the count before it; the running word ends there");
                set_returns_unless_diagnosing(e, depth);
                return;
            }
            note_reference(o.chosen);
            if (o.bad_reference)
                raise(o.chosen, problem::bad_reference,
                      "invalid label reference " + quoted(o.chosen) +
                          ": its second character is not '@' (the jump searches for " + quoted(o.chosen + 1) + ")");
            if (o.result == kind::not_found) {
                raise(o.chosen, problem::label_not_found,
                      "label " + quoted(o.chosen + 1) +
                          " not found after the list of references; the running word ends there");
                set_returns_unless_diagnosing(e, depth);
                continue;
            }
            if (diagnosing_) landings_.insert(o.label_token);
            go_on(e, o.label_token, depth);
        }
    }

    void call(std::size_t e, const char* p, const char* name, int base, int depth)
    {
        if (diagnosing_) return;
        entries_[e].calls.insert(p);
        const std::size_t c = entry_for(name);
        if (entries_[c].caller_set.emplace(e, p).second) entries_[c].callers.emplace_back(e, p);
        raise_entry_depth(c, add_depth(depth, base));
        if (entries_[c].returns) go_on(e, p, add_depth(depth, entries_[c].effect));
    }

    void step(std::size_t e, const char* p, const flow_state& s, int base)
    {
        if (ends_word(p)) {
            set_returns_unless_diagnosing(e, s.depth);
            return;
        }
        if (opens_unterminated_string(p)) {
            raise(p, problem::unterminated_string, "string literal " + quoted(p) + " has no closing quote");
            return;
        }
        const cell token = token2string_word(prog_.positions, p);
        switch (token.tag) {
        case cell_tag::NUMBER:
        case cell_tag::STRING:
            go_on(e, p, add_depth(s.depth, 1), {token.value, s.tops.top});
            return;
        case cell_tag::LABEL:
            go_on(e, p, s.depth, s.tops);
            return;
        case cell_tag::UNKNOWN:
            break;
        }
        const native_handler h = find_native(prog_.natives, p);
        if (h == nullptr) {
            if (const char* name = lookup_user_word(prog_.index, p)) {
                call(e, p, name, base, s.depth);
                return;
            }
            std::string message = "undefined word " + quoted(p);
            if (is_single_char_token(p, ':'))
                message += ": a definition is met while running (is a ';' missing before it?)";
            else if (word_compare(p, comment_end) == 0)
                message += ": a '*/' outside a comment";
            raise(p, problem::undefined_word, std::move(message));
            return;
        }
        const native_info* info = info_of(h);
        if (!has_values(e, p, s, base, info->pops)) return;
        const int after = add_depth(s.depth, info->pushes - info->pops);
        if (h == nw_if || h == nw_loop) {
            const bool backward = h == nw_loop;
            const std::optional<std::int32_t> x = s.tops.top;
            const bool may_jump = !x || ((*x == 0) != backward);
            const bool may_pass = !x || ((*x == 0) == backward);
            if (may_pass) {
                const char* const reference = next_token(p);
                if (reference == nullptr)
                    set_returns_unless_diagnosing(e, after);
                else
                    go_on(e, reference, after);
            }
            if (may_jump) take_jump(e, p, after, backward);
            return;
        }
        if (h == nw_goto_down || h == nw_goto_up) {
            take_jump(e, p, after, h == nw_goto_up);
            return;
        }
        if (h == nw_on_goto) {
            on_goto(e, p, s, after);
            return;
        }
        if (h == nw_comment) {
            const char* const end = comment_end_of(p);
            if (end == nullptr) {
                raise(p, problem::unterminated_comment, "comment has no end: no '*/' token follows");
                return;
            }
            go_on(e, end, after, s.tops);
            return;
        }
        const std::optional<std::int32_t> top = s.tops.top;
        if (h == nw_set && top && static_cast<std::uint32_t>(*top) > 63) {
            raise(p, problem::bad_store, store_message(*top));
            return;
        }
        if (h == nw_get && top && (*top < 0 || *top > 95)) {
            raise(p, problem::bad_fetch, fetch_message(*top));
            return;
        }
        if ((h == nw_div || h == nw_mod) && top && *top == 0) raise(p, problem::division_by_zero, division_message(p));
        // The words that only move values keep what is known of them.
        if (h == nw_dup)
            go_on(e, p, after, {top, top});
        else if (h == nw_swap)
            go_on(e, p, after, {s.tops.second, top});
        else if (h == nw_over)
            go_on(e, p, after, {s.tops.second, top});
        else if (h == nw_drop)
            go_on(e, p, after, {s.tops.second, std::nullopt});
        else
            go_on(e, p, after);
    }

    const program& prog_;
    std::vector<entry> entries_;
    std::unordered_map<const char*, std::size_t> entry_of_;
    std::vector<std::pair<std::size_t, const char*>> work_;
    std::unordered_map<const char*, jump_outcome> down_, up_;
    std::unordered_map<const char*, const char*> comment_ends_;
    std::map<std::tuple<const char*, std::int32_t, std::int32_t>, on_goto_outcome> on_gotos_;
    std::unordered_map<std::string_view, std::map<const char*, const char*>> forward_searches_;
    bool diagnosing_ = false;
    std::vector<raised_finding> findings_;
    std::unordered_set<const char*> reached_, landings_, references_;
    std::vector<const char*> backward_jumps_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The run as far as it is fixed: from the start of main, every value that
// decides where execution goes is followed exactly, up to the first branch on
// a value the text does not fix (input, the clock, random numbers). Whatever
// goes wrong on that stretch goes wrong on every run.

namespace {

struct value {
    bool known = true;
    std::int32_t v = 0;
};

constexpr value unknown_value{false, 0};

class fixed_run {
public:
    explicit fixed_run(const program& prog, walker& w) : prog_(prog), walker_(w) {}

    void run(const char* main_name)
    {
        frames_.resize(1);
        const char* t = next_token(main_name);
        for (long steps = 0; steps < max_steps; ++steps) {
            if (ends_word(t)) {
                if (returns_.empty()) return;
                t = returns_.back();
                returns_.pop_back();
                --depth_;
                t = next_token(t);
                continue;
            }
            const char* after = t;
            if (!perform(t, after)) return;
            if (called_ != nullptr) {
                if (depth_ == max_depth) return;  // the nesting limit; not followed
                returns_.push_back(t);
                ++depth_;
                if (frames_.size() <= depth_) frames_.emplace_back();
                t = next_token(called_);
                called_ = nullptr;
                continue;
            }
            t = after == nullptr ? nullptr : next_token(after);
        }
    }

    // What went wrong on every run: the place, the kind and (where the walk
    // over what can run may not see it, values computed at run time) a
    // message, in run order.
    const std::vector<std::tuple<const char*, problem, std::string>>& events() const { return events_; }

private:
#ifdef QKA_TOKEN_LIMIT
    static constexpr long max_steps = 20'000;  // a fuzzing build: many inputs a second
#else
    static constexpr long max_steps = 2'000'000;
#endif
    static constexpr std::size_t max_cells = 1'000'000;

    void event(const char* p, problem kind, std::string message)
    {
        if (!seen_.emplace(p, kind).second) return;  // once per place, however often the run passes
        events_.emplace_back(p, kind, std::move(message));
    }

    value pop() { value v = stack_.back(); stack_.pop_back(); return v; }
    void push(value v) { stack_.push_back(v); }

    value& variable(std::int32_t i)
    {
        return i < 32 ? frames_[depth_][static_cast<std::size_t>(i)] : globals_[static_cast<std::size_t>(i - 32)];
    }

    void forget_variables()
    {
        for (value& v : frames_[depth_]) v = unknown_value;
        for (value& v : globals_) v = unknown_value;
    }

    // Jumps leave the position on the label; false when the run ends or its
    // way is no longer fixed.
    bool jump(const char* t, const char*& after, bool backward)
    {
        const jump_outcome o = backward ? walker_.up(t) : walker_.down(t);
        using kind = jump_outcome::kind;
        const char* const reference = next_token(t);
        if (o.result == kind::no_reference) {
            event(t, problem::no_reference, "");
            after = nullptr;
            return true;
        }
        if (o.bad_reference) event(reference, problem::bad_reference, "");
        switch (o.result) {
        case kind::landed: after = o.label_token; return true;
        case kind::unterminated_label: event(reference, problem::unterminated_string, ""); return false;
        case kind::not_found: event(reference, problem::label_not_found, ""); return false;
        case kind::no_reference: return false;
        }
        return false;
    }

    bool perform(const char* t, const char*& after)
    {
        if (opens_unterminated_string(t)) {
            event(t, problem::unterminated_string, "");
            return false;
        }
        const cell token = token2string_word(prog_.positions, t);
        if (token.tag == cell_tag::NUMBER || token.tag == cell_tag::STRING) {
            if (stack_.size() >= max_cells) return false;
            push({true, token.value});
            return true;
        }
        if (token.tag == cell_tag::LABEL) return true;
        const native_handler h = find_native(prog_.natives, t);
        if (h == nullptr) {
            called_ = lookup_user_word(prog_.index, t);
            if (called_ != nullptr) return true;
            event(t, problem::undefined_word, "");
            return false;
        }
        const native_info* info = info_of(h);
        if (stack_.size() < static_cast<std::size_t>(info->pops)) {
            event(t, problem::underflow,
                  "stack underflow: " + quoted(t) + " takes " + std::to_string(info->pops) +
                      (info->pops == 1 ? " value" : " values") + " and finds " +
                      (stack_.empty() ? "none" : std::to_string(stack_.size())));
            return false;
        }
        if (stack_.size() + 3 > max_cells) return false;
        auto binary = [&](auto op) {
            const value x2 = pop();
            const value x1 = pop();
            push(x1.known && x2.known ? value{true, op(x1.v, x2.v)} : unknown_value);
        };
        if (h == nw_add) binary(wrap_add);
        else if (h == nw_sub) binary(wrap_sub);
        else if (h == nw_mul) binary(wrap_mul);
        else if (h == nw_div || h == nw_mod) {
            const value x2 = pop();
            const value x1 = pop();
            if (!x2.known) return push(unknown_value), true;
            if (x2.v == 0) {
                event(t, problem::division_by_zero, division_message(t));
                push({true, 0});
                return true;
            }
            push(!x1.known ? unknown_value
                 : h == nw_div ? value{true, truncated_quotient(x1.v, x2.v)}
                               : value{true, truncated_remainder(x1.v, x2.v)});
        }
        else if (h == nw_eq) binary([](std::int32_t a, std::int32_t b) { return truth(a == b); });
        else if (h == nw_ne) binary([](std::int32_t a, std::int32_t b) { return truth(a != b); });
        else if (h == nw_lt) binary([](std::int32_t a, std::int32_t b) { return truth(a < b); });
        else if (h == nw_gt) binary([](std::int32_t a, std::int32_t b) { return truth(a > b); });
        else if (h == nw_and) binary([](std::int32_t a, std::int32_t b) { return truth(a != 0 && b != 0); });
        else if (h == nw_or) binary([](std::int32_t a, std::int32_t b) { return truth(a != 0 || b != 0); });
        else if (h == nw_zero_eq || h == nw_not) {
            const value x = pop();
            push(x.known ? value{true, truth(x.v == 0)} : unknown_value);
        }
        else if (h == nw_dup) { const value x = pop(); push(x); push(x); }
        else if (h == nw_over) { const value x2 = pop(); const value x1 = pop(); push(x1); push(x2); push(x1); }
        else if (h == nw_swap) { const value x2 = pop(); const value x1 = pop(); push(x2); push(x1); }
        else if (h == nw_rot) {
            const value x3 = pop(); const value x2 = pop(); const value x1 = pop();
            push(x2); push(x3); push(x1);
        }
        else if (h == nw_drop || h == nw_print || h == nw_print_chr || h == nw_spc || h == nw_print_str) pop();
        else if (h == nw_newline) {}
        else if (h == nw_version) push({true, position_value(prog_.positions, version_text)});
        else if (h == nw_wday) { pop(); pop(); pop(); push(unknown_value); }
        else if (h == nw_get) {
            const value i = pop();
            if (!i.known) return push(unknown_value), true;
            if (i.v < 0 || i.v > 95) {
                event(t, problem::bad_fetch, fetch_message(i.v));
                return false;
            }
            push(i.v < 64 ? variable(i.v) : unknown_value);
        }
        else if (h == nw_set) {
            const value i = pop();
            const value v = pop();
            if (!i.known) {
                forget_variables();
                return true;
            }
            if (static_cast<std::uint32_t>(i.v) > 63) {
                event(t, problem::bad_store, store_message(i.v));
                return false;
            }
            variable(i.v) = v;
        }
        else if (h == nw_if || h == nw_loop) {
            const value x = pop();
            if (!x.known) return false;
            const bool jumps = h == nw_if ? x.v == 0 : x.v != 0;
            if (jumps) return jump(t, after, h == nw_loop);
            after = next_token(t);
            return true;
        }
        else if (h == nw_goto_down || h == nw_goto_up) return jump(t, after, h == nw_goto_up);
        else if (h == nw_on_goto) {
            const value n = pop();
            const value k = pop();
            if (!n.known || !k.known) return false;
            if (k.v < 1 || k.v > n.v) return true;  // the references run as tokens
            const on_goto_outcome o = walker_.on_goto_of(t, k.v, n.v);
            using kind = on_goto_outcome::kind;
            if (o.result == kind::missing_reference) {
                event(t, problem::missing_references, "");
                after = nullptr;
                return true;
            }
            if (o.bad_reference) event(o.chosen, problem::bad_reference, "");
            if (o.result == kind::not_found) {
                event(o.chosen, problem::label_not_found, "");
                after = nullptr;
                return true;
            }
            after = o.label_token;
        }
        else if (h == nw_comment) {
            after = walker_.comment_end_of(t);
            if (after == nullptr) {
                event(t, problem::unterminated_comment, "");
                return false;
            }
        }
        return true;
    }

    const program& prog_;
    walker& walker_;
    std::vector<value> stack_;
    std::vector<std::array<value, 32>> frames_;
    std::array<value, 32> globals_{};
    std::vector<const char*> returns_;
    std::size_t depth_ = 0;
    const char* called_ = nullptr;
    std::vector<std::tuple<const char*, problem, std::string>> events_;
    std::set<std::pair<const char*, problem>> seen_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The checks

namespace {

constexpr std::string_view bom = "\xef\xbb\xbf";

void check_first_line(const program& prog, std::vector<finding>& out)
{
    const std::string_view text(prog.text, static_cast<std::size_t>(prog.text_end - prog.text));
    if (text.starts_with(bom)) {
        const char* first = prog.text;
        std::string message = "a UTF-8 byte order mark is glued to the first token " + quoted(first);
        if (is_single_char_token(first + bom.size(), ':')) {
            message += ": it is no ':' marker";
            if (const char* name = next_token(first)) message += ", so the definition of " + quoted(name) + " is hidden";
        }
        else if (text.substr(bom.size()).starts_with("#!"))
            message += ": the system does not see the #! line";
        out.push_back({first, severity::warning, check_code::byte_order_mark, std::move(message)});
    }
    if (text.starts_with("#!")) {
        const std::string_view line = text.substr(0, text.find('\n'));
        const std::size_t cr = line.find('\r');
        if (cr != std::string_view::npos) {
            const char* last = prog.text + cr;
            while (last > prog.text && is_word_char(last[-1])) --last;
            out.push_back({prog.text, severity::warning, check_code::shebang_cr,
                           "the #! line ends in a carriage return: the system looks for the program '" +
                               show_word(last) + "\\r' (save the script with LF line ends)"});
        }
    }
}

void check_definitions(const program& prog, const walker& w, const char* main_name, std::vector<finding>& out)
{
    if (prog.definitions.nameless_colon != nullptr)
        out.push_back({prog.definitions.nameless_colon, severity::warning, check_code::nameless_colon,
                       "':' is the last token: no word name follows"});
    // The definitions of each name, in text order.
    std::unordered_map<std::string_view, std::vector<const char*>> by_name;
    auto word_view = [](const char* p) {
        const char* e = p;
        while (is_word_char(*e)) ++e;
        return std::string_view(p, static_cast<std::size_t>(e - p));
    };
    for (const char* name : prog.definitions.names) by_name[word_view(name)].push_back(name);
    for (const char* name : prog.definitions.names) {
        const std::vector<const char*>& all = by_name[word_view(name)];
        const char* const found = lookup_user_word(prog.index, name);
        if (all.size() > 1 && found != name) {
            out.push_back({name, severity::warning, check_code::duplicate_definition,
                           quoted(name) + " is defined " + std::to_string(all.size()) +
                               " times; calls run the definition at " + at_line(prog, found)});
            continue;
        }
        if (main_name == nullptr) continue;
        // Runs when any token of its body up to the first ';' runs or is jumped to.
        bool runs = false;
        const char* p = next_token(name);
        for (; p != nullptr && !runs; p = next_token(p)) {
            runs = w.reached().contains(p) || w.landings().contains(p);
            if (is_single_char_token(p, ';')) break;
        }
        if (!runs && next_token(name) != nullptr)
            out.push_back({name, severity::note, check_code::never_runs, "the definition of " + quoted(name) + " never runs"});
    }
}

void check_labels(const walker& w, std::vector<finding>& out)
{
    for (const char* p : w.reached()) {
        if (p[0] != '@' || !is_word_char(p[1]) || p[1] == '@') continue;
        if (w.landings().contains(p) || w.references().contains(p)) continue;
        out.push_back({p, severity::note, check_code::unused_label, "no jump reaches label " + quoted(p)});
    }
}

// A backward search visits the tokens a forward reading shows, except where a
// plain token ends in a quote (taken for the end of a string literal) or a
// token is glued to a string literal's closing quote.
void check_backward_views(const program& prog, walker& w, std::vector<finding>& out)
{
    std::vector<const char*> jumps = w.backward_jumps();
    std::sort(jumps.begin(), jumps.end());
    jumps.erase(std::unique(jumps.begin(), jumps.end()), jumps.end());
    for (const char* t : jumps) {
        const char* const reference = next_token(t);
        if (reference == nullptr) continue;
        const auto at = std::lower_bound(prog.tokens.begin(), prog.tokens.end(), reference);
        if (at == prog.tokens.end() || *at != reference) continue;
        const char* const label = reference + 1;
        const char* apparent = nullptr;
        const char* culprit = nullptr;
        for (auto it = at; it != prog.tokens.begin();) {
            --it;
            const char* tok = *it;
            if (culprit == nullptr) {
                const char* end = token_end(prog, tok);
                const bool quote_ended = tok[0] != '"' && end[-1] == '"';
                const bool glued = tok != prog.text && is_word_char(tok[-1]);
                if (quote_ended || glued) culprit = tok;
            }
            if (word_compare(label, tok) == 0) {
                apparent = tok;
                break;
            }
        }
        const jump_outcome o = w.up(t);
        const char* actual = o.result == jump_outcome::kind::landed ? o.label_token : nullptr;
        if (actual == apparent || culprit == nullptr) continue;
        const bool glued = culprit != prog.text && is_word_char(culprit[-1]);
        std::string message = "the backward search of " + quoted(t) + (glued ? " takes " : " reads ") +
                              quoted(culprit) + " at " + at_line(prog, culprit) +
                              (glued ? " together with the string literal it is glued to"
                                     : " as the end of a string literal") +
                              ", so it ";
        if (actual == nullptr)
            message += "does not find the " + quoted(apparent) + " at " + at_line(prog, apparent);
        else if (apparent == nullptr)
            message += "lands at " + at_line(prog, actual);
        else
            message += "lands at " + at_line(prog, actual) + ", not on the " + quoted(apparent) + " at " +
                       at_line(prog, apparent);
        out.push_back({reference, severity::warning, check_code::backward_view, std::move(message)});
    }
}

}  // namespace

std::vector<finding> check_program(const program& prog)
{
    std::vector<finding> out;
    check_first_line(prog, out);
    const char* const main_name = lookup_user_word(prog.index, "main");
    walker w(prog);
    if (main_name != nullptr) {
        w.run(main_name);
        w.diagnose();
    } else {
        out.push_back({prog.tokens.empty() ? prog.text : prog.tokens.front(), severity::warning, check_code::no_main,
                       "no definition of 'main': the script runs nothing"});
    }
    check_definitions(prog, w, main_name, out);
    check_labels(w, out);
    check_backward_views(prog, w, out);

    // Errors of the walk, and those that every run meets.
    std::vector<raised_finding> errors = w.findings();
    std::vector<bool> certain(errors.size(), false);
    // The errors at each place, by kind, to mark those every run meets.
    std::map<std::pair<const char*, problem>, std::vector<std::size_t>> by_place;
    for (std::size_t i = 0; i < errors.size(); ++i) by_place[{errors[i].where, errors[i].kind}].push_back(i);
    if (main_name != nullptr) {
        fixed_run run(prog, w);
        run.run(main_name);
        for (const auto& [p, kind, message] : run.events()) {
            const auto found = by_place.find({p, kind});
            if (found != by_place.end()) {
                for (const std::size_t i : found->second) certain[i] = true;
            } else if (!message.empty()) {
                errors.push_back({p, kind, message});
                certain.push_back(true);
            }
        }
    }
    std::set<std::pair<const char*, std::string>> written;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (!written.emplace(errors[i].where, errors[i].message).second) continue;  // met on several ways
        out.push_back({errors[i].where, level_of(errors[i].kind), code_of(errors[i].kind),
                       errors[i].message + (certain[i] ? " (on every run)" : "")});
    }
    std::stable_sort(out.begin(), out.end(), [](const finding& a, const finding& b) {
        if (a.where != b.where) return a.where < b.where;
        return a.level < b.level;
    });
    return out;
}

std::vector<jump> all_jumps(const program& prog)
{
    // The walker's searches share their work between jumps to one label.
    walker w(prog);
    std::vector<jump> jumps;
    for (std::size_t i = 0; i < prog.tokens.size(); ++i) {
        const char* t = prog.tokens[i];
        const native_info* info = native_at(prog, t);
        if (info == nullptr) continue;
        if (is_jumping(info->handler)) {
            const bool up = info->handler == nw_goto_up || info->handler == nw_loop;
            const jump_outcome o = up ? w.up(t) : w.down(t);
            jumps.push_back({t, next_token(t), o.result == jump_outcome::kind::landed ? o.label_token : nullptr, up});
        } else if (info->handler == nw_on_goto) {
            const std::optional<std::int32_t> literal = literal_before(prog, i);
            const int n = literal && *literal > 0 && *literal <= 1024 ? *literal : guessed_on_goto_count(t);
            for (int k = 1; k <= n; ++k) {
                const on_goto_outcome o = w.on_goto_of(t, k, n);
                if (o.result == on_goto_outcome::kind::missing_reference) break;
                jumps.push_back({t, o.chosen, o.result == on_goto_outcome::kind::landed ? o.label_token : nullptr, false});
            }
        }
    }
    return jumps;
}

const std::vector<check_rule>& check_rules()
{
    static const std::vector<check_rule> rules{
        {check_code::undefined_word, "undefined-word", severity::error, "A word that is neither built in nor defined ends the run."},
        {check_code::unterminated_string, "unterminated-string", severity::error, "A string literal with no closing quote ends the run."},
        {check_code::unterminated_comment, "unterminated-comment", severity::error, "A comment with no '*/' after it ends the run."},
        {check_code::label_not_found, "label-not-found", severity::error, "A jump whose label the search does not find ends the run."},
        {check_code::no_reference, "no-label-reference", severity::error, "A jumping word that is the last token has no reference: the running word ends."},
        {check_code::missing_references, "missing-references", severity::error, "An on_goto followed by fewer tokens than its count ends the running word."},
        {check_code::bad_store, "bad-store", severity::error, "A store into a variable that does not exist or is read-only ends the run."},
        {check_code::bad_fetch, "bad-fetch", severity::error, "A read of a variable that does not exist ends the run."},
        {check_code::underflow, "stack-underflow", severity::error, "A word that finds fewer values than it takes ends the run."},
        {check_code::endless_recursion, "endless-recursion", severity::error, "Calls that never return before calling again reach the nesting limit."},
        {check_code::too_deep, "nesting-limit", severity::error, "Recursion driven by a counter goes deeper than the nesting limit."},
        {check_code::division_by_zero, "division-by-zero", severity::warning, "A zero divisor: the interpreter warns and gives 0."},
        {check_code::bad_reference, "invalid-label-reference", severity::warning, "A label reference whose second character is not '@': reported, and the search goes on."},
        {check_code::nameless_colon, "trailing-colon", severity::warning, "':' as the last token: reported when the script is read."},
        {check_code::duplicate_definition, "duplicate-definition", severity::warning, "A word defined more than once: calls run one of them only."},
        {check_code::backward_view, "backward-search-misreads", severity::warning, "A backward search reads a token differently from a forward reading."},
        {check_code::no_main, "no-main", severity::warning, "No definition of 'main': the script runs nothing."},
        {check_code::byte_order_mark, "byte-order-mark", severity::warning, "A UTF-8 byte order mark is part of the first token."},
        {check_code::shebang_cr, "shebang-carriage-return", severity::warning, "The #! line ends in a carriage return."},
        {check_code::never_runs, "never-runs", severity::note, "A definition that no run calls."},
        {check_code::unreachable, "unreachable", severity::note, "Code after a fatal error or a jump that no run reaches."},
        {check_code::unused_label, "unused-label", severity::note, "A label no jump lands on."},
    };
    return rules;
}
