// The compiled executor. The script text never changes after loading, so
// everything the text walker derives from a position — the next token, its
// class, what a word resolves to, where a jump lands, where a comment ends — is
// a function of that position. The first time execution reaches a position,
// the straight run of tokens from there is turned into a block of compact
// instructions, and adjacent tokens are fused where a common sequence allows
// (a variable number and "@" or "!", a literal or a variable and an
// arithmetic word). The block is remembered for the next time.
//
// Every instruction behaves exactly like the tokens it stands for. Where the
// fast form cannot (too few cells on the stack, a zero divisor, a report to
// make) it hands its tokens to the text walker's own per-token step, so that
// reports, partial effects and their order come out the same.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <unordered_map>
#include <vector>

#include "nativeword.hpp"
#include "quokkavm.hpp"
#include "util.hpp"

namespace {

enum class op : std::uint8_t {
    // leave the running word (";" or the end of the text)
    ret,
    // push the literal cell
    push,
    // variable number n then "@"; the tag is the number's
    get_local, get_global, get_system,
    // variable number n then "!"
    set_local, set_global,
    // data words with their operands on the stack
    add, sub, mul, div, mod, eq, ne, lt, gt, logical_and, logical_or,
    zero_eq, dup, drop, swap, over, rot,
    // a literal then a two-operand word: x2 is the literal
    add_imm, sub_imm, mul_imm, div_imm, mod_imm, eq_imm, ne_imm, lt_imm, gt_imm, and_imm, or_imm,
    // a local's number, "@", then a two-operand word: x2 is the local
    add_local, sub_local, mul_local, div_local, mod_local, eq_local, ne_local, lt_local, gt_local,
    and_local, or_local,
    // any other native data word, through its handler
    native,
    // a user word
    call,
    // "go_down" / "go_up": unconditional jumps (end the block)
    jump_down, jump_up,
    // "if" / "loop": conditional jumps; falling through continues the block
    if_zero, loop_nonzero,
    // anything else ("on_goto", an undefined word, an unterminated string or
    // comment): the token runs as the text walker runs it (ends the block)
    step,
    // a long run goes on in a block of its own, compiled when reached
    next_block,
};

struct block;

// How a jump instruction has been worked out so far.
enum class jump_state : std::uint8_t { unresolved, clean, reporting };

struct instr {
    op code;
    std::uint8_t tokens = 1;  // how many tokens it stands for, from token on
    std::uint8_t need = 0;    // cells the fast form needs on the stack
    std::uint8_t grow = 0;    // cells the tokens may add at most on the way
    jump_state jump = jump_state::unresolved;
    cell_tag tag = cell_tag::NUMBER;  // of the literal or variable number
    std::int32_t value = 0;           // literal, variable number or index
    const char* token = nullptr;      // the first token
    native_handler handler = nullptr;
    const char* entry = nullptr;      // where a call or a taken jump goes on
    block* target = nullptr;          // the block at entry, once known
};

struct block {
    std::vector<instr> code;
};

}  // namespace

struct compiled_code {
    // Blocks by the position they start at; nullptr is the empty word.
    std::unordered_map<const char*, block*> at;
    std::deque<block> blocks;
    std::vector<instr*> returns;  // where each running call goes on
};

void compiled_code_deleter::operator()(compiled_code* code) const noexcept { delete code; }

