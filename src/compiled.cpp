// The compiled executor. The script text never changes after loading, so
// everything the text walker derives from a position — the next token, its
// class, what a word resolves to, where a jump lands, where a comment ends — is
// a function of that position. The first time execution reaches a position,
// the straight run of tokens from there is turned into a block of compact
// instructions, adjacent tokens fused where a common sequence allows (a
// variable number and "@" or "!", a literal or a local and an arithmetic word,
// a local update, a comparison and "if" or "loop"). The block is remembered
// for the next time; memory grows with the part of the text that runs.
//
// Every instruction behaves exactly like the tokens it stands for. Each
// straight run of data instructions starts with a check that the stack holds
// enough cells for all of them and has room for what they push; where that
// fails, or a divisor is zero, the tokens are handed to the text walker's own
// per-token step, so that reports, partial effects and their order come out
// the same.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "nativeword.hpp"
#include "quokkavm.hpp"
#include "util.hpp"

namespace {

enum class binop : std::uint8_t { add, sub, mul, div, mod, eq, ne, lt, gt, logical_and, logical_or };

enum class op : std::uint8_t {
    // ---- data instructions: run inside a checked segment
    nop,                                   // an inlined word with an empty body
    push,                                  // a literal
    get_local, get_global, get_system,     // "n @"; the pushed tag is the number's
    set_local, set_global,                 // "n !"
    tee_local,                             // "dup n !" for a local n
    local_add_imm,                         // "$a @ k + $b !" (or "-"): local b = local a + k
    local_add_local,                       // "$a @ $b @ + $c !": local c = local a + local b
    local_plus_imm,                        // "$a @ k +" (or "-"): push local a + k
    local_binop_local,                     // "$a @ $b @ +" and the like: push local a (c) local b
    add, sub, mul, div, mod, eq, ne, lt, gt, logical_and, logical_or,  // x1 x2 on the stack
    add_imm, sub_imm, mul_imm, div_imm, mod_imm, eq_imm, ne_imm, lt_imm, gt_imm, and_imm, or_imm,
    add_local, sub_local, mul_local, div_local, mod_local, eq_local, ne_local, lt_local, gt_local,
    and_local, or_local,                   // x2 is a local fetched just before the word
    zero_eq, dup, drop, swap, over, rot,
    // ---- conditional jumps: end a checked segment; not jumping goes on
    if_zero, loop_nonzero,                 // "if" / "loop" on the popped cell
    if_local, loop_local,                  // "$a @ if" / "$a @ loop"
    update_if_local, update_loop_local,    // a local_add_imm, then "$c @ if" / "$c @ loop"
    if_lt_imm, if_gt_imm, if_eq_imm, if_ne_imm,          // "k < if" and the like
    loop_lt_imm, loop_gt_imm, loop_eq_imm, loop_ne_imm,  // "k > loop" and the like
    if_lt_local, if_gt_local, if_eq_local, if_ne_local,  // "$b @ < if" and the like
    loop_lt_local, loop_gt_local, loop_eq_local, loop_ne_local,
    if_local_binop_local, loop_local_binop_local,  // "$a @ $b @ % if" and the like
    if_local_lt_imm, if_local_gt_imm, if_local_eq_imm, if_local_ne_imm,  // "$a @ k < if" and the like
    loop_local_lt_imm, loop_local_gt_imm, loop_local_eq_imm, loop_local_ne_imm,
    // ---- the rest
    check,       // the stack suits the segment that follows
    native,      // any other native data word, through its handler
    call,        // a user word
    ret,         // ";" or the end of the text: the running word ends
    jump_down,   // "go_down"
    jump_up,     // "go_up"
    step,        // "on_goto", an undefined word, an unterminated string or
                 // comment: the token runs as the text walker runs it
    next_block,  // a long run goes on in a block of its own
};

constexpr bool is_data(op code) noexcept { return code <= op::rot; }
constexpr bool is_branch(op code) noexcept { return code >= op::if_zero && code <= op::loop_local_ne_imm; }

struct block;

// How far the jump of a jumping instruction has been worked out.
enum class jump_state : std::uint8_t { unresolved, clean, reporting };

struct instr {
    op code;
    std::uint8_t tokens = 1;  // how many tokens it stands for, from token on
    std::uint8_t need = 0;    // cells it needs on the stack (a check: the segment's)
    std::uint8_t grow = 0;    // cells its tokens add at most on the way (likewise)
    std::int8_t net = 0;      // cells it adds (or removes, when negative)
    jump_state jump = jump_state::unresolved;
    bool joins = false;       // its first token directly follows the data instruction before
    std::uint8_t a = 0;       // local variable numbers of the fused forms
    std::uint8_t b = 0;
    std::uint8_t c = 0;
    // Calls of inlined words that nest this many levels deeper happen just
    // before this instruction (on a check: the most of its segment), so the
    // nesting limit is checked here.
    std::uint8_t guard = 0;
    cell_tag tag = cell_tag::NUMBER;  // of the literal or the variable number
    std::int32_t value = 0;           // literal, variable number or addend
    const char* token = nullptr;      // its first token
    const char* word = nullptr;       // the jumping, called or stepped word (its last token)
    native_handler handler = nullptr;
    const char* entry = nullptr;      // where a call, a jump or the next block starts
    instr* target = nullptr;          // the code at entry, once known
    // Past the check the code at target starts with, whose need and grow are
    // copied here, so that going there makes it without a dispatch (target
    // itself, and 0 and 0, when it starts otherwise or its check also guards
    // the nesting). Set once target is known; for a jump, only when it is
    // clean, so that a jump that reports takes the slow way every time.
    instr* past_check = nullptr;
    std::uint8_t target_need = 0;
    std::uint8_t target_grow = 0;
};

struct block {
    std::vector<instr> code;
};

}  // namespace

