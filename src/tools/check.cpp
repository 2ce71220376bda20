#include "check.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
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
    // Counted first, so that the vector holds no more than the tokens.
    std::size_t count = 0;
    for (const char* p = first_token(text); p != nullptr; p = next_token(p)) ++count;
    prog.tokens.reserve(count);
    for (const char* p = first_token(text); p != nullptr; p = next_token(p)) prog.tokens.push_back(p);
    prog.line_starts = line_starts_of(text, prog.text_end);
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

std::vector<const char*> line_starts_of(const char* text, const char* end)
{
    std::vector<const char*> starts{text};
    for (const char* p = text; p != end; ++p)
        if (*p == '\n') starts.push_back(p + 1);
    return starts;
}

line_column locate(const std::vector<const char*>& line_starts, const char* p)
{
    const auto after = std::upper_bound(line_starts.begin(), line_starts.end(), p);
    const std::size_t line = static_cast<std::size_t>(after - line_starts.begin());
    return {line, static_cast<std::size_t>(p - *(after - 1)) + 1};
}

line_column locate(const program& prog, const char* p) { return locate(prog.line_starts, p); }

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
    overflow,
    nesting,
    division_by_zero,
    on_goto_not_found,
};

// What is known at a position: the most values that can be on the stack
// (relative to the running word's entry, or absolute), and the top value when
// every way there leaves the same literal on top.
struct known_tops {
    std::optional<std::int32_t> top, second;
};

// Kept for every position a word's walk reaches, so packed: 24 bytes.
struct flow_state {
    int depth = unreached;
    std::int32_t top_value = 0, second_value = 0;
    std::uint8_t known = 0;  // bit 0: the top is known, bit 1: the second
    std::uint8_t raises = 0;
    // The fatal error every way here has passed (the walk goes on past
    // errors to find later ones), or nullptr when some way passed none.
    const char* past = nullptr;

    bool reached() const noexcept { return depth != unreached; }
    known_tops tops() const
    {
        return {known & 1 ? std::optional(top_value) : std::nullopt,
                known & 2 ? std::optional(second_value) : std::nullopt};
    }
    void set_tops(const known_tops& t)
    {
        known = static_cast<std::uint8_t>((t.top ? 1 : 0) | (t.second ? 2 : 0));
        top_value = t.top.value_or(0);
        second_value = t.second.value_or(0);
    }
};
static_assert(sizeof(flow_state) <= 24);

bool join(flow_state& into, int depth, const known_tops& tops, const char* past, bool widen = true)
{
    if (!into.reached()) {
        into.depth = depth;
        into.set_tops(tops);
        into.past = past;
        return true;
    }
    bool changed = false;
    if (into.past != nullptr && past == nullptr) {
        into.past = nullptr;
        changed = true;
    }
    if (depth > into.depth) {
        into.depth = widen && ++into.raises > max_raises ? unbounded : depth;
        changed = true;
    }
    known_tops kept = into.tops();
    bool forgot = false;
    for (auto [into_value, value] : {std::pair{&kept.top, &tops.top}, {&kept.second, &tops.second}}) {
        if (*into_value && *into_value != *value) {
            into_value->reset();
            forgot = true;
        }
    }
    if (forgot) into.set_tops(kept);
    return changed || forgot;
}

// The states of one word's positions, by token number: a vector over the
// stretch its body covers, and a map for the few far positions jumps lead to.
class state_table {
public:
    flow_state* find(std::uint32_t i)
    {
        if (i - base_ < dense_.size()) return dense_[i - base_].reached() ? &dense_[i - base_] : nullptr;
        if (!far_) return nullptr;
        const auto found = far_->find(i);
        return found == far_->end() ? nullptr : &found->second;
    }

    // Room for the span of tokens from first, where the body lies.
    void prepare(std::uint32_t first, std::size_t span)
    {
        base_ = first;
        dense_.reserve(span);
    }

    flow_state& at(std::uint32_t i)
    {
        if (dense_.capacity() == 0) base_ = i;
        if (i - base_ < dense_.size()) return dense_[i - base_];
        // Grows over the body as the walk goes on; a far jump goes to the map.
        const std::size_t span = i >= base_ ? i - base_ + 1 : 0;
        if (span != 0 && span <= 2 * dense_.size() + 64) {
            dense_.resize(span);
            return dense_[i - base_];
        }
        if (!far_) far_ = std::make_unique<std::unordered_map<std::uint32_t, flow_state>>();
        return (*far_)[i];
    }

    // Calls f(token number, state) for every reached position.
    template <typename F>
    void each(F f) const
    {
        for (std::size_t k = 0; k < dense_.size(); ++k)
            if (dense_[k].reached()) f(static_cast<std::uint32_t>(base_ + k), dense_[k]);
        if (far_)
            for (const auto& [i, st] : *far_) f(i, st);
    }

    void clear()
    {
        std::vector<flow_state>().swap(dense_);
        far_.reset();
    }

private:
    std::uint32_t base_ = 0;
    std::vector<flow_state> dense_;
    std::unique_ptr<std::unordered_map<std::uint32_t, flow_state>> far_;
};

// One per word a walk enters (the callers are in the walker's set of call
// sites); its members are laid out to keep it small, as a script may define
// a great many words.
struct entry {
    const char* body = nullptr;  // the first token after the name
    const char* entry_past = nullptr;  // the fatal error every call has passed
    const char* returns_past = nullptr;  // the one every return has passed
    int entry_depth = unreached;  // the most values on the stack at any call
    int effect = unreached;  // the most values, relative to the entry, at any return
    std::uint8_t entry_raises = 0;
    std::uint8_t effect_raises = 0;
    bool returns = false;
    state_table states;
    std::vector<const char*> starved;  // where a way died for want of values
    std::vector<const char*> calls;  // the call tokens in its body
};

struct raised_finding {
    const char* where;
    problem kind;
    std::string message;
    const char* past_error = nullptr;  // the earlier fatal error every way here passed
    bool dead = false;                 // met by a walk from a definition that never runs
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
    case problem::overflow: return check_code::overflow;
    case problem::nesting: return check_code::endless_recursion;
    case problem::division_by_zero: return check_code::division_by_zero;
    case problem::on_goto_not_found: return check_code::on_goto_not_found;
    }
    return check_code::undefined_word;
}

// The problems that end the run with status 1; after the others the
// interpreter reports and goes on (a jump with no label reference, or an
// on_goto that finds no label, ends only the running word).
bool is_fatal(problem kind)
{
    switch (kind) {
    case problem::division_by_zero:
    case problem::bad_reference:
    case problem::no_reference:
    case problem::missing_references:
    case problem::on_goto_not_found: return false;
    default: return true;
    }
}