namespace {

// ---------------------------------------------------------------------------
// Compiling

struct native_op {
    native_handler handler;
    op plain;
    op with_literal;  // fused with a preceding literal; plain when none
    op with_local;    // fused with a preceding local fetch; plain when none
    std::uint8_t need;
    std::uint8_t grow;
};

// The data words the executor runs inline; the rest go through their handlers.
constexpr native_op inline_words[] = {
    {nw_add, op::add, op::add_imm, op::add_local, 2, 0},
    {nw_sub, op::sub, op::sub_imm, op::sub_local, 2, 0},
    {nw_mul, op::mul, op::mul_imm, op::mul_local, 2, 0},
    {nw_div, op::div, op::div_imm, op::div_local, 2, 0},
    {nw_mod, op::mod, op::mod_imm, op::mod_local, 2, 0},
    {nw_eq, op::eq, op::eq_imm, op::eq_local, 2, 0},
    {nw_ne, op::ne, op::ne_imm, op::ne_local, 2, 0},
    {nw_lt, op::lt, op::lt_imm, op::lt_local, 2, 0},
    {nw_gt, op::gt, op::gt_imm, op::gt_local, 2, 0},
    {nw_and, op::logical_and, op::and_imm, op::and_local, 2, 0},
    {nw_or, op::logical_or, op::or_imm, op::or_local, 2, 0},
    {nw_zero_eq, op::zero_eq, op::zero_eq, op::zero_eq, 1, 0},
    {nw_not, op::zero_eq, op::zero_eq, op::zero_eq, 1, 0},
    {nw_dup, op::dup, op::dup, op::dup, 1, 1},
    {nw_drop, op::drop, op::drop, op::drop, 1, 0},
    {nw_swap, op::swap, op::swap, op::swap, 2, 0},
    {nw_over, op::over, op::over, op::over, 2, 1},
    {nw_rot, op::rot, op::rot, op::rot, 3, 0},
};

const native_op* inline_word(native_handler handler)
{
    for (const native_op& word : inline_words)
        if (word.handler == handler) return &word;
    return nullptr;
}

constexpr std::size_t max_block_length = 64;

class block_compiler {
public:
    block_compiler(forth_vm& vm, block& out) : vm_(vm), out_(out.code) {}

    // Compiles the run of tokens from p up to the instruction that ends it.
    void compile(const char* p)
    {
        for (;;) {
            if (ends_word(p)) {
                emit({.code = op::ret, .token = p});
                return;
            }
            // Code past a conditional jump may never run: compile it in bounded
            // pieces, so memory follows the part of the text that runs.
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
            emit({.code = op::push, .grow = 1, .tag = token.tag, .value = token.value, .token = p});
            fusable_ = true;
            return true;
        case cell_tag::LABEL:
            fusable_ = false;  // replaying a fused run must not meet a label
            return true;
        case cell_tag::UNKNOWN:
            break;
        }
        if (const native_handler handler = find_native(native_table, p)) return compile_native(p, handler);
        if (const char* const name = find_user_word(vm_, p)) {
            emit({.code = op::call, .token = p, .entry = next_token(name)});
            fusable_ = false;
            return true;
        }
        return end_with_step(p);  // undefined: the walker's step reports it
    }

    bool compile_native(const char*& p, native_handler handler)
    {
        if (handler == nw_get || handler == nw_set) {
            if (fuse_variable(handler == nw_get)) return true;
        } else if (const native_op* const word = inline_word(handler)) {
            fuse_or_emit(p, *word);
            return true;
        }
        fusable_ = false;
        if (handler == nw_comment) {
            const char* const end = find_comment_end(p);
            if (end == nullptr) return end_with_step(p);
            p = end;  // the executor steps on from the "*/"
            return true;
        }
        if (handler == nw_goto_down || handler == nw_goto_up) {
            emit({.code = handler == nw_goto_down ? op::jump_down : op::jump_up, .token = p});
            return false;
        }
        if (handler == nw_if || handler == nw_loop) {
            emit({.code = handler == nw_if ? op::if_zero : op::loop_nonzero, .need = 1, .token = p});
            // Not jumping passes over the reference; without one the word ends.
            const char* const reference = next_token(p);
            if (reference == nullptr) {
                emit({.code = op::ret, .token = p});
                return false;
            }
            p = reference;
            return true;
        }
        if (handler == nw_on_goto) return end_with_step(p);
        emit({.code = op::native, .token = p, .handler = handler});
        return true;
    }

    // "n @" and "n !" with a literal n naming a local, global or system
    // variable become one instruction.
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
        fusable_ = get && n < 32;  // a local fetch may join the next word
        return true;
    }