struct compiled_code {
    // Blocks by the position they start at; nullptr is the empty word.
    std::unordered_map<const char*, block*> at;
    std::deque<block> blocks;
    // Storage for where each running call goes on (runs never nest: no
    // handler starts the executor).
    std::vector<instr*> returns = std::vector<instr*>(64);
};

void compiled_code_deleter::operator()(compiled_code* code) const noexcept { delete code; }

namespace {

// ---------------------------------------------------------------------------
// Compiling

struct inline_word {
    native_handler handler;
    op plain;
    op with_literal;  // fused with a literal just before; plain when none
    op with_local;    // fused with a local fetched just before; plain when none
    std::uint8_t need;
    std::uint8_t grow;
    std::int8_t net;
};

// The data words run inline; the rest go through their handlers.
constexpr inline_word inline_words[] = {
    {nw_add, op::add, op::add_imm, op::add_local, 2, 0, -1},
    {nw_sub, op::sub, op::sub_imm, op::sub_local, 2, 0, -1},
    {nw_mul, op::mul, op::mul_imm, op::mul_local, 2, 0, -1},
    {nw_div, op::div, op::div_imm, op::div_local, 2, 0, -1},
    {nw_mod, op::mod, op::mod_imm, op::mod_local, 2, 0, -1},
    {nw_eq, op::eq, op::eq_imm, op::eq_local, 2, 0, -1},
    {nw_ne, op::ne, op::ne_imm, op::ne_local, 2, 0, -1},
    {nw_lt, op::lt, op::lt_imm, op::lt_local, 2, 0, -1},
    {nw_gt, op::gt, op::gt_imm, op::gt_local, 2, 0, -1},
    {nw_and, op::logical_and, op::and_imm, op::and_local, 2, 0, -1},
    {nw_or, op::logical_or, op::or_imm, op::or_local, 2, 0, -1},
    {nw_zero_eq, op::zero_eq, op::zero_eq, op::zero_eq, 1, 0, 0},
    {nw_not, op::zero_eq, op::zero_eq, op::zero_eq, 1, 0, 0},
    {nw_dup, op::dup, op::dup, op::dup, 1, 1, 1},
    {nw_drop, op::drop, op::drop, op::drop, 1, 0, -1},
    {nw_swap, op::swap, op::swap, op::swap, 2, 0, 0},
    {nw_over, op::over, op::over, op::over, 2, 1, 1},
    {nw_rot, op::rot, op::rot, op::rot, 3, 0, 0},
};

const inline_word* find_inline_word(native_handler handler)
{
    for (const inline_word& word : inline_words)
        if (word.handler == handler) return &word;
    return nullptr;
}

// The conditional jump that tests a comparison directly, or ret when none.
op compare_branch(op compare, bool loop)
{
    switch (compare) {
    case op::lt_imm: return loop ? op::loop_lt_imm : op::if_lt_imm;
    case op::gt_imm: return loop ? op::loop_gt_imm : op::if_gt_imm;
    case op::eq_imm: return loop ? op::loop_eq_imm : op::if_eq_imm;
    case op::ne_imm: return loop ? op::loop_ne_imm : op::if_ne_imm;
    case op::lt_local: return loop ? op::loop_lt_local : op::if_lt_local;
    case op::gt_local: return loop ? op::loop_gt_local : op::if_gt_local;
    case op::eq_local: return loop ? op::loop_eq_local : op::if_eq_local;
    case op::ne_local: return loop ? op::loop_ne_local : op::if_ne_local;
    default: return op::ret;
    }
}

// The word a fused form with a local operand stands for.
binop binop_of(op with_local)
{
    switch (with_local) {
    case op::add_local: return binop::add;
    case op::sub_local: return binop::sub;
    case op::mul_local: return binop::mul;
    case op::div_local: return binop::div;
    case op::mod_local: return binop::mod;
    case op::eq_local: return binop::eq;
    case op::ne_local: return binop::ne;
    case op::lt_local: return binop::lt;
    case op::gt_local: return binop::gt;
    case op::and_local: return binop::logical_and;
    default: return binop::logical_or;
    }
}

// Whether the word's result keeps the tag of x2 (otherwise that of x1).
constexpr bool keeps_second_tag(binop b) noexcept
{
    return b == binop::add || b == binop::mul || b == binop::eq || b == binop::ne || b == binop::logical_and ||
           b == binop::logical_or;
}

// The jump on a comparison of a local with a literal, or ret when none.
op local_compare_branch(op branch)
{
    switch (branch) {
    case op::if_lt_imm: return op::if_local_lt_imm;
    case op::if_gt_imm: return op::if_local_gt_imm;
    case op::if_eq_imm: return op::if_local_eq_imm;
    case op::if_ne_imm: return op::if_local_ne_imm;
    case op::loop_lt_imm: return op::loop_local_lt_imm;
    case op::loop_gt_imm: return op::loop_local_gt_imm;
    case op::loop_eq_imm: return op::loop_local_eq_imm;
    case op::loop_ne_imm: return op::loop_local_ne_imm;
    default: return op::ret;
    }
}

// Code past a conditional jump may never run: blocks are compiled in bounded
// pieces, so memory follows the part of the text that runs.
constexpr std::size_t max_block_length = 64;

// Words whose body is at most this long, with no call, jump or local
// variable, run inline in their callers.
constexpr std::size_t max_inline_length = 16;
constexpr int max_inline_nesting = 2;

// Whether an instruction may run inline in a caller: it must not depend on
// the call depth (locals) nor leave the straight line.
bool is_inline_safe(const instr& i)
{
    switch (i.code) {
    case op::get_local: case op::set_local: case op::tee_local: case op::local_add_imm:
    case op::local_add_local: case op::local_plus_imm: case op::local_binop_local:
    case op::add_local: case op::sub_local: case op::mul_local: case op::div_local: case op::mod_local:
    case op::eq_local: case op::ne_local: case op::lt_local: case op::gt_local: case op::and_local:
    case op::or_local:
        return false;
    case op::native:
        return i.handler != nw_get && i.handler != nw_set;
    default:
        return is_data(i.code);
    }
}

class block_compiler {
public:
    block_compiler(forth_vm& vm, std::vector<instr>& out, int nesting = 0)
        : vm_(vm), out_(out), nesting_(nesting) {}