std::optional<binary_operation> operation_of(const native_info& info)
{
    if (info.translation.kind != translation_kind::binary) return std::nullopt;
    return info.translation.operation;
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
    explicit walker(const program& prog) : prog_(prog), entry_numbers_(prog.definitions.names.size(), no_entry)
    {
        entries_.reserve(prog.definitions.names.size() + 1);
    }

    // The walk from main (when there is one), then from each definition that
    // no way from main calls, to find what would fail if it ran; what only
    // these reach counts as past its definition's name.
    void run(const char* main_name)
    {
        if (main_name != nullptr) {
            raise_entry_depth(entry_for(main_name), 0);
            settle();
            diagnose_entries();
        }
        for (const char* name : prog_.definitions.names) {
            if (lookup_user_word(prog_.index, name) != name || next_token(name) == nullptr) continue;
            // A body that runs, called or jumped into, is no walk's start.
            const std::uint32_t body = number_of(next_token(name));
            if (runs_at(body) || entry_of(name) != nullptr) continue;
            const std::size_t e = entry_for(name);
            walking_dead_ = true;
            raise_entry_depth(e, unbounded, name);
            settle();
            walking_dead_ = false;
            for (std::size_t d = e; d < entries_.size(); ++d) entries_[d].states.clear();
        }
    }

    bool live() const { return !walking_dead_; }

private:
    void settle()
    {
        while (!work_.empty()) {
            const auto [e, p] = work_.back();
            work_.pop_back();
            const flow_state* found = entries_[e].states.find(number_of(p));
            if (found == nullptr) continue;
            const flow_state s = *found;
            doom_ = s.past;
            // What a walk from a definition that never runs reports points at it.
            if (walking_dead_ && doom_ == nullptr) doom_ = entries_[e].entry_past;
            step(e, p, s, entries_[e].entry_depth);
        }
    }

    // The token number of p: its place among the tokens of the forward
    // reading, or past them for the few positions only a backward search
    // lands on.
    std::uint32_t number_of(const char* p)
    {
        const std::vector<const char*>& t = prog_.tokens;
        if (last_number_ + 1 < t.size() && t[last_number_ + 1] == p) return ++last_number_;
        if (last_number_ < t.size() && t[last_number_] == p) return last_number_;
        const auto at = std::lower_bound(t.begin(), t.end(), p);
        if (at != t.end() && *at == p) return last_number_ = static_cast<std::uint32_t>(at - t.begin());
        const auto [it, fresh] = extra_numbers_.try_emplace(p, static_cast<std::uint32_t>(t.size() + extra_.size()));
        if (fresh) extra_.push_back(p);
        return it->second;
    }

    const char* position_of(std::uint32_t i) const
    {
        return i < prog_.tokens.size() ? prog_.tokens[i] : extra_[i - prog_.tokens.size()];
    }

    static void mark(std::vector<bool>& set, std::uint32_t i)
    {
        if (set.size() <= i) set.resize(std::max<std::size_t>(i + 1, set.size() * 2));
        set[i] = true;
    }

    bool marked(const std::vector<bool>& set, const char* p) const
    {
        const auto at = std::lower_bound(prog_.tokens.begin(), prog_.tokens.end(), p);
        std::uint32_t i = 0;
        if (at != prog_.tokens.end() && *at == p) {
            i = static_cast<std::uint32_t>(at - prog_.tokens.begin());
        } else {
            const auto found = extra_numbers_.find(p);
            if (found == extra_numbers_.end()) return false;
            i = found->second;
        }
        return i < set.size() && set[i];
    }

    // Diagnoses each position of every word with its absolute state.
    void diagnose_entries()
    {
        diagnosing_ = true;
        for (std::size_t e = 0; e < entries_.size(); ++e) {
            entry& en = entries_[e];
            if (en.entry_depth == unreached) continue;
            // Diagnosing flows nowhere, so the table does not change meanwhile.
            en.states.each([&](std::uint32_t i, flow_state st) {
                st.depth = add_depth(st.depth, en.entry_depth);
                if (en.entry_past != nullptr) st.past = en.entry_past;
                diagnose_at(i, st);
            });
        }
        diagnosing_ = false;
    }

    void diagnose_at(std::uint32_t i, const flow_state& s)
    {
        const char* const p = position_of(i);
        doom_ = s.past;
        if (live()) mark(reached_, i);
        // A label does nothing where it stands: the jumps to it go on after it.
        const bool label = p[0] == '@' && is_word_char(p[1]);
        if (s.past != nullptr && live() && !ends_word(p) && !label) {
            const char*& first = first_past_[s.past];
            // The first position after the error, or else the first before it.
            const bool after = p > s.past;
            if (first == nullptr || (after && (first < s.past || p < first)) || (!after && first < s.past && p < first))
                first = p;
        }
        step(0, p, s, 0);
    }

public:

    const std::vector<raised_finding>& findings() const { return findings_; }
    const program& program_of() const { return prog_; }
    // For each fatal error the walk went on past: the first token after it
    // that only ways past it reach.
    const std::map<const char*, const char*>& first_past() const { return first_past_; }
    // False when the word defined at name is called and no way through it returns.
    bool may_return(const char* name) const
    {
        const entry* en = entry_of(name);
        return en == nullptr || en->returns;
    }
    // Whether a way from main reaches p, lands on p or takes the reference at p.
    bool reached(const char* p) const { return marked(reached_, p); }
    // Whether a way from main reaches or lands on the token numbered i.
    bool runs_at(std::size_t i) const
    {
        return (i < reached_.size() && reached_[i]) || (i < landings_.size() && landings_[i]);
    }
    bool landing(const char* p) const { return marked(landings_, p); }
    bool reference(const char* p) const { return marked(references_, p); }
    // The label tokens a way from main reaches, in text order.
    std::vector<const char*> reached_labels() const
    {
        std::vector<const char*> out;
        for (std::size_t i = 0; i < reached_.size(); ++i) {
            if (!reached_[i]) continue;
            const char* const p = position_of(static_cast<std::uint32_t>(i));
            if (p[0] == '@' && is_word_char(p[1]) && p[1] != '@') out.push_back(p);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    const std::vector<const char*>& backward_jumps() const { return backward_jumps_; }

    // Forward searches share their work through the earliest search of each
    // label, so they need no cache of their own.
    // The last searches are kept too: the walk and its diagnosis of a word
    // follow the same jumps one after the other.
    jump_outcome down(const char* t)
    {
        auto& recent = recent_down_[(reinterpret_cast<std::uintptr_t>(t) >> 2) % recent_down_.size()];
        if (recent.first != t) recent = {t, search_down(t)};
        return recent.second;
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
        // The search for this label that started earliest, and where it ended.
        const std::string_view label(reference + 1, static_cast<std::size_t>(end - reference - 1));
        const auto found = forward_searches_.find(label);
        if (found != forward_searches_.end()) {
            const forward_search& earliest = found->second;
            if (earliest.start <= reference && (earliest.landed == nullptr || earliest.landed > reference))
                return {earliest.landed == nullptr ? jump_outcome::kind::not_found : jump_outcome::kind::landed,
                        reference[1] != '@', earliest.landed};
        }
        const jump_outcome o = find_jump_down(t);
        const bool landed = o.result == jump_outcome::kind::landed;
        // Only a long search is worth sharing.
        if (!landed || o.label_token - reference > 1024) {
            forward_search& earliest = forward_searches_[label];
            if (earliest.start == nullptr || reference < earliest.start)
                earliest = {reference, landed ? o.label_token : nullptr};
        }
        return o;
    }

    // The place of a definition's name among the names (all in text order).
    std::size_t definition_number(const char* name) const
    {
        const std::vector<const char*>& names = prog_.definitions.names;
        return static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), name) - names.begin());
    }

    // The entry of the word defined at name, made on first use.
    std::size_t entry_for(const char* name)
    {
        std::uint32_t& number = entry_numbers_[definition_number(name)];
        if (number == no_entry) {
            number = static_cast<std::uint32_t>(entries_.size());
            entries_.emplace_back();
            entries_.back().body = next_token(name);
        }
        return number;
    }

    // The entry of the word defined at name, if a walk entered it.
    const entry* entry_of(const char* name) const
    {
        const std::size_t i = definition_number(name);
        return i < entry_numbers_.size() && entry_numbers_[i] != no_entry ? &entries_[entry_numbers_[i]] : nullptr;
    }

    void raise_entry_depth(std::size_t e, int depth, const char* past = nullptr)
    {
        entry& en = entries_[e];
        const bool cleared = en.entry_depth != unreached && en.entry_past != nullptr && past == nullptr;
        if (cleared) {
            en.entry_past = nullptr;
            for (const char* p : en.calls) work_.emplace_back(e, p);
        }
        if (en.entry_depth != unreached && depth <= en.entry_depth) return;
        const bool first = en.entry_depth == unreached;
        if (first) en.entry_past = past;
        en.entry_depth = !first && ++en.entry_raises > max_raises ? unbounded : depth;
        if (first) {
            // The body's states are relative to the entry, its past included.
            const char* const before = doom_;
            doom_ = nullptr;
            if (en.body == nullptr) {
                set_returns(e, 0);
            } else {
                const std::uint32_t first_number = number_of(en.body);
                std::size_t span = 1;
                while (first_number + span <= prog_.tokens.size() &&
                       !ends_word(prog_.tokens[first_number + span - 1]))
                    ++span;
                entries_[e].states.prepare(first_number, span);
                flow_to(e, en.body, 0, {});
            }
            doom_ = before;
        } else {
            // Ways that died for want of values may live now, and the words
            // it calls are called with more values too.
            for (const char* p : en.starved) work_.emplace_back(e, p);
            en.starved.clear();
            for (const char* p : en.calls) work_.emplace_back(e, p);
        }
    }

    // The calls of e go on again: what is known of its return has changed.
    void push_callers(std::size_t e)
    {
        for (auto it = caller_pairs_.lower_bound({e, 0, nullptr}); it != caller_pairs_.end() && std::get<0>(*it) == e; ++it)
            work_.emplace_back(std::get<1>(*it), std::get<2>(*it));
    }

    void set_returns(std::size_t e, int depth)
    {
        entry& en = entries_[e];
        if (en.returns && en.returns_past != nullptr && doom_ == nullptr) {
            en.returns_past = nullptr;
            push_callers(e);
        }
        if (!en.returns) en.returns_past = doom_;
        if (en.returns && depth <= en.effect) return;
        en.effect = en.returns && ++en.effect_raises > max_raises ? unbounded : depth;
        en.returns = true;
        push_callers(e);
    }

    void flow_to(std::size_t e, const char* p, int depth, const known_tops& tops)
    {
        if (diagnosing_) return;
        if (join(entries_[e].states.at(number_of(p)), depth, tops, doom_)) work_.emplace_back(e, p);
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
        // A walk from a definition that never runs reports as it goes: its
        // depths are unknown from the start, so a second pass would add nothing.
        if (diagnosing_ || walking_dead_) findings_.push_back({p, kind, std::move(message), doom_, walking_dead_});
    }

    // Goes on past a fatal error at p, to find what would go wrong later;
    // what only such ways reach is marked as past it.
    void go_on_past(std::size_t e, const char* p, int depth)
    {
        const char* const before = doom_;
        if (doom_ == nullptr) doom_ = p;
        go_on(e, p, depth);
        doom_ = before;
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
        if (diagnosing_ && backward && live()) backward_jumps_.push_back(p);
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
            if (diagnosing_ && live()) mark(landings_, number_of(o.label_token));
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
        if (diagnosing_ && live()) mark(references_, number_of(reference));
    }

    void on_goto(std::size_t e, const char* p, const flow_state& s, int depth)
    {
        const std::optional<std::int32_t> count = s.tops().top, index = s.tops().second;
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
                raise(o.chosen, problem::on_goto_not_found,
                      "label " + quoted(o.chosen + 1) +
                          " not found after the list of references; the running word ends there");
                set_returns_unless_diagnosing(e, depth);
                continue;
            }
            if (diagnosing_ && live()) mark(landings_, number_of(o.label_token));
            go_on(e, o.label_token, depth);
        }
    }

    void call(std::size_t e, const char* p, const char* name, int base, int depth)
    {
        if (diagnosing_) return;
        const std::size_t c = entry_for(name);
        // A call site is new once: then it joins the caller's calls and the callee's callers.
        if (caller_pairs_.emplace(c, e, p).second) entries_[e].calls.push_back(p);
        const char* const past = doom_ != nullptr ? doom_ : entries_[e].entry_past;
        // A definition that never runs does not change what is known of a
        // word that does.
        if (!walking_dead_ || entries_[c].entry_depth == unreached) raise_entry_depth(c, add_depth(depth, base), past);
        if (!entries_[c].returns) return;
        const char* const before = doom_;
        if (doom_ == nullptr) doom_ = entries_[c].returns_past;
        go_on(e, p, add_depth(depth, entries_[c].effect));
        doom_ = before;
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
            go_on(e, p, add_depth(s.depth, 1), {token.value, s.tops().top});
            return;
        case cell_tag::LABEL:
            go_on(e, p, s.depth, s.tops());
            return;
        case cell_tag::UNKNOWN:
            break;
        }
        const native_handler h = find_native(prog_.natives, p);
        if (h == nullptr)
            step_defined(e, p, s, base);
        else
            step_native(e, p, s, base, *info_of(h));
    }

    // A word the script defines, or one nobody does.
    void step_defined(std::size_t e, const char* p, const flow_state& s, int base)
    {
        if (const char* name = lookup_user_word(prog_.index, p)) {
            call(e, p, name, base, s.depth);
            return;
        }
        std::string message = "undefined word " + quoted(p);
        const bool colon = is_single_char_token(p, ':');
        if (colon)
            message += ": a definition is met while running (is a ';' missing before it?)";
        else if (word_compare(p, comment_end) == 0)
            message += ": a '*/' outside a comment";
        raise(p, problem::undefined_word, std::move(message));
        // What follows a ':' is another definition: no way goes on there.
        if (!colon) go_on_past(e, p, unbounded);
    }

    // "if" and "loop": the ways a known condition leaves open.
    void step_branch(std::size_t e, const char* p, const flow_state& s, int after, bool backward)
    {
        const std::optional<std::int32_t> x = s.tops().top;
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
    }

    void step_native(std::size_t e, const char* p, const flow_state& s, int base, const native_info& word)
    {
        const native_handler h = word.handler;
        if (!has_values(e, p, s, base, word.pops)) return;
        const int after = add_depth(s.depth, word.pushes - word.pops);
        if (h == nw_if || h == nw_loop) {
            step_branch(e, p, s, after, h == nw_loop);
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
            go_on(e, end, after, s.tops());
            return;
        }
        step_value(e, p, s, after, word);
    }

    // The words that compute, move, write or store values.
    void step_value(std::size_t e, const char* p, const flow_state& s, int after, const native_info& word)
    {
        const native_handler h = word.handler;
        const std::optional<std::int32_t> top = s.tops().top;
        if (h == nw_set && top && static_cast<std::uint32_t>(*top) > 63) {
            raise(p, problem::bad_store, store_message(*top));
            go_on_past(e, p, after);
            return;
        }
        if (h == nw_get && top && (*top < 0 || *top > 95)) {
            raise(p, problem::bad_fetch, fetch_message(*top));
            go_on_past(e, p, after);
            return;
        }
        if ((h == nw_div || h == nw_mod) && top && *top == 0) raise(p, problem::division_by_zero, division_message(p));
        // Constant operands fold, with the operations' own definitions.
        if (const std::optional<binary_operation> op = operation_of(word);
            op && top && s.tops().second && !(divides(*op) && *top == 0)) {
            go_on(e, p, after, {evaluate(*op, *s.tops().second, *top), std::nullopt});
            return;
        }
        if (word.translation.kind == translation_kind::negation && top) {
            go_on(e, p, after, {negated_truth(*top), s.tops().second});
            return;
        }
        // The words that only move values keep what is known of them.
        if (h == nw_dup)
            go_on(e, p, after, {top, top});
        else if (h == nw_swap)
            go_on(e, p, after, {s.tops().second, top});
        else if (h == nw_over)
            go_on(e, p, after, {s.tops().second, top});
        else if (h == nw_drop)
            go_on(e, p, after, {s.tops().second, std::nullopt});
        else
            go_on(e, p, after);
    }

    const program& prog_;
    std::vector<entry> entries_;
    static constexpr std::uint32_t no_entry = UINT32_MAX;
    std::vector<std::uint32_t> entry_numbers_;  // by definition number
    std::vector<std::pair<std::size_t, const char*>> work_;
    std::unordered_map<const char*, jump_outcome> up_;
    std::array<std::pair<const char*, jump_outcome>, 4096> recent_down_{};
    std::unordered_map<const char*, const char*> comment_ends_;
    std::map<std::tuple<const char*, std::int32_t, std::int32_t>, on_goto_outcome> on_gotos_;
    struct forward_search {
        const char* start = nullptr;   // the reference the search started from
        const char* landed = nullptr;  // the label it found, or nullptr: none
    };
    std::unordered_map<std::string_view, forward_search> forward_searches_;
    bool diagnosing_ = false;
    const char* doom_ = nullptr;  // the fatal error the way being followed has passed
    // While the walks from definitions that no way from main calls go on:
    // every way they take is one no run takes.
    bool walking_dead_ = false;
    std::map<const char*, const char*> first_past_;
    std::vector<raised_finding> findings_;
    std::vector<bool> reached_, landings_, references_;  // by token number
    std::uint32_t last_number_ = 0;
    std::vector<const char*> extra_;  // positions past the tokens, by number
    std::unordered_map<const char*, std::uint32_t> extra_numbers_;
    std::set<std::tuple<std::size_t, std::size_t, const char*>> caller_pairs_;  // callee, caller, call
    std::vector<const char*> backward_jumps_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The runs themselves: from the start of main every value is followed as an