    void fuse_or_emit(const char* p, const native_op& word)
    {
        if (word.with_literal != word.plain && last_is(op::push)) {
            instr& last = out_.back();
            last.code = word.with_literal;
            last.tokens = 2;
            last.need = 1;
            last.grow = 1;
        } else if (word.with_local != word.plain && last_is(op::get_local)) {
            instr& last = out_.back();
            last.code = word.with_local;
            last.tokens = 3;
            last.need = 1;
            last.grow = 1;
        } else {
            emit({.code = word.plain, .need = word.need, .grow = word.grow, .token = p});
        }
        fusable_ = false;
    }

    bool last_is(op code) const { return fusable_ && !out_.empty() && out_.back().code == code; }

    bool end_with_step(const char* p)
    {
        emit({.code = op::step, .token = p});
        return false;
    }

    void emit(const instr& i) { out_.push_back(i); }

    forth_vm& vm_;
    std::vector<instr>& out_;
    bool fusable_ = false;  // the last instruction stands for the tokens just before
};

block* block_at(forth_vm& vm, const char* p)
{
    compiled_code& code = *vm.code;
    const auto found = code.at.find(p);
    if (found != code.at.end()) return found->second;
    block& b = code.blocks.emplace_back();
    block_compiler{vm, b}.compile(p);
    b.code.shrink_to_fit();
    code.at.emplace(p, &b);
    return &b;
}

// ---------------------------------------------------------------------------
// Running

constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_mul(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

constexpr std::int32_t truth(bool b) noexcept { return b ? 1 : 0; }

enum class binop : std::uint8_t { add, sub, mul, div, mod, eq, ne, lt, gt, logical_and, logical_or };

// The result of a two-operand word with its tag, as the handlers compute it.
// Division by zero never gets here.
template <binop B>
constexpr cell apply(cell x1, cell x2) noexcept
{
    if constexpr (B == binop::add) return {x2.tag, wrap_add(x1.value, x2.value)};
    if constexpr (B == binop::sub) return {x1.tag, wrap_sub(x1.value, x2.value)};
    if constexpr (B == binop::mul) return {x2.tag, wrap_mul(x1.value, x2.value)};
    if constexpr (B == binop::div)
        return {x1.tag, x2.value == -1 ? wrap_sub(0, x1.value) : x1.value / x2.value};
    if constexpr (B == binop::mod) return {x1.tag, x2.value == -1 ? 0 : x1.value % x2.value};
    if constexpr (B == binop::eq) return {x2.tag, truth(x1.value == x2.value)};
    if constexpr (B == binop::ne) return {x2.tag, truth(x1.value != x2.value)};
    if constexpr (B == binop::lt) return {x1.tag, truth(x1.value < x2.value)};
    if constexpr (B == binop::gt) return {x1.tag, truth(x1.value > x2.value)};
    if constexpr (B == binop::logical_and) return {x2.tag, truth(x1.value != 0 && x2.value != 0)};
    if constexpr (B == binop::logical_or) return {x2.tag, truth(x1.value != 0 || x2.value != 0)};
}

constexpr bool divides(binop b) noexcept { return b == binop::div || b == binop::mod; }

// The executor's registers; the machine's own fields are brought up to date
// before anything outside the fast path looks at them.
struct registers {
    cell* sp;
    cell* base;
    cell* limit;
    std::int32_t* frame;
};

class executor {
public:
    explicit executor(forth_vm& vm) : vm_(vm), code_(*vm.code) {}

    void run()
    {
        const std::size_t base_returns = code_.returns.size();
        load();
        instr* ip = block_at(vm_, vm_.current)->code.data();
        for (;;) {
            count_executed_token();
            if (r_.sp - r_.base < ip->need || r_.limit - r_.sp < ip->grow) [[unlikely]] {
                ip = replay(ip);
                continue;
            }
            switch (ip->code) {
            case op::ret:
                --vm_.depth;
                if (code_.returns.size() == base_returns) {
                    store();
                    return;
                }
                ip = code_.returns.back();
                code_.returns.pop_back();
                r_.frame = frame_of(vm_.depth);
                continue;
            case op::push:
                *r_.sp++ = {ip->tag, ip->value};
                break;
            case op::get_local:
                *r_.sp++ = {ip->tag, r_.frame[ip->value]};
                break;
            case op::get_global:
                *r_.sp++ = {ip->tag, vm_.globals[static_cast<std::size_t>(ip->value)]};
                break;
            case op::get_system:
                *r_.sp++ = {ip->tag, system_variable(ip->value)};
                break;
            case op::set_local:
                r_.frame[ip->value] = (--r_.sp)->value;
                break;
            case op::set_global:
                vm_.globals[static_cast<std::size_t>(ip->value)] = (--r_.sp)->value;
                break;
            case op::add: binary<binop::add>(); break;
            case op::sub: binary<binop::sub>(); break;
            case op::mul: binary<binop::mul>(); break;
            case op::div: if (!binary<binop::div>()) { ip = replay(ip); continue; } break;
            case op::mod: if (!binary<binop::mod>()) { ip = replay(ip); continue; } break;
            case op::eq: binary<binop::eq>(); break;
            case op::ne: binary<binop::ne>(); break;
            case op::lt: binary<binop::lt>(); break;
            case op::gt: binary<binop::gt>(); break;
            case op::logical_and: binary<binop::logical_and>(); break;
            case op::logical_or: binary<binop::logical_or>(); break;
            case op::add_imm: with_literal<binop::add>(ip); break;
            case op::sub_imm: with_literal<binop::sub>(ip); break;
            case op::mul_imm: with_literal<binop::mul>(ip); break;
            case op::div_imm: if (!with_literal<binop::div>(ip)) { ip = replay(ip); continue; } break;
            case op::mod_imm: if (!with_literal<binop::mod>(ip)) { ip = replay(ip); continue; } break;
            case op::eq_imm: with_literal<binop::eq>(ip); break;
            case op::ne_imm: with_literal<binop::ne>(ip); break;
            case op::lt_imm: with_literal<binop::lt>(ip); break;
            case op::gt_imm: with_literal<binop::gt>(ip); break;
            case op::and_imm: with_literal<binop::logical_and>(ip); break;
            case op::or_imm: with_literal<binop::logical_or>(ip); break;
            case op::add_local: with_local<binop::add>(ip); break;
            case op::sub_local: with_local<binop::sub>(ip); break;
            case op::mul_local: with_local<binop::mul>(ip); break;
            case op::div_local: if (!with_local<binop::div>(ip)) { ip = replay(ip); continue; } break;
            case op::mod_local: if (!with_local<binop::mod>(ip)) { ip = replay(ip); continue; } break;
            case op::eq_local: with_local<binop::eq>(ip); break;
            case op::ne_local: with_local<binop::ne>(ip); break;
            case op::lt_local: with_local<binop::lt>(ip); break;
            case op::gt_local: with_local<binop::gt>(ip); break;
            case op::and_local: with_local<binop::logical_and>(ip); break;
            case op::or_local: with_local<binop::logical_or>(ip); break;
            case op::zero_eq:
                r_.sp[-1].value = truth(r_.sp[-1].value == 0);
                break;
            case op::dup:
                r_.sp[0] = r_.sp[-1];
                ++r_.sp;
                break;
            case op::drop:
                --r_.sp;
                break;
            case op::swap:
                std::swap(r_.sp[-1], r_.sp[-2]);
                break;
            case op::over:
                r_.sp[0] = r_.sp[-2];
                ++r_.sp;
                break;
            case op::rot: {
                const cell x1 = r_.sp[-3];
                r_.sp[-3] = r_.sp[-2];
                r_.sp[-2] = r_.sp[-1];
                r_.sp[-1] = x1;
                break;
            }
            case op::native:
                store();
                ip->handler(vm_);
                load();
                break;
            case op::call:
                ip = call(ip);
                continue;
            case op::jump_down:
            case op::jump_up:
                ip = jump(ip);
                continue;
            case op::if_zero:
                if ((--r_.sp)->value == 0) {
                    ip = jump(ip);
                    continue;
                }
                break;
            case op::loop_nonzero:
                if ((--r_.sp)->value != 0) {
                    ip = jump(ip);
                    continue;
                }
                break;
            case op::step:
                ip = step(ip);
                continue;
            case op::next_block:
                if (ip->target == nullptr) ip->target = block_at(vm_, ip->entry);
                ip = ip->target->code.data();
                continue;
            }
            ++ip;
        }
    }

private:
    void load()
    {
        r_.sp = vm_.stack.top;
        r_.base = vm_.stack.base;
        r_.limit = vm_.stack.limit;
        r_.frame = frame_of(vm_.depth);
    }

    void store() { vm_.stack.top = r_.sp; }

    std::int32_t* frame_of(std::uint16_t depth) { return vm_.locals.data() + std::size_t{depth} * frame_size; }

    // Two operands from the stack. False when a zero divisor needs the slow path.
    template <binop B>
    bool binary()
    {
        const cell x2 = r_.sp[-1];
        const cell x1 = r_.sp[-2];
        if constexpr (divides(B))
            if (x2.value == 0) return false;
        r_.sp[-2] = apply<B>(x1, x2);
        --r_.sp;
        return true;
    }

    template <binop B>
    bool with_literal(const instr* ip)
    {
        const cell x2{ip->tag, ip->value};
        if constexpr (divides(B))
            if (x2.value == 0) return false;
        r_.sp[-1] = apply<B>(r_.sp[-1], x2);
        return true;
    }

    template <binop B>
    bool with_local(const instr* ip)
    {
        const cell x2{ip->tag, r_.frame[ip->value]};
        if constexpr (divides(B))
            if (x2.value == 0) return false;
        r_.sp[-1] = apply<B>(r_.sp[-1], x2);
        return true;
    }

    // Runs the instruction's tokens one by one as the text walker does: the
    // path for everything the fast form does not cover (too few cells, no room
    // to grow, a zero divisor). The walker's own step makes any report.
    instr* replay(instr* ip)
    {
        // only a conditional jump needs cells and is no data word
        if (ip->code == op::if_zero || ip->code == op::loop_nonzero) return step(ip);
        store();
        const char* t = ip->token;
        for (unsigned i = 0; i < ip->tokens; ++i, t = next_token(t)) perform_token(vm_, t);
        load();
        return ip + 1;
    }

    instr* call(instr* ip)
    {
        store();
        enter_call_depth(vm_);
        r_.frame = frame_of(vm_.depth);
        code_.returns.push_back(ip + 1);
        if (ip->target == nullptr) ip->target = block_at(vm_, ip->entry);
        return ip->target->code.data();
    }

    // Goes on after the label of the jump made by the word at ip->token. A
    // jump that reports anything is made by its handler every time.
    instr* jump(instr* ip)
    {
        if (ip->jump == jump_state::unresolved) {
            const bool down = ip->code == op::jump_down || ip->code == op::if_zero;
            const jump_outcome outcome = down ? find_jump_down(ip->token) : find_jump_up(vm_.text, ip->token);
            if (is_clean(outcome)) {
                ip->jump = jump_state::clean;
                ip->entry = next_token(outcome.label_token);
            } else {
                ip->jump = jump_state::reporting;
            }
        }
        if (ip->jump == jump_state::clean) {
            if (ip->target == nullptr) ip->target = block_at(vm_, ip->entry);
            return ip->target->code.data();
        }
        store();
        vm_.current = ip->token;
        const bool down = ip->code == op::jump_down || ip->code == op::if_zero;
        (down ? nw_goto_down : nw_goto_up)(vm_);
        return go_on_from_current();
    }

    // Runs the token at ip->token as the text walker does and goes on from
    // wherever it left the current position.
    instr* step(instr* ip)
    {
        store();
        vm_.current = ip->token;
        perform_token(vm_, ip->token);
        return go_on_from_current();
    }

    instr* go_on_from_current()
    {
        load();
        const char* const next = vm_.current != nullptr ? next_token(vm_.current) : nullptr;
        return block_at(vm_, next)->code.data();
    }

    forth_vm& vm_;
    compiled_code& code_;
    registers r_{};
};

}  // namespace

void run_compiled(forth_vm& vm)
{
    if (!vm.code) vm.code.reset(new compiled_code);
    executor{vm}.run();
}