    // Compiles the run of tokens from p up to the instruction that ends it.
    void compile(const char* p)
    {
        for (;;) {
            if (ends_word(p)) {
                emit({.code = op::ret, .token = p});
                return;
            }
            if (out_.size() >= max_block_length) {
                emit({.code = op::next_block, .token = p, .entry = p});
                return;
            }
            if (!compile_token(p)) return;
            p = next_token(p);
        }
    }

private:
    // Compiles the token at p; false when it ended the block. May move p
    // (past a comment, or past the reference of a conditional jump).
    bool compile_token(const char*& p)
    {
        if (opens_unterminated_string(p)) return end_with_step(p);
        const cell token = token2string_word(vm_, p);
        switch (token.tag) {
        case cell_tag::NUMBER:
        case cell_tag::STRING:
            emit_data({.code = op::push, .grow = 1, .net = 1, .tag = token.tag, .value = token.value, .token = p});
            return true;
        case cell_tag::LABEL:
            adjacent_ = false;  // a replayed run must not meet a label
            return true;
        case cell_tag::UNKNOWN:
            break;
        }
        if (const native_handler handler = find_native(native_table, p)) return compile_native(p, handler);
        adjacent_ = false;
        if (const char* const name = find_user_word(vm_, p)) {
            if (!inline_call(next_token(name)))
                emit({.code = op::call, .token = p, .word = p, .entry = next_token(name)});
            return true;
        }
        return end_with_step(p);  // undefined: the walker's step reports it
    }

    bool compile_native(const char*& p, native_handler handler)
    {
        if (handler == nw_get || handler == nw_set) {
            if (fuse_variable(handler == nw_get)) return true;
        } else if (const inline_word* const word = find_inline_word(handler)) {
            fuse_word(p, *word);
            return true;
        } else if (handler == nw_if || handler == nw_loop) {
            fuse_branch(p, handler == nw_loop);
            // Not jumping passes over the reference; without one the word ends.
            const char* const reference = next_token(p);
            if (reference == nullptr) {
                emit({.code = op::ret, .token = p});
                return false;
            }
            p = reference;
            adjacent_ = false;
            return true;
        }
        adjacent_ = false;
        if (handler == nw_comment) {
            const char* const end = find_comment_end(p);
            if (end == nullptr) return end_with_step(p);
            p = end;  // the executor steps on from the "*/"
            return true;
        }
        if (handler == nw_goto_down || handler == nw_goto_up) {
            emit({.code = handler == nw_goto_down ? op::jump_down : op::jump_up, .token = p, .word = p});
            return false;
        }
        if (handler == nw_on_goto) return end_with_step(p);
        emit({.code = op::native, .token = p, .handler = handler});
        return true;
    }

    // "n @" and "n !" with a literal n naming a variable become one
    // instruction; a store may then complete a local update.
    bool fuse_variable(bool get)
    {
        if (!last_is(op::push)) return false;
        instr& last = out_.back();
        const std::int32_t n = last.value;
        if (n < 0 || n > (get ? 95 : 63)) return false;  // the handler reports
        if (n < 32) {
            last.code = get ? op::get_local : op::set_local;
        } else if (n < 64) {
            last.code = get ? op::get_global : op::set_global;
            last.value = n - 32;
        } else {
            last.code = op::get_system;
            last.value = n - 64;
        }
        last.tokens = 2;
        last.need = get ? 0 : 1;
        last.grow = 1;
        last.net = get ? 1 : -1;
        if (last.code == op::set_local) fuse_local_update();
        return true;
    }

    // Folds "dup $n !", "$a @ k + $b !" (its "$a @ k +" already one push)
    // and "$a @ $b @ + $c !", ending in the store just made, into one update.
    void fuse_local_update()
    {
        const std::size_t n = out_.size();
        const instr store = out_[n - 1];
        if (!store.joins || n < 2) return;
        instr& before = out_[n - 2];
        const auto target = static_cast<std::uint8_t>(store.value);
        if (before.code == op::dup) {
            before.code = op::tee_local;
            before.a = target;
            before.grow = 2;
        } else if (before.code == op::local_plus_imm) {
            before.code = op::local_add_imm;
            before.b = target;
        } else if (before.code == op::add_local && before.joins && n >= 3 && out_[n - 3].code == op::get_local) {
            instr& first = out_[n - 3];
            first.code = op::local_add_local;
            first.a = static_cast<std::uint8_t>(first.value);
            first.b = static_cast<std::uint8_t>(before.value);
            first.c = target;
            first.tokens = static_cast<std::uint8_t>(first.tokens + before.tokens + store.tokens);
            first.grow = 2;
            first.net = 0;
            out_.resize(n - 2);
            return;
        } else {
            return;
        }
        before.tokens = static_cast<std::uint8_t>(before.tokens + store.tokens);
        before.net = 0;
        out_.pop_back();
    }