// interval (exact for literals, the ranges of the clock's fields, anything
// for random numbers), and where a branch depends on a value that differs
// between runs the run forks into one world per way. When every world comes
// to its end within the budget, the worlds are all the runs there are.

namespace {

struct value {
    std::int32_t lo = 0, hi = 0;
    bool known() const noexcept { return lo == hi; }
    bool surely_zero() const noexcept { return lo == 0 && hi == 0; }
    bool never_zero() const noexcept { return lo > 0 || hi < 0; }
};

constexpr value any_value{INT32_MIN, INT32_MAX};
constexpr value exactly(std::int32_t v) noexcept { return {v, v}; }
constexpr value truth_values{0, 1};

value fitting(long long lo, long long hi)
{
    if (lo < INT32_MIN || hi > INT32_MAX) return any_value;
    return {static_cast<std::int32_t>(lo), static_cast<std::int32_t>(hi)};
}

std::string range_text(value i)
{
    return i.known() ? std::to_string(i.lo) : std::to_string(i.lo) + " to " + std::to_string(i.hi);
}

std::string fetch_message(value i)
{
    if (i.known()) return fetch_message(i.lo);
    const bool never = i.hi < 0 || i.lo > 95;
    return "read of variable number " + range_text(i) + (never ? ", none of which exists" : ", which may not exist");
}

std::string store_message(value i)
{
    if (i.known()) return store_message(i.lo);
    const bool never = i.hi < 0 || i.lo > 63;
    return "store into variable number " + range_text(i) +
           (never ? ", none of which can be written" : ", which may not be writable");
}

std::string overflow_message(const char* p)
{
    return "stack overflow: " + quoted(p) + " pushes beyond the " + std::to_string(max_stack_cells) +
           " values the stack holds";
}

std::string nesting_message(const char* call, bool returns)
{
    const std::string limit = std::to_string(max_depth);
    if (!returns)
        return "endless recursion: every way through " + quoted(call) + " calls again before any ';', so the " +
               limit + " nested calls the interpreter allows run out";
    return "recursion too deep: the calls through " + quoted(call) + " nest deeper than the " + limit +
           " levels the interpreter allows";
}

// The values system variable k (0 for ?a) can read.
value system_range(std::int32_t k)
{
    switch (k) {
    case 'd' - 'a': return {1, 31};
    case 'h' - 'a': return {0, 23};
    case 'm' - 'a': return {0, 59};
    case 'o' - 'a': return {1, 12};
    case 's' - 'a': return {0, 60};  // a leap second
    case 'r' - 'a':
    case 'y' - 'a': return any_value;
    default: return exactly(0);
    }
}

value truth_of(bool surely, bool never)
{
    return surely ? exactly(1) : never ? exactly(0) : truth_values;
}

value remainder_range(value a, std::int32_t divisor)
{
    if (divisor == INT32_MIN) return any_value;
    const std::int32_t k = divisor < 0 ? -divisor : divisor;
    if (a.lo >= 0) return {0, std::min(a.hi, k - 1)};
    if (a.hi <= 0) return {std::max(a.lo, -(k - 1)), 0};
    return {-(k - 1), k - 1};
}

// What a op b can give, for every pair of the intervals; the caller has dealt
// with a zero divisor.
value combine(binary_operation op, value a, value b)
{
    if (a.known() && b.known()) return exactly(evaluate(op, a.lo, b.lo));
    using bo = binary_operation;
    switch (op) {
    case bo::add: return fitting(0LL + a.lo + b.lo, 0LL + a.hi + b.hi);
    case bo::sub: return fitting(0LL + a.lo - b.hi, 0LL + a.hi - b.lo);
    case bo::mul: {
        const long long c[] = {1LL * a.lo * b.lo, 1LL * a.lo * b.hi, 1LL * a.hi * b.lo, 1LL * a.hi * b.hi};
        return fitting(*std::min_element(std::begin(c), std::end(c)), *std::max_element(std::begin(c), std::end(c)));
    }
    case bo::div:
        if (b.known() && b.lo > 0) return {a.lo / b.lo, a.hi / b.lo};
        return any_value;
    case bo::mod: return b.known() ? remainder_range(a, b.lo) : any_value;
    case bo::eq: return truth_of(false, a.hi < b.lo || b.hi < a.lo);
    case bo::ne: return truth_of(a.hi < b.lo || b.hi < a.lo, false);
    case bo::lt: return truth_of(a.hi < b.lo, a.lo >= b.hi);
    case bo::gt: return truth_of(a.lo > b.hi, a.hi <= b.lo);
    case bo::logical_and: return truth_of(a.never_zero() && b.never_zero(), a.surely_zero() || b.surely_zero());
    case bo::logical_or: return truth_of(a.never_zero() || b.never_zero(), a.surely_zero() && b.surely_zero());
    }
    return any_value;
}

// One run's state, or several runs' that have gone the same way so far.
struct world {
    const char* at = nullptr;  // the next token
    std::vector<value> stack;
    std::vector<std::vector<value>> frames;  // locals per depth; empty: never written, all 0
    std::array<value, 32> globals{};
    std::vector<const char*> returns;
    std::set<std::pair<const char*, problem>> met;
};

enum class world_end { normal, fatal, abandoned };

struct world_event {
    const char* where;
    problem kind;
    std::string message;  // for what the walk over what can run may not see
};

class worlds {
public:
    worlds(const program& prog, walker& w) : prog_(prog), walker_(w) {}