    void fuse_word(const char* p, const inline_word& word)
    {
        if (word.with_literal != word.plain && last_is(op::push)) {
            instr& last = out_.back();
            last.code = word.with_literal;
            last.tokens = 2;
            last.need = 1;
            last.grow = 1;
            last.net = 0;
            fuse_local_plus(last);
        } else if (word.with_local != word.plain && last_is(op::get_local)) {
            instr& last = out_.back();
            last.code = word.with_local;
            last.tokens = 3;
            last.need = 1;
            last.grow = 1;
            last.net = 0;
            fuse_two_locals(last);
        } else {
            emit_data({.code = word.plain, .need = word.need, .grow = word.grow, .net = word.net, .token = p});
        }
    }

    // "$a @ $b @ *" and the like, the word just made with its local operand,
    // becomes one push computed from the two locals.
    void fuse_two_locals(instr& word)
    {
        const std::size_t n = out_.size();
        if (!word.joins || n < 2 || out_[n - 2].code != op::get_local) return;
        const binop kind = binop_of(word.code);
        instr& first = out_[n - 2];
        first.code = op::local_binop_local;
        first.a = static_cast<std::uint8_t>(first.value);
        first.b = static_cast<std::uint8_t>(word.value);
        first.c = static_cast<std::uint8_t>(kind);
        first.tag = keeps_second_tag(kind) ? word.tag : first.tag;
        first.tokens = static_cast<std::uint8_t>(first.tokens + word.tokens);
        first.grow = 2;
        first.net = 1;
        out_.pop_back();
    }

    // "$a @ k +" or "$a @ k -", the sum just made from a literal, becomes one
    // push of the local plus a constant.
    void fuse_local_plus(instr& sum)
    {
        const std::size_t n = out_.size();
        if ((sum.code != op::add_imm && sum.code != op::sub_imm) || !sum.joins || n < 2) return;
        instr& first = out_[n - 2];
        if (first.code != op::get_local) return;
        first.code = op::local_plus_imm;
        first.a = static_cast<std::uint8_t>(first.value);
        // "+" keeps the literal's tag, "-" the local's (the tag of its number)
        if (sum.code == op::add_imm) first.tag = sum.tag;
        first.value = sum.code == op::add_imm
                          ? sum.value
                          : static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(sum.value));
        first.tokens = 4;
        first.need = 0;
        first.grow = 2;
        first.net = 1;
        out_.pop_back();
    }

    // "if" or "loop", folded into the local fetch or comparison just before.
    void fuse_branch(const char* p, bool loop)
    {
        if (last_is(op::get_local)) {
            instr& last = out_.back();
            last.code = loop ? op::loop_local : op::if_local;
            last.tokens = 3;
            last.net = 0;
            last.word = p;
            const std::size_t n = out_.size();
            if (last.joins && n >= 2 && out_[n - 2].code == op::local_add_imm) {
                // the counted loop's "$i @ 1 - $i ! $i @ loop": one instruction
                instr& update = out_[n - 2];
                update.code = loop ? op::update_loop_local : op::update_if_local;
                update.c = static_cast<std::uint8_t>(last.value);
                update.tokens = static_cast<std::uint8_t>(update.tokens + last.tokens);
                update.grow = std::max(update.grow, last.grow);
                update.word = p;
                out_.pop_back();
            }
            adjacent_ = false;
            return;
        }
        if (last_is(op::local_binop_local)) {
            instr& last = out_.back();
            last.code = loop ? op::loop_local_binop_local : op::if_local_binop_local;
            last.tokens = static_cast<std::uint8_t>(last.tokens + 1);
            last.net = 0;
            last.word = p;
            adjacent_ = false;
            return;
        }
        if (adjacent_ && !out_.empty()) {
            instr& last = out_.back();
            const op fused = compare_branch(last.code, loop);
            if (fused != op::ret) {
                last.code = fused;
                last.tokens = static_cast<std::uint8_t>(last.tokens + 1);
                last.net = -1;
                last.word = p;
                adjacent_ = false;
                fuse_local_compare(last);
                return;
            }
        }
        emit({.code = loop ? op::loop_nonzero : op::if_zero, .need = 1, .net = -1, .token = p, .word = p});
    }

    // "$a @ k < if" and the like, the comparison and jump just made, test the
    // local itself.
    void fuse_local_compare(const instr& branch)
    {
        const std::size_t n = out_.size();
        const op fused = local_compare_branch(branch.code);
        if (fused == op::ret || !branch.joins || n < 2 || out_[n - 2].code != op::get_local) return;
        instr& first = out_[n - 2];
        first.code = fused;
        first.a = static_cast<std::uint8_t>(first.value);
        first.value = branch.value;
        first.tokens = static_cast<std::uint8_t>(first.tokens + branch.tokens);
        first.grow = 2;
        first.net = 0;
        first.word = branch.word;
        out_.pop_back();
    }

    // Copies the body of a short word that starts at entry in place of its
    // call, when all of it can run inline; false when it cannot.
    bool inline_call(const char* entry)
    {
        if (nesting_ >= max_inline_nesting) return false;
        std::vector<instr> body;
        block_compiler{vm_, body, nesting_ + 1}.compile(entry);
        if (body.size() > max_inline_length + 1 || body.back().code != op::ret) return false;
        body.pop_back();
        if (!std::all_of(body.begin(), body.end(), is_inline_safe)) return false;
        if (body.empty()) body.push_back({.code = op::nop, .tokens = 0, .token = entry});
        for (instr& i : body) {
            if (i.guard != 0) ++i.guard;  // one level deeper than before
            i.joins = false;
        }
        body.front().guard = std::max<std::uint8_t>(body.front().guard, 1);
        out_.insert(out_.end(), body.begin(), body.end());
        adjacent_ = false;
        return true;
    }