    void run(const char* main_name)
    {
        if (main_name == nullptr) return;
        world first;
        first.at = next_token(main_name);
        first.frames.resize(1);
        pending_.push_back(std::move(first));
        while (!pending_.empty()) {
            world w = std::move(pending_.back());
            pending_.pop_back();
            finish(w, follow(w));
        }
    }

    // How many of the worlds met (p, kind); and whether the worlds are every
    // run there is.
    std::size_t met(const char* p, problem kind) const
    {
        const auto found = counts_.find({p, kind});
        return found == counts_.end() ? 0 : found->second;
    }
    std::size_t count() const noexcept { return finished_; }
    bool complete() const noexcept { return abandoned_ == 0; }
    bool some_run_succeeds() const noexcept { return normal_ > 0 || abandoned_ > 0; }
    const std::vector<world_event>& events() const noexcept { return events_; }

private:
#ifdef QKA_TOKEN_LIMIT
    static constexpr long max_steps = 20'000;  // a fuzzing build: many inputs a second
#else
    static constexpr long max_steps = 8'000'000;
#endif
    static constexpr std::size_t max_worlds = 64;
    // A world with more cells than this is not copied into a fork.
    static constexpr std::size_t max_forked_cells = 65'536;
    static constexpr std::size_t max_forked_depth = 4'096;  // nor one nested deeper

    void finish(const world& w, world_end how)
    {
        ++finished_;
        if (how == world_end::normal) ++normal_;
        if (how == world_end::abandoned) ++abandoned_;
        for (const auto& m : w.met) ++counts_[m];
    }

    void event(world& w, const char* p, problem kind, std::string message = {})
    {
        if (!w.met.emplace(p, kind).second) return;
        if (reported_.emplace(p, kind).second) events_.push_back({p, kind, std::move(message)});
    }

    // A way of this world that ends at once at p: counted as a world of its own.
    void fatal_fork(const world& w, const char* p, problem kind, std::string message)
    {
        world ended;
        ended.met = w.met;
        event(ended, p, kind, std::move(message));
        finish(ended, world_end::fatal);
    }

    // Takes the other way of a branch in a world of its own, if the budget allows.
    bool fork(const world& w, const char* at)
    {
        if (finished_ + pending_.size() + 1 >= max_worlds || w.stack.size() > max_forked_cells ||
            w.returns.size() > max_forked_depth)
            return false;
        world other = w;
        other.at = at;
        pending_.push_back(std::move(other));
        return true;
    }

    static value pop(world& w)
    {
        const value v = w.stack.back();
        w.stack.pop_back();
        return v;
    }

    static value& local(world& w, std::int32_t i)
    {
        std::vector<value>& frame = w.frames[w.returns.size()];
        if (frame.empty()) frame.resize(32);
        return frame[static_cast<std::size_t>(i)];
    }

    world_end follow(world& w);
    std::optional<world_end> perform(world& w, const char* t);
    std::optional<world_end> perform_native(world& w, const char* t, const native_info& info);
    std::optional<world_end> branch(world& w, const char* t, bool backward, value x);
    std::optional<world_end> jump_to(world& w, const char* t, bool backward);
    std::optional<world_end> computed_jump(world& w, const char* t);
    std::optional<world_end> fetch(world& w, const char* t);
    std::optional<world_end> store(world& w, const char* t);