    bool last_is(op code) const { return adjacent_ && !out_.empty() && out_.back().code == code; }

    bool end_with_step(const char* p)
    {
        emit({.code = op::step, .token = p, .word = p});
        return false;
    }

    void emit_data(instr i)
    {
        i.joins = adjacent_;
        out_.push_back(i);
        adjacent_ = true;
    }

    void emit(const instr& i)
    {
        out_.push_back(i);
        adjacent_ = false;
    }

    forth_vm& vm_;
    std::vector<instr>& out_;
    int nesting_;            // how many inlined calls deep this body is being compiled
    bool adjacent_ = false;  // the last instruction is data and stands for the tokens just before
};

// Puts a check before every run of data instructions (and the conditional
// jump that may end it) with what the whole run needs of the stack.
std::vector<instr> with_checks(const std::vector<instr>& code)
{
    std::vector<instr> out;
    out.reserve(code.size() + code.size() / 2 + 1);
    for (std::size_t i = 0; i < code.size();) {
        if (!is_data(code[i].code) && !is_branch(code[i].code)) {
            out.push_back(code[i++]);
            continue;
        }
        int depth = 0, need = 0, grow = 0, guard = 0;
        std::size_t j = i;
        for (; j < code.size() && (is_data(code[j].code) || is_branch(code[j].code)); ++j) {
            need = std::max(need, code[j].need - depth);
            grow = std::max(grow, depth + code[j].grow);
            guard = std::max<int>(guard, code[j].guard);
            depth += code[j].net;
            if (is_branch(code[j].code)) {
                ++j;
                break;
            }
        }
        out.push_back({.code = op::check, .need = static_cast<std::uint8_t>(need),
                       .grow = static_cast<std::uint8_t>(grow), .guard = static_cast<std::uint8_t>(guard),
                       .token = code[i].token});
        out.insert(out.end(), code.begin() + static_cast<std::ptrdiff_t>(i), code.begin() + static_cast<std::ptrdiff_t>(j));
        i = j;
    }
    return out;
}

block* block_at(forth_vm& vm, const char* p)
{
    compiled_code& code = *vm.code;
    const auto found = code.at.find(p);
    if (found != code.at.end()) return found->second;
    std::vector<instr> plain;
    block_compiler{vm, plain}.compile(p);
    block& b = code.blocks.emplace_back();
    b.code = with_checks(plain);
    code.at.emplace(p, &b);
    return &b;
}

// ---------------------------------------------------------------------------
// Running

// The result of a two-operand word with its tag, as the handlers compute it.
// A zero divisor never gets here.
template <binop B>
constexpr cell apply(cell x1, cell x2) noexcept
{
    if constexpr (B == binop::add) return {x2.tag, wrap_add(x1.value, x2.value)};
    if constexpr (B == binop::sub) return {x1.tag, wrap_sub(x1.value, x2.value)};
    if constexpr (B == binop::mul) return {x2.tag, wrap_mul(x1.value, x2.value)};
    if constexpr (B == binop::div) return {x1.tag, truncated_quotient(x1.value, x2.value)};
    if constexpr (B == binop::mod) return {x1.tag, truncated_remainder(x1.value, x2.value)};
    if constexpr (B == binop::eq) return {x2.tag, truth(x1.value == x2.value)};
    if constexpr (B == binop::ne) return {x2.tag, truth(x1.value != x2.value)};
    if constexpr (B == binop::lt) return {x1.tag, truth(x1.value < x2.value)};
    if constexpr (B == binop::gt) return {x1.tag, truth(x1.value > x2.value)};
    if constexpr (B == binop::logical_and) return {x2.tag, truth(x1.value != 0 && x2.value != 0)};
    if constexpr (B == binop::logical_or) return {x2.tag, truth(x1.value != 0 || x2.value != 0)};
}

constexpr bool divides(binop b) noexcept { return b == binop::div || b == binop::mod; }

// apply for a word known only when the code runs. The tags play no part in
// the value, and the fused forms that use this know their result's tag.
std::int32_t apply_value(binop b, std::int32_t x1, std::int32_t x2) noexcept
{
    const cell c1{cell_tag::NUMBER, x1};
    const cell c2{cell_tag::NUMBER, x2};
    switch (b) {
    case binop::add: return apply<binop::add>(c1, c2).value;
    case binop::sub: return apply<binop::sub>(c1, c2).value;
    case binop::mul: return apply<binop::mul>(c1, c2).value;
    case binop::div: return apply<binop::div>(c1, c2).value;
    case binop::mod: return apply<binop::mod>(c1, c2).value;
    case binop::eq: return apply<binop::eq>(c1, c2).value;
    case binop::ne: return apply<binop::ne>(c1, c2).value;
    case binop::lt: return apply<binop::lt>(c1, c2).value;
    case binop::gt: return apply<binop::gt>(c1, c2).value;
    case binop::logical_and: return apply<binop::logical_and>(c1, c2).value;
    case binop::logical_or: return apply<binop::logical_or>(c1, c2).value;
    }
    return 0;
}

// x1 x2 on the stack. False, with nothing done, for a zero divisor.
template <binop B>
bool binary(cell*& sp) noexcept
{
    const cell x2 = sp[-1];
    if constexpr (divides(B))
        if (x2.value == 0) return false;
    sp[-2] = apply<B>(sp[-2], x2);
    --sp;
    return true;
}

// x1 on the stack, x2 given. False, with nothing done, for a zero divisor.
template <binop B>
bool on_top(cell* sp, cell x2) noexcept
{
    if constexpr (divides(B))
        if (x2.value == 0) return false;
    sp[-1] = apply<B>(sp[-1], x2);
    return true;
}

// Pops x1 and compares it with x2: the flag a comparison word would push.
template <binop B>
bool popped_test(cell*& sp, std::int32_t x2) noexcept
{
    return apply<B>(*--sp, {cell_tag::NUMBER, x2}).value != 0;
}

constexpr bool is_forward(op code) noexcept
{
    switch (code) {
    case op::jump_down: case op::if_zero: case op::if_local: case op::update_if_local:
    case op::if_lt_imm: case op::if_gt_imm: case op::if_eq_imm: case op::if_ne_imm:
    case op::if_lt_local: case op::if_gt_local: case op::if_eq_local: case op::if_ne_local:
    case op::if_local_lt_imm: case op::if_local_gt_imm: case op::if_local_eq_imm: case op::if_local_ne_imm:
    case op::if_local_binop_local:
        return true;
    default:
        return false;
    }
}

// Everything off the fast path. These work on the machine itself; the run
// loop keeps the stack pointer and the frame in registers and brings the
// machine up to date before it calls any of them.
class slow_paths {
public:
    explicit slow_paths(forth_vm& vm) : vm_(vm) {}

    // Runs count tokens from t as the text walker does.
    void perform(const char* t, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i, t = next_token(t)) perform_token(vm_, t);
    }

    // The segment from ip on, when the stack does not suit it as a whole:
    // every token runs as the walker runs it, reports and all. Returns where
    // the run goes on.
    instr* careful(instr* ip)
    {
        for (; is_data(ip->code); ++ip) {
            check_nesting(ip->guard);
            perform(ip->token, ip->tokens);
        }
        if (!is_branch(ip->code)) return ip;
        perform(ip->token, ip->tokens - 1u);
        return step(ip->word);
    }

    // Inlined calls nesting levels deeper than the running word: past the
    // deepest nesting, the run ends as the first call too deep would end it.
    void check_nesting(unsigned levels)
    {
        if (std::uint32_t{vm_.depth} + levels > max_depth) {
            vm_.depth = static_cast<std::uint16_t>(max_depth);
            enter_call_depth(vm_);
        }
    }

    // Runs the token at t as the text walker does; returns the code for
    // wherever it left the current position.
    instr* step(const char* t)
    {
        vm_.current = t;
        perform_token(vm_, t);
        return go_on_from_current();
    }

    // The jump made by the word at ip->word, when it is not known to be clean.
    // Works out where it lands the first time; a jump that reports anything is
    // made by its handler, every time. Returns where the run goes on.
    instr* jump(instr* ip)
    {
        const bool down = is_forward(ip->code);
        if (ip->jump == jump_state::unresolved) {
            const jump_outcome outcome = down ? find_jump_down(ip->word) : find_jump_up(vm_.text, ip->word);
            ip->jump = is_clean(outcome) ? jump_state::clean : jump_state::reporting;
            if (ip->jump == jump_state::clean) {
                ip->entry = next_token(outcome.label_token);
                return resolve(ip);
            }
        }
        vm_.current = ip->word;
        (down ? nw_goto_down : nw_goto_up)(vm_);
        return go_on_from_current();
    }

    // Finds the code at ip->entry, remembers it and returns it.
    instr* resolve(instr* ip)
    {
        instr* const code = block_at(vm_, ip->entry)->code.data();
        ip->past_check = code;
        if (code->code == op::check && code->guard == 0) {
            ip->target_need = code->need;
            ip->target_grow = code->grow;
            ip->past_check = code + 1;
        }
        ip->target = code;
        return code;
    }

private:
    instr* go_on_from_current()
    {
        const char* const next = vm_.current != nullptr ? next_token(vm_.current) : nullptr;
        return block_at(vm_, next)->code.data();
    }

    forth_vm& vm_;
};