    const program& prog_;
    walker& walker_;
    std::vector<world> pending_;
    long steps_ = 0;
    std::size_t finished_ = 0, normal_ = 0, abandoned_ = 0;
    std::map<std::pair<const char*, problem>, std::size_t> counts_;
    std::set<std::pair<const char*, problem>> reported_;
    std::vector<world_event> events_;
    const char* called_ = nullptr;

public:
    const char* nested_ = nullptr;  // the definition the nesting limit was met in
};

world_end worlds::follow(world& w)
{
    while (steps_++ < max_steps) {
        if (ends_word(w.at)) {
            if (w.returns.empty()) return world_end::normal;
            w.at = next_token(w.returns.back());
            w.returns.pop_back();
            continue;
        }
        const char* const t = w.at;
        called_ = nullptr;
        if (const std::optional<world_end> end = perform(w, t)) return *end;
        if (called_ == nullptr) continue;
        if (w.returns.size() == max_depth) {
            nested_ = called_;
            event(w, t, problem::nesting, nesting_message(t, walker_.may_return(called_)));
            return world_end::fatal;
        }
        w.returns.push_back(t);
        if (w.frames.size() <= w.returns.size()) w.frames.emplace_back();
        w.at = next_token(called_);
    }
    return world_end::abandoned;
}

// Performs the token at t and moves w.at on; a world_end when the world ends there.
std::optional<world_end> worlds::perform(world& w, const char* t)
{
    w.at = next_token(t);
    if (opens_unterminated_string(t)) {
        event(w, t, problem::unterminated_string);
        return world_end::fatal;
    }
    const cell token = token2string_word(prog_.positions, t);
    if (token.tag == cell_tag::NUMBER || token.tag == cell_tag::STRING) {
        if (w.stack.size() >= max_stack_cells) {
            event(w, t, problem::overflow, overflow_message(t));
            return world_end::fatal;
        }
        w.stack.push_back(exactly(token.value));
        return std::nullopt;
    }
    if (token.tag == cell_tag::LABEL) return std::nullopt;
    const native_handler h = find_native(prog_.natives, t);
    if (h == nullptr) {
        called_ = lookup_user_word(prog_.index, t);
        if (called_ != nullptr) return std::nullopt;
        event(w, t, problem::undefined_word);
        return world_end::fatal;
    }
    const native_info& info = *info_of(h);
    if (w.stack.size() < static_cast<std::size_t>(info.pops)) {
        event(w, t, problem::underflow,
              "stack underflow: " + quoted(t) + " takes " + std::to_string(info.pops) +
                  (info.pops == 1 ? " value" : " values") + " and finds " +
                  (w.stack.empty() ? "none" : std::to_string(w.stack.size())));
        return world_end::fatal;
    }
    if (w.stack.size() - static_cast<std::size_t>(info.pops) + static_cast<std::size_t>(info.pushes) > max_stack_cells) {
        event(w, t, problem::overflow, overflow_message(t));
        return world_end::fatal;
    }
    return perform_native(w, t, info);
}

std::optional<world_end> worlds::perform_native(world& w, const char* t, const native_info& info)
{
    std::vector<value>& s = w.stack;
    if (const std::optional<binary_operation> op = operation_of(info)) {
        const value b = pop(w);
        const value a = pop(w);
        if (divides(*op) && b.surely_zero()) {
            event(w, t, problem::division_by_zero, division_message(t));
            s.push_back(exactly(0));
        } else if (divides(*op) && !b.never_zero()) {
            s.push_back(any_value);
        } else {
            s.push_back(combine(*op, a, b));
        }
        return std::nullopt;
    }
    if (info.translation.kind == translation_kind::shuffle) {
        const shuffle_pattern& pattern = info.translation.pattern;
        std::array<value, 3> popped{};
        for (int i = info.pops - 1; i >= 0; --i) popped[static_cast<std::size_t>(i)] = pop(w);
        for (std::size_t i = 0; i < pattern.count; ++i) s.push_back(popped[pattern.from[i]]);
        return std::nullopt;
    }
    switch (info.translation.kind) {
    case translation_kind::negation: {
        const value x = pop(w);
        s.push_back(truth_of(x.surely_zero(), x.never_zero()));
        return std::nullopt;
    }
    case translation_kind::output: s.resize(s.size() - static_cast<std::size_t>(info.pops)); return std::nullopt;
    case translation_kind::version: s.push_back(exactly(position_value(prog_.positions, version_text))); return std::nullopt;
    case translation_kind::handler:  // wday
        s.resize(s.size() - 3);
        s.push_back({-6, 6});
        return std::nullopt;
    case translation_kind::fetch: return fetch(w, t);
    case translation_kind::store: return store(w, t);
    case translation_kind::jump_if_zero: return branch(w, t, false, pop(w));
    case translation_kind::loop_if_nonzero: return branch(w, t, true, pop(w));
    case translation_kind::jump_down: return jump_to(w, t, false);
    case translation_kind::jump_up: return jump_to(w, t, true);
    case translation_kind::computed_jump: return computed_jump(w, t);
    case translation_kind::comment:
        if (const char* end = walker_.comment_end_of(t)) {
            w.at = next_token(end);
            return std::nullopt;
        }
        event(w, t, problem::unterminated_comment);
        return world_end::fatal;
    default: return world_end::abandoned;
    }
}

std::optional<world_end> worlds::branch(world& w, const char* t, bool backward, value x)
{
    const bool may_jump = backward ? !x.surely_zero() : !x.never_zero();
    const bool may_pass = backward ? !x.never_zero() : !x.surely_zero();
    const char* const passed = w.at == nullptr ? nullptr : next_token(w.at);  // past the reference
    if (may_jump && may_pass && !fork(w, passed)) return world_end::abandoned;
    if (may_jump) return jump_to(w, t, backward);
    w.at = passed;
    return std::nullopt;
}

std::optional<world_end> worlds::jump_to(world& w, const char* t, bool backward)
{
    const jump_outcome o = backward ? walker_.up(t) : walker_.down(t);
    using kind = jump_outcome::kind;
    const char* const reference = next_token(t);
    if (o.result == kind::no_reference) {
        event(w, t, problem::no_reference);
        w.at = nullptr;  // the running word ends
        return std::nullopt;
    }
    if (o.bad_reference) event(w, reference, problem::bad_reference);
    switch (o.result) {
    case kind::landed: w.at = next_token(o.label_token); return std::nullopt;
    case kind::unterminated_label: event(w, reference, problem::unterminated_string); return world_end::fatal;
    case kind::not_found: event(w, reference, problem::label_not_found); return world_end::fatal;
    case kind::no_reference: break;
    }
    return world_end::fatal;
}

std::optional<world_end> worlds::computed_jump(world& w, const char* t)
{
    const value n = pop(w);
    const value k = pop(w);
    if (!n.known() || !k.known()) {
        // Out of range on every run: the references run as tokens.
        if (n.known() && (k.hi < 1 || k.lo > n.lo)) return std::nullopt;
        return world_end::abandoned;
    }
    if (k.lo < 1 || k.lo > n.lo) return std::nullopt;
    const on_goto_outcome o = walker_.on_goto_of(t, k.lo, n.lo);
    using kind = on_goto_outcome::kind;
    if (o.result == kind::missing_reference) {
        event(w, t, problem::missing_references);
        w.at = nullptr;
        return std::nullopt;
    }
    if (o.bad_reference) event(w, o.chosen, problem::bad_reference);
    if (o.result == kind::not_found) {
        event(w, o.chosen, problem::on_goto_not_found);
        w.at = nullptr;
        return std::nullopt;
    }
    w.at = next_token(o.label_token);
    return std::nullopt;
}

std::optional<world_end> worlds::fetch(world& w, const char* t)
{
    const value i = pop(w);
    if (i.hi < 0 || i.lo > 95) {
        event(w, t, problem::bad_fetch, fetch_message(i));
        return world_end::fatal;
    }
    if (i.lo < 0 || i.hi > 95) {
        fatal_fork(w, t, problem::bad_fetch, fetch_message(i));
        w.stack.push_back(any_value);
        return std::nullopt;
    }
    if (!i.known()) {
        w.stack.push_back(any_value);
        return std::nullopt;
    }
    const std::int32_t n = i.lo;
    w.stack.push_back(n < 32 ? local(w, n) : n < 64 ? w.globals[static_cast<std::size_t>(n - 32)] : system_range(n - 64));
    return std::nullopt;
}

std::optional<world_end> worlds::store(world& w, const char* t)
{
    const value i = pop(w);
    const value v = pop(w);
    if (i.hi < 0 || i.lo > 63) {
        event(w, t, problem::bad_store, store_message(i));
        return world_end::fatal;
    }
    if (i.lo < 0 || i.hi > 63) fatal_fork(w, t, problem::bad_store, store_message(i));
    if (!i.known()) {
        // Any of the variables may have changed.
        w.frames[w.returns.size()].assign(32, any_value);
        w.globals.fill(any_value);
        return std::nullopt;
    }
    if (i.lo < 32)
        local(w, i.lo) = v;
    else
        w.globals[static_cast<std::size_t>(i.lo - 32)] = v;
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// The checks

namespace {

constexpr std::string_view bom = "\xef\xbb\xbf";

void check_first_line(const program& prog, std::vector<finding>& out)
{
    const std::string_view text(prog.text, static_cast<std::size_t>(prog.text_end - prog.text));
    // A mark followed by white space is a token of its own, outside every
    // definition, and harmless.
    if (text.starts_with(bom) && is_word_char(prog.text[bom.size()])) {
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

// Names defined more than once: the index holds equal names side by side,
// and calls run the one the lookup finds.
void check_duplicates(const program& prog, std::vector<finding>& out)
{
    const std::vector<const char*>& index = prog.index;
    for (std::size_t i = 0; i < index.size();) {
        std::size_t j = i + 1;
        while (j < index.size() && word_compare(index[i], index[j]) == 0) ++j;
        if (j - i > 1) {
            const char* const found = lookup_user_word(index, index[i]);
            for (std::size_t k = i; k < j; ++k) {
                if (index[k] == found) continue;
                out.push_back({index[k], severity::warning, check_code::duplicate_definition,
                               quoted(index[k]) + " is defined " + std::to_string(j - i) +
                                   " times; calls run the definition at " + at_line(prog, found)});
            }
        }
        i = j;
    }
}

void check_definitions(const program& prog, const walker& w, const char* main_name, std::vector<finding>& out)
{
    if (prog.definitions.nameless_colon != nullptr)
        out.push_back({prog.definitions.nameless_colon, severity::warning, check_code::nameless_colon,
                       "':' is the last token: no word name follows"});
    check_duplicates(prog, out);
    if (main_name == nullptr) return;
    const std::vector<const char*>& tokens = prog.tokens;
    std::vector<const char*> unrun;
    for (const char* name : prog.definitions.names) {
        if (lookup_user_word(prog.index, name) != name) continue;  // a hidden duplicate
        // Runs when any token of its body up to the first ';' runs or is jumped to.
        auto i = static_cast<std::size_t>(std::lower_bound(tokens.begin(), tokens.end(), name) - tokens.begin());
        bool runs = false;
        for (++i; i < tokens.size() && !runs; ++i) {
            runs = w.runs_at(i);
            if (is_single_char_token(tokens[i], ';')) break;
        }
        if (!runs && next_token(name) != nullptr) unrun.push_back(name);
    }
    // Room for the notes and what comes after, so that growing copies nothing twice.
    out.reserve(out.size() + unrun.size() + w.findings().size() + 16);
    for (const char* name : unrun)
        out.push_back({name, severity::note, check_code::never_runs, "the definition of " + quoted(name) + " never runs"});
}

// The name of the definition whose text holds p (the last one before it).
const char* definition_of(const program& prog, const char* p)
{
    const std::vector<const char*>& names = prog.definitions.names;
    const auto after = std::upper_bound(names.begin(), names.end(), p);
    return after == names.begin() ? nullptr : *(after - 1);
}

// Endless recursion in words no run enters (the runs find it where they go):
// a body without jumps runs its calls in order, so it calls itself again
// before any ';' when a call, before any call that fails or never ends
// otherwise, leads back to a word still running.
class recursion_finder {
public:
    explicit recursion_finder(const program& prog) : prog_(prog), state_(prog.definitions.names.size(), unknown)
    {
        for (const char* name : prog.definitions.names)
            if (lookup_user_word(prog.index, name) == name) evaluate(name);
    }

    // The calls that lead back to a word still running: one per cycle that
    // has no way out.
    const std::vector<const char*>& calls_back() const { return calls_back_; }

private:
    enum outcome : std::uint8_t { unknown, running, returns, recurs, other };

    outcome evaluate(const char* name)
    {
        const std::vector<const char*>& names = prog_.definitions.names;
        outcome& o = state_[static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), name) - names.begin())];
        if (o == running) return running;
        if (o != unknown) return o;
        o = running;
        const outcome result = body_outcome(name);
        state_[static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), name) - names.begin())] = result;
        return result;
    }

    outcome body_outcome(const char* name)
    {
        for (const char* p = next_token(name); !ends_word(p); p = next_token(p)) {
            if (opens_unterminated_string(p)) return other;
            const cell token = token2string_word(prog_.positions, p);
            if (token.tag != cell_tag::UNKNOWN) continue;
            if (const native_handler h = find_native(prog_.natives, p)) {
                const translation_kind k = info_of(h)->translation.kind;
                // Jumps and comments make more than one way: not judged here.
                if (k == translation_kind::jump_if_zero || k == translation_kind::loop_if_nonzero ||
                    k == translation_kind::jump_down || k == translation_kind::jump_up ||
                    k == translation_kind::computed_jump || k == translation_kind::comment)
                    return other;
                continue;
            }
            const char* const callee = lookup_user_word(prog_.index, p);
            if (callee == nullptr) return other;  // fails there
            const outcome o = evaluate(callee);
            if (o == running) calls_back_.push_back(p);
            if (o == running || o == recurs) return recurs;
            if (o != returns) return other;
        }
        return returns;
    }

    const program& prog_;
    std::vector<outcome> state_;  // by definition number
    std::vector<const char*> calls_back_;
};