void run_code(forth_vm& vm)
{
    compiled_code& code = *vm.code;
    slow_paths slow{vm};

    // The registers of the run.
    cell* sp = nullptr;
    cell* base = nullptr;
    cell* limit = nullptr;
    // The running word's locals; its distance from the first frame is the
    // call depth, which the machine learns on store().
    std::int32_t* frame = nullptr;
    std::int32_t* frames = nullptr;
    // A call from a frame below this one finds the next frame in place and
    // stays within the deepest nesting.
    std::int32_t* call_below = nullptr;
    const auto load = [&] {
        sp = vm.stack.top;
        base = vm.stack.base;
        limit = vm.stack.limit;
        frames = vm.locals.data();
        frame = frames + std::size_t{vm.depth} * frame_size;
        call_below = frames + std::min(vm.locals.size() - frame_size, std::size_t{max_depth} * frame_size);
    };
    // The return stack of the calls this run makes.
    instr** returns_base = code.returns.data();
    instr** rp = returns_base;
    instr** returns_end = returns_base + code.returns.size();
    const auto store = [&] {
        vm.stack.top = sp;
        vm.depth = static_cast<std::uint16_t>(static_cast<std::size_t>(frame - frames) / frame_size);
    };
    const auto fits = [&](const instr* check) {
        return sp - base >= check->need && limit - sp >= check->grow &&
               (check->guard == 0 ||
                static_cast<std::size_t>(frame - frames) + check->guard * frame_size <= max_depth * frame_size);
    };
    // Goes on at ip; a check there is made on the spot, which spares a dispatch.
    const auto enter = [&](instr* ip) { return ip->code == op::check && fits(ip) ? ip + 1 : ip; };
    const auto go_to_target = [&](instr* ip) {
        const bool fits_target = sp - base >= ip->target_need && limit - sp >= ip->target_grow;
        return fits_target ? ip->past_check : ip->target;
    };
    const auto follow = [&](instr* ip) {
        if (ip->past_check == nullptr) [[unlikely]] {
            store();
            slow.resolve(ip);
            load();
        }
        return go_to_target(ip);
    };
    const auto jump = [&](instr* ip) {
        if (ip->past_check != nullptr) [[likely]]  // known, and clean
            return go_to_target(ip);
        store();
        instr* const next = slow.jump(ip);
        load();
        return enter(next);
    };
    // The tokens of ip run as the walker runs them: a zero divisor reports.
    const auto replay = [&](instr* ip) {
        store();
        slow.perform(ip->token, ip->tokens);
        load();
        return ip + 1;
    };
    const auto local = [&](const instr* ip) { return cell{ip->tag, frame[ip->value]}; };
    const auto literal = [](const instr* ip) { return cell{ip->tag, ip->value}; };

    load();
    instr* ip = enter(block_at(vm, vm.current)->code.data());
    for (;;) {
        count_executed_token();
        bool taken = false;  // only the jumping instructions leave the switch
        switch (ip->code) {
        case op::check:
            if (!fits(ip)) [[unlikely]] {
                store();
                ip = slow.careful(ip + 1);
                load();
                ip = enter(ip);
                continue;
            }
            ++ip; continue;
        case op::nop:
            ++ip;
            continue;
        case op::push:
            *sp++ = literal(ip);
            ++ip; continue;
        case op::get_local:
            *sp++ = local(ip);
            ++ip; continue;
        case op::get_global:
            *sp++ = {ip->tag, vm.globals[static_cast<std::size_t>(ip->value)]};
            ++ip; continue;
        case op::get_system:
            *sp++ = {ip->tag, system_variable(ip->value)};
            ++ip; continue;
        case op::set_local:
            frame[ip->value] = (--sp)->value;
            ++ip; continue;
        case op::set_global:
            vm.globals[static_cast<std::size_t>(ip->value)] = (--sp)->value;
            ++ip; continue;
        case op::tee_local:
            frame[ip->a] = sp[-1].value;
            ++ip; continue;
        case op::local_add_imm:
            frame[ip->b] = wrap_add(frame[ip->a], ip->value);
            ++ip; continue;
        case op::local_add_local:
            frame[ip->c] = wrap_add(frame[ip->a], frame[ip->b]);
            ++ip; continue;
        case op::local_plus_imm:
            *sp++ = {ip->tag, wrap_add(frame[ip->a], ip->value)};
            ++ip; continue;
        case op::local_binop_local: {
            const auto kind = static_cast<binop>(ip->c);
            if (divides(kind) && frame[ip->b] == 0) {
                ip = replay(ip);
                continue;
            }
            *sp++ = {ip->tag, apply_value(kind, frame[ip->a], frame[ip->b])};
            ++ip; continue;
        }
        case op::add: binary<binop::add>(sp); ++ip; continue;
        case op::sub: binary<binop::sub>(sp); ++ip; continue;
        case op::mul: binary<binop::mul>(sp); ++ip; continue;
        case op::div: if (!binary<binop::div>(sp)) { ip = replay(ip); continue; } ++ip; continue;
        case op::mod: if (!binary<binop::mod>(sp)) { ip = replay(ip); continue; } ++ip; continue;
        case op::eq: binary<binop::eq>(sp); ++ip; continue;
        case op::ne: binary<binop::ne>(sp); ++ip; continue;
        case op::lt: binary<binop::lt>(sp); ++ip; continue;
        case op::gt: binary<binop::gt>(sp); ++ip; continue;
        case op::logical_and: binary<binop::logical_and>(sp); ++ip; continue;
        case op::logical_or: binary<binop::logical_or>(sp); ++ip; continue;
        case op::add_imm: on_top<binop::add>(sp, literal(ip)); ++ip; continue;
        case op::sub_imm: on_top<binop::sub>(sp, literal(ip)); ++ip; continue;
        case op::mul_imm: on_top<binop::mul>(sp, literal(ip)); ++ip; continue;
        case op::div_imm: if (!on_top<binop::div>(sp, literal(ip))) { ip = replay(ip); continue; } ++ip; continue;
        case op::mod_imm: if (!on_top<binop::mod>(sp, literal(ip))) { ip = replay(ip); continue; } ++ip; continue;
        case op::eq_imm: on_top<binop::eq>(sp, literal(ip)); ++ip; continue;
        case op::ne_imm: on_top<binop::ne>(sp, literal(ip)); ++ip; continue;
        case op::lt_imm: on_top<binop::lt>(sp, literal(ip)); ++ip; continue;
        case op::gt_imm: on_top<binop::gt>(sp, literal(ip)); ++ip; continue;
        case op::and_imm: on_top<binop::logical_and>(sp, literal(ip)); ++ip; continue;
        case op::or_imm: on_top<binop::logical_or>(sp, literal(ip)); ++ip; continue;
        case op::add_local: on_top<binop::add>(sp, local(ip)); ++ip; continue;
        case op::sub_local: on_top<binop::sub>(sp, local(ip)); ++ip; continue;
        case op::mul_local: on_top<binop::mul>(sp, local(ip)); ++ip; continue;
        case op::div_local: if (!on_top<binop::div>(sp, local(ip))) { ip = replay(ip); continue; } ++ip; continue;
        case op::mod_local: if (!on_top<binop::mod>(sp, local(ip))) { ip = replay(ip); continue; } ++ip; continue;
        case op::eq_local: on_top<binop::eq>(sp, local(ip)); ++ip; continue;
        case op::ne_local: on_top<binop::ne>(sp, local(ip)); ++ip; continue;
        case op::lt_local: on_top<binop::lt>(sp, local(ip)); ++ip; continue;
        case op::gt_local: on_top<binop::gt>(sp, local(ip)); ++ip; continue;
        case op::and_local: on_top<binop::logical_and>(sp, local(ip)); ++ip; continue;
        case op::or_local: on_top<binop::logical_or>(sp, local(ip)); ++ip; continue;
        case op::zero_eq:
            sp[-1].value = truth(sp[-1].value == 0);
            ++ip; continue;
        case op::dup:
            sp[0] = sp[-1];
            ++sp;
            ++ip; continue;
        case op::drop:
            --sp;
            ++ip; continue;
        case op::swap:
            std::swap(sp[-1], sp[-2]);
            ++ip; continue;
        case op::over:
            sp[0] = sp[-2];
            ++sp;
            ++ip; continue;
        case op::rot: {
            const cell x1 = sp[-3];
            sp[-3] = sp[-2];
            sp[-2] = sp[-1];
            sp[-1] = x1;
            ++ip; continue;
        }
        case op::if_zero: taken = (--sp)->value == 0; break;
        case op::loop_nonzero: taken = (--sp)->value != 0; break;
        case op::if_local: taken = frame[ip->value] == 0; break;
        case op::update_if_local:
            frame[ip->b] = wrap_add(frame[ip->a], ip->value);
            taken = frame[ip->c] == 0;
            break;
        case op::update_loop_local:
            frame[ip->b] = wrap_add(frame[ip->a], ip->value);
            taken = frame[ip->c] != 0;
            break;
        case op::loop_local: taken = frame[ip->value] != 0; break;
        case op::if_lt_imm: taken = !popped_test<binop::lt>(sp, ip->value); break;
        case op::if_gt_imm: taken = !popped_test<binop::gt>(sp, ip->value); break;
        case op::if_eq_imm: taken = !popped_test<binop::eq>(sp, ip->value); break;
        case op::if_ne_imm: taken = !popped_test<binop::ne>(sp, ip->value); break;
        case op::loop_lt_imm: taken = popped_test<binop::lt>(sp, ip->value); break;
        case op::loop_gt_imm: taken = popped_test<binop::gt>(sp, ip->value); break;
        case op::loop_eq_imm: taken = popped_test<binop::eq>(sp, ip->value); break;
        case op::loop_ne_imm: taken = popped_test<binop::ne>(sp, ip->value); break;
        case op::if_lt_local: taken = !popped_test<binop::lt>(sp, frame[ip->value]); break;
        case op::if_gt_local: taken = !popped_test<binop::gt>(sp, frame[ip->value]); break;
        case op::if_eq_local: taken = !popped_test<binop::eq>(sp, frame[ip->value]); break;
        case op::if_ne_local: taken = !popped_test<binop::ne>(sp, frame[ip->value]); break;
        case op::loop_lt_local: taken = popped_test<binop::lt>(sp, frame[ip->value]); break;
        case op::loop_gt_local: taken = popped_test<binop::gt>(sp, frame[ip->value]); break;
        case op::loop_eq_local: taken = popped_test<binop::eq>(sp, frame[ip->value]); break;
        case op::loop_ne_local: taken = popped_test<binop::ne>(sp, frame[ip->value]); break;
        case op::if_local_binop_local:
        case op::loop_local_binop_local: {
            const auto kind = static_cast<binop>(ip->c);
            if (divides(kind) && frame[ip->b] == 0) {
                store();
                ip = slow.careful(ip);  // the division reports; the jump runs as the walker runs it
                load();
                ip = enter(ip);
                continue;
            }
            const bool zero = apply_value(kind, frame[ip->a], frame[ip->b]) == 0;
            taken = ip->code == op::if_local_binop_local ? zero : !zero;
            break;
        }
        case op::if_local_lt_imm: taken = frame[ip->a] >= ip->value; break;
        case op::if_local_gt_imm: taken = frame[ip->a] <= ip->value; break;
        case op::if_local_eq_imm: taken = frame[ip->a] != ip->value; break;
        case op::if_local_ne_imm: taken = frame[ip->a] == ip->value; break;
        case op::loop_local_lt_imm: taken = frame[ip->a] < ip->value; break;
        case op::loop_local_gt_imm: taken = frame[ip->a] > ip->value; break;
        case op::loop_local_eq_imm: taken = frame[ip->a] == ip->value; break;
        case op::loop_local_ne_imm: taken = frame[ip->a] != ip->value; break;
        case op::native:
            store();
            ip->handler(vm);
            load();
            ++ip; continue;
        case op::call: {
            if (frame >= call_below) [[unlikely]] {
                store();
                enter_call_depth(vm);  // reports, or adds the frame
                load();
            } else {
                frame += frame_size;
            }
            if (rp == returns_end) [[unlikely]] {
                const auto used = static_cast<std::size_t>(rp - returns_base);
                code.returns.resize(code.returns.size() * 2);
                returns_base = code.returns.data();
                rp = returns_base + used;
                returns_end = returns_base + code.returns.size();
            }
            *rp++ = ip + 1;
            ip = follow(ip);
            continue;
        }
        case op::ret:
            if (rp == returns_base) {
                store();
                --vm.depth;  // 16 bits: wraps when the first word ends
                return;
            }
            frame -= frame_size;
            ip = enter(*--rp);
            continue;
        case op::jump_down:
        case op::jump_up:
            taken = true;
            break;
        case op::step:
            store();
            ip = slow.step(ip->word);
            load();
            ip = enter(ip);
            continue;
        case op::next_block:
            ip = follow(ip);
            continue;
        }
        // A conditional jump that does not jump goes on with the next segment.
        ip = taken ? jump(ip) : enter(ip + 1);
    }
}

}  // namespace

void run_compiled(forth_vm& vm)
{
    if (!vm.code) vm.code.reset(new compiled_code);
    run_code(vm);
}