void check_unrun_recursion(const program& prog, const walker& w, std::vector<finding>& out)
{
    const recursion_finder finder(prog);
    const std::vector<const char*>& tokens = prog.tokens;
    for (const char* call : finder.calls_back()) {
        const char* const name = definition_of(prog, call);
        const auto i = static_cast<std::size_t>(std::lower_bound(tokens.begin(), tokens.end(), name) - tokens.begin());
        if (i + 1 < tokens.size() && w.runs_at(i + 1)) continue;  // the runs judge what runs
        out.push_back({call, severity::warning, check_code::endless_recursion,
                       "endless recursion: every way through " + quoted(call) +
                           " calls again before any ';' (where no run goes)",
                       lookup_user_word(prog.index, call)});
    }
}

void check_labels(const walker& w, std::vector<finding>& out)
{
    for (const char* p : w.reached_labels()) {
        if (p[0] != '@' || !is_word_char(p[1]) || p[1] == '@') continue;
        if (w.landing(p) || w.reference(p)) continue;
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

namespace {

// How sure a problem is. Met on every run, or on some runs when no run gets
// through: an error for what ends the run. Met on some runs only: a warning.
// Met on no run, while the worlds are all the runs: code that never runs, so
// a warning, unless the walk reached it only past an earlier fatal error
// (then it is that error's consequence, and still an error of its own).
// When the runs could not all be followed, what the walk finds stands.
severity level_for(problem kind, std::size_t met, const worlds& runs)
{
    if (!is_fatal(kind)) return severity::warning;
    if (met > 0)
        return met == runs.count() || (runs.complete() && !runs.some_run_succeeds()) ? severity::error
                                                                                      : severity::warning;
    return runs.complete() ? severity::warning : severity::error;
}

std::string qualifier(problem kind, std::size_t met, const worlds& runs, severity level)
{
    if (met > 0 && met == runs.count()) return " (on every run)";
    if (met > 0 && level == severity::warning && is_fatal(kind)) return " (on some runs)";
    if (met == 0 && runs.complete() && level == severity::warning && is_fatal(kind)) return " (where no run goes)";
    return "";
}

void unreachable_notes(const walker& w, const std::set<const char*>& causes, std::vector<finding>& out);

void classify(const walker& w, const worlds& runs, std::vector<finding>& out)
{
    std::vector<raised_finding> all = w.findings();
    std::set<std::pair<const char*, problem>> known;
    for (const raised_finding& f : all) known.emplace(f.where, f.kind);
    for (const world_event& e : runs.events())
        if (!known.contains({e.where, e.kind}) && !e.message.empty()) all.push_back({e.where, e.kind, e.message});
    // The errors first, so that what lies past one takes its severity, and
    // what runs before what never does, which a place keeps when both meet it.
    std::stable_sort(all.begin(), all.end(), [](const raised_finding& a, const raised_finding& b) {
        return std::pair(a.dead, a.past_error != nullptr) < std::pair(b.dead, b.past_error != nullptr);
    });
    std::map<const char*, severity> levels;
    std::set<const char*> causes;  // the errors no other error comes before
    std::set<std::pair<const char*, std::string>> written;
    for (const raised_finding& f : all) {
        if (!written.emplace(f.where, f.message).second) continue;  // met on several ways
        const std::size_t met = runs.met(f.where, f.kind);
        severity level = level_for(f.kind, met, runs);
        if (f.past_error != nullptr && met == 0 && is_fatal(f.kind)) {
            const auto cause = levels.find(f.past_error);
            level = cause != levels.end() ? cause->second : severity::warning;
        }
        if (is_fatal(f.kind)) levels.emplace(f.where, level);
        if (is_fatal(f.kind) && level == severity::error && f.past_error == nullptr) causes.insert(f.where);
        const char* code = code_of(f.kind);
        const char* related = f.past_error;
        if (f.kind == problem::nesting) {
            related = runs.nested_;
            if (w.may_return(runs.nested_)) code = check_code::too_deep;
        }
        out.push_back({f.where, level, code, f.message + qualifier(f.kind, met, runs, level), related});
    }
    unreachable_notes(w, causes, out);
}

// One note for the code that only an error makes unreachable, pointing at it.
void unreachable_notes(const walker& w, const std::set<const char*>& causes, std::vector<finding>& out)
{
    std::set<const char*> taken;  // places with a finding of their own
    for (const finding& f : out) taken.insert(f.where);
    for (const auto& [cause, first] : w.first_past()) {
        if (!causes.contains(cause) || taken.contains(first)) continue;
        const line_column lc = locate(w.program_of(), cause);
        out.push_back({first, severity::note, check_code::unreachable,
                       "what follows never runs: every way here passes the fatal error at " + quoted(cause) +
                           " (line " + std::to_string(lc.line) + ", column " + std::to_string(lc.column) + ")",
                       cause});
    }
}

}  // namespace

namespace {

std::string_view token_text(const program& prog, const char* t)
{
    return {t, static_cast<std::size_t>(token_end(prog, t) - t)};
}

// The codes that disable comments silence, by line: a comment
// "/* qka-check disable=CODE,CODE */" covers its own line and the next. It is
// read from the text alone; the analysis sees the comment as any other.
std::set<std::pair<std::size_t, std::string>> silenced_codes(const program& prog)
{
    std::set<std::pair<std::size_t, std::string>> silenced;
    for (std::size_t i = 0; i + 2 < prog.tokens.size(); ++i) {
        if (token_text(prog, prog.tokens[i]) != "/*" || token_text(prog, prog.tokens[i + 1]) != "qka-check") continue;
        const std::size_t line = locate(prog, prog.tokens[i]).line;
        for (std::size_t j = i + 2; j < prog.tokens.size(); ++j) {
            std::string_view t = token_text(prog, prog.tokens[j]);
            if (!t.starts_with("disable=")) break;
            t.remove_prefix(8);
            while (!t.empty()) {
                const std::size_t comma = std::min(t.find(','), t.size());
                for (const std::size_t l : {line, line + 1}) silenced.emplace(l, std::string(t.substr(0, comma)));
                t.remove_prefix(std::min(comma + 1, t.size()));
            }
        }
    }
    return silenced;
}

void drop_silenced(const program& prog, std::vector<finding>& out)
{
    const auto silenced = silenced_codes(prog);
    if (silenced.empty()) return;
    std::set<const char*> dropped;
    std::erase_if(out, [&](const finding& f) {
        const bool drop = silenced.contains({locate(prog, f.where).line, std::string(f.code)});
        if (drop) dropped.insert(f.where);
        return drop;
    });
    // The note on what a silenced error makes unreachable goes with it.
    std::erase_if(out, [&](const finding& f) {
        return f.code == std::string_view(check_code::unreachable) && dropped.contains(f.related);
    });
}

}  // namespace

std::vector<finding> check_program(const program& prog)
{
    std::vector<finding> out;
    check_first_line(prog, out);
    const char* const main_name = lookup_user_word(prog.index, "main");
    walker w(prog);
    w.run(main_name);
    if (main_name == nullptr) {
        out.push_back({prog.tokens.empty() ? prog.text : prog.tokens.front(), severity::warning, check_code::no_main,
                       "no definition of 'main': the script runs nothing"});
    }
    check_definitions(prog, w, main_name, out);
    check_labels(w, out);
    check_unrun_recursion(prog, w, out);
    check_backward_views(prog, w, out);

    worlds runs(prog, w);
    runs.run(main_name);
    classify(w, runs, out);
    drop_silenced(prog, out);
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
        {check_code::bad_store, "bad-store", severity::error, "A store into a variable that does not exist or is read-only ends the run."},
        {check_code::bad_fetch, "bad-fetch", severity::error, "A read of a variable that does not exist ends the run."},
        {check_code::underflow, "stack-underflow", severity::error, "A word that finds fewer values than it takes ends the run."},
        {check_code::endless_recursion, "endless-recursion", severity::error, "Calls that never return before calling again reach the nesting limit."},
        {check_code::too_deep, "nesting-limit", severity::error, "Recursion goes deeper than the nesting limit."},
        {check_code::overflow, "stack-overflow", severity::error, "A push beyond the values the stack holds ends the run."},
        {check_code::division_by_zero, "division-by-zero", severity::warning, "A zero divisor: the interpreter warns and gives 0."},
        {check_code::bad_reference, "invalid-label-reference", severity::warning, "A label reference whose second character is not '@': reported, and the search goes on."},
        {check_code::no_reference, "no-label-reference", severity::warning, "A jumping word that is the last token: reported, and the running word ends."},
        {check_code::missing_references, "missing-references", severity::warning, "An on_goto followed by fewer tokens than its count: reported, and the running word ends."},
        {check_code::on_goto_not_found, "on-goto-label-not-found", severity::warning, "An on_goto whose label is not found: reported, and the running word ends."},
        {check_code::nameless_colon, "trailing-colon", severity::warning, "':' as the last token: reported when the script is read."},
        {check_code::duplicate_definition, "duplicate-definition", severity::warning, "A word defined more than once: calls run one of them only."},
        {check_code::backward_view, "backward-search-misreads", severity::warning, "A backward search reads a token differently from a forward reading."},
        {check_code::no_main, "no-main", severity::warning, "No definition of 'main': the script runs nothing."},
        {check_code::byte_order_mark, "byte-order-mark", severity::warning, "A UTF-8 byte order mark is part of the first token."},
        {check_code::shebang_cr, "shebang-carriage-return", severity::warning, "The #! line ends in a carriage return."},
        {check_code::never_runs, "never-runs", severity::note, "A definition that no run calls."},
        {check_code::unreachable, "unreachable", severity::note, "Code that only ways past a fatal error reach."},
        {check_code::unused_label, "unused-label", severity::note, "A label no jump lands on."},
    };
    return rules;
}
