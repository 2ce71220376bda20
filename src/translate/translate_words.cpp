// translate_words: the run of a block token by token, and the data words.

#include "translate/block_translator.hpp"

#include "machine/positions.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"

namespace block_translation {

std::unique_ptr<ir_block> block_translator::translate(const char* start)
{
    const char* p = start;
    for (;;) {
        if (ends_word(p)) {
            end_with_ret(p);
            break;
        }
        // A long run goes on in a block of its own, where no symbolic
        // cell is left to write out: cut between "$a" and "@", the fetch
        // would read a computed variable number.
        if (tokens_ >= max_block_tokens && (open_.empty() || tokens_ >= 2 * max_block_tokens)) {
            end_with_jump(p, true);
            break;
        }
        const char* next = p;
        if (translate_token(next) == outcome::ended) break;
        p = next_token(next);
    }
    return finish(start);
}

// ---- tokens
// Translates the token at p; may move p to the last token it took (the
// end of a comment, the reference of a conditional jump).
outcome block_translator::translate_token(const char*& p)
{
    if (level_ == 0 && (last_ == nullptr || p > last_)) last_ = p;
    if (open_.size() > max_open_cells) write_out();
    ++tokens_;
    if (opens_unterminated_string(p)) return end_with_leave(p);  // the walker reports it
    const cell token = token2string_word(vm_, p);
    switch (token.tag) {
    case cell_tag::NUMBER:
    case cell_tag::STRING:
        push(constant_leaf(token.value), constant_tag(token.tag));
        return outcome::go_on;
    case cell_tag::LABEL:
        // A label is where jumps come in: a block of its own starts after it.
        if (level_ == 0 && p != start_) return end_with_jump(next_token(p), true);
        return outcome::go_on;
    case cell_tag::UNKNOWN:
        break;
    }
    if (const native_word* const entry = find_native_word(native_table, p)) return translate_word(p, info(entry->id));
    if (const char* const name = find_user_word(vm_, p)) return translate_call(p, next_token(name));
    return end_with_leave(p);  // undefined: the walker reports it
}

outcome block_translator::translate_word(const char*& p, const word_info& word)
{
    switch (word.translation.kind) {
    case translation_kind::binary: return translate_binary(word.translation.operation, word.tag);
    case translation_kind::negation:
        push(negation_of(pop()));  // the result keeps the tag of x
        return outcome::go_on;
    case translation_kind::shuffle: return translate_shuffle(word);
    case translation_kind::output: return translate_output(word);
    case translation_kind::version:
        push(constant_leaf(position_value(vm_, version_text)), constant_tag(cell_tag::STRING));
        return outcome::go_on;
    case translation_kind::fetch: return translate_fetch(p);
    case translation_kind::store: return translate_store(p);
    case translation_kind::jump_if_zero: return translate_branch(p, false);
    case translation_kind::loop_if_nonzero: return translate_branch(p, true);
    case translation_kind::jump_down: return translate_jump(p, find_jump_down(p));
    case translation_kind::jump_up: return translate_jump(p, find_jump_up(vm_.text, p));
    case translation_kind::computed_jump: return translate_computed_jump(p);
    case translation_kind::comment: return translate_comment(p);
    case translation_kind::handler: return translate_handler(word);
    }
    return end_with_leave(p);
}

// Whole cells move: only a cell that is left more than once is computed
// first, while it is still on the symbolic stack, so that computing it
// cannot clobber what the others read.
outcome block_translator::translate_shuffle(const word_info& word)
{
    const shuffle_pattern& pattern = word.translation.pattern;
    std::array<int, 3> copies{};
    for (std::size_t k = 0; k < pattern.count; ++k) ++copies[pattern.from[k]];
    for (int i = 0; i < word.pops; ++i)
        if (copies[static_cast<std::size_t>(i)] > 1) value_leaf(peek(static_cast<std::size_t>(word.pops - 1 - i)));
    std::array<sym, 3> popped{};
    for (int i = word.pops - 1; i >= 0; --i) popped[static_cast<std::size_t>(i)] = pop();
    for (std::size_t k = 0; k < pattern.count; ++k) push(popped[pattern.from[k]]);
    return outcome::go_on;
}

// The comment is passed over; the run goes on after its "*/".
outcome block_translator::translate_comment(const char*& p)
{
    const char* const end = find_comment_end(p);
    if (end == nullptr) return end_with_leave(p);  // the walker reports it
    if (level_ > 0 && end - inline_start_ > max_inline_bytes) return outcome::not_inlined;
    p = end;
    return outcome::go_on;
}

// "0=" and "not": 1 where x is 0, else 0. Negating twice gives x back
// only where x is already a truth value; elsewhere it is x <> 0.
sym block_translator::negation_of(sym x)
{
    if (x.is_leaf() && x.a.kind == ir_kind::constant) return {.a = constant_leaf(negated_truth(x.a.value)), .tag = x.tag};
    if (!x.negated) {
        x.negated = true;
        return x;
    }
    x.negated = false;
    if (x.is_expr() && operation_info(x.op).gives_truth) return x;
    const leaf value = value_leaf(x);
    return {.op = ir_op::ne, .a = value, .b = constant_leaf(0), .tag = x.tag};
}

// ( x1 x2 -- x1 op x2 )
outcome block_translator::translate_binary(binary_operation operation, result_tag result)
{
    ir_op op = value_op(operation);
    leaf b = value_leaf(peek(0));
    sym x2 = pop();
    const hold keep_b{*this, b};
    sym x1 = pop();
    const tag_ref tag = result == result_tag::second ? x2.tag : x1.tag;
    const bool divides = ::divides(operation);
    if (op == ir_op::sub && b.kind == ir_kind::constant) {
        op = ir_op::add;  // x - c is x + (-c), which gathers with other constants
        b.value = wrap_sub(0, b.value);
    }
    // (y + c1) + c2 is y + (c1 + c2).
    if (op == ir_op::add && b.kind == ir_kind::constant && x1.is_expr() && !x1.negated &&
        x1.op == ir_op::add && x1.b.kind == ir_kind::constant) {
        b.value = wrap_add(x1.b.value, b.value);
        x1 = {.a = x1.a, .tag = x1.tag};
    }
    const leaf a = value_leaf(x1);
    if (a.kind == ir_kind::constant && b.kind == ir_kind::constant && !(divides && b.value == 0)) {
        push(constant_leaf(evaluate(info(op).operation, a.value, b.value)), tag);
        return outcome::go_on;
    }
    if (divides && !(b.kind == ir_kind::constant && b.value != 0)) {
        // A divisor that may be 0 reports: the division happens here, in order.
        const std::int32_t t = scratch();
        emit_value(op, ir_kind::frame, t, tag, a, b);
        push({ir_kind::frame, t}, tag);
        return outcome::go_on;
    }
    if (op == ir_op::add && b == constant_leaf(0)) {
        push(a, tag);
        return outcome::go_on;
    }
    push({.op = op, .a = a, .b = b, .tag = tag});
    return outcome::go_on;
}

// ( x -- ) or ( -- )  Written as the handler writes it.
outcome block_translator::translate_output(const word_info& word)
{
    const leaf x = word.pops > 0 ? value_leaf(pop()) : constant_leaf(0);
    emit({.op = ir_op::print, .a_kind = x.kind, .a = encode(x), .b = static_cast<std::int32_t>(word.translation.output)});
    return outcome::go_on;
}

// ( i -- v )
outcome block_translator::translate_fetch(const char* p)
{
    sym i = pop();
    const leaf number = value_leaf(i);
    if (number.kind == ir_kind::constant) {
        const std::int32_t n = number.value;
        if (n >= 0 && n < 64) {
            const leaf variable = n < 32 ? leaf{ir_kind::frame, local_index(level_, n)} : leaf{ir_kind::global, n - 32};
            push(known_fetch(variable, i.tag).value_or(sym{.a = variable, .tag = i.tag}));
        } else if (n >= 64 && n < 96) {
            // The clock and the random numbers are read here, in order.
            const std::int32_t t = scratch();
            ir_insn read{.op = ir_op::system_read, .b = n - 64};
            read.arg.target = encode_target(ir_kind::frame, t, i.tag);
            emit(read);
            push({ir_kind::frame, t}, i.tag);
        } else {
            push(i);
            return end_with_leave(p);  // the walker reports it
        }
        return outcome::go_on;
    }
    const std::int32_t t = scratch();
    ir_insn read{.op = ir_op::variable_read, .a_kind = number.kind, .a = encode(number), .b = level_};
    read.arg.target = encode_target(ir_kind::frame, t, i.tag);
    emit(read);
    push({ir_kind::frame, t}, i.tag);
    return outcome::go_on;
}

// ( v i -- )
outcome block_translator::translate_store(const char* p)
{
    // the number is computed while the value is still on the stack, so
    // that its scratch integer cannot be the value's
    const leaf number = value_leaf(peek(0));
    sym i = pop();
    const hold keep_number{*this, number};
    sym v = pop();
    if (number.kind != ir_kind::constant) {
        const leaf value = value_leaf(v);
        const hold keep_value{*this, value};
        detach([](const leaf& l) {
            return (l.kind == ir_kind::frame && is_local_index(l.value)) || l.kind == ir_kind::global;
        });
        ir_insn write{.op = ir_op::variable_write, .a_kind = number.kind, .b_kind = value.kind,
                      .a = encode(number), .b = encode(value)};
        write.arg.target = {.dst = level_, .tag = 0, .tag_from = tag_kind::constant};
        emit(write);
        known_.clear();  // any variable of the word or any global may have changed
        return outcome::go_on;
    }
    const auto n = static_cast<std::uint32_t>(number.value);
    if (n > 63) {
        push(v);
        push(i);
        return end_with_leave(p);  // the walker reports it
    }
    const leaf variable = n < 32 ? leaf{ir_kind::frame, local_index(level_, number.value)}
                                 : leaf{ir_kind::global, number.value - 32};
    store(variable, v);
    return outcome::go_on;
}

// Whether insn may write its result into a variable of kind instead:
// the reads of variables write a frame integer only.
bool block_translator::retargetable(const ir_insn& insn, ir_kind kind)
{
    if (is_value_op(insn.op) || insn.op == ir_op::move) return true;
    return (insn.op == ir_op::system_read || insn.op == ir_op::variable_read) && kind == ir_kind::frame;
}

// Whether the instructions from first on, which compute what reads a
// variable before it is stored, may come before the one just ahead of them,
// which computed the scratch integer the store takes: it must be that one,
// one that cannot report, and they must neither read it nor overwrite
// what it reads.
bool block_translator::may_go_before(std::size_t first, std::int32_t scratch) const
{
    const ir_insn& value = code_[first - 1];
    if (!(is_value_op(value.op) || value.op == ir_op::move) || value.dst_kind != ir_kind::frame ||
        value.arg.target.dst != scratch)
        return false;
    if (may_report(value)) return false;
    const std::int32_t t = value.arg.target.dst;
    const auto names = [](ir_kind kind, std::int32_t index, ir_kind k, std::int32_t i) { return kind == k && index == i; };
    for (std::size_t i = first; i < code_.size(); ++i) {
        const ir_insn& d = code_[i];
        if (!(is_value_op(d.op) || d.op == ir_op::move) || d.dst_kind != ir_kind::frame) return false;
        if (names(d.a_kind, d.a, ir_kind::frame, t) || (is_value_op(d.op) && names(d.b_kind, d.b, ir_kind::frame, t)))
            return false;
        const std::int32_t written = d.arg.target.dst;
        if (written == t || names(value.a_kind, value.a, ir_kind::frame, written) ||
            (is_value_op(value.op) && names(value.b_kind, value.b, ir_kind::frame, written)))
            return false;
    }
    return true;
}

std::optional<sym> block_translator::known_fetch(const leaf& variable, const tag_ref& tag) const
{
    const auto k = std::find_if(known_.begin(), known_.end(),
                                [&](const known_value& kv) { return kv.variable == variable; });
    if (k == known_.end()) return std::nullopt;
    if (k->base.kind == ir_kind::constant)
        return sym{.a = constant_leaf(wrap_add(k->base.value, k->offset)), .tag = tag};
    if (k->offset == 0) return sym{.a = k->base, .tag = tag};
    return sym{.op = ir_op::add, .a = k->base, .b = constant_leaf(k->offset), .tag = tag};
}

void block_translator::remember_store(const leaf& variable, const sym& v)
{
    std::erase_if(known_, [&](const known_value& kv) { return kv.variable == variable || kv.base == variable; });
    if (v.negated) return;
    const bool plus_constant = v.op == ir_op::add && v.b.kind == ir_kind::constant;
    if (v.is_expr() && !plus_constant) return;
    // Only what stays put while the block runs: a scratch integer is given
    // out again and a stack cell written over.
    const leaf base = v.a;
    const bool lasting = base.kind == ir_kind::constant || base.kind == ir_kind::global ||
                         (base.kind == ir_kind::frame && is_local_index(base.value));
    if (!lasting || base == variable) return;
    known_.push_back({variable, base, plus_constant ? v.b.value : 0});
}

// Stores the symbolic value v into a variable.
void block_translator::store(const leaf& variable, sym v)
{
    remember_store(variable, v);
    const std::size_t before = code_.size();
    {
        const hold keep_a{*this, v.a};
        const hold keep_b{*this, v.is_expr() ? v.b : constant_leaf(0)};
        detach([&](const leaf& l) { return l == variable; });
    }
    // "$n @ +  $n @ 1 - dup $n !": the sum that reads the old $n is computed
    // first, so that the new $n can be computed in place.
    if (v.is_leaf() && v.a.kind == ir_kind::frame && !is_local_index(v.a.value) && before > 0 &&
        code_.size() > before && may_go_before(before, v.a.value))
        std::rotate(code_.begin() + static_cast<std::ptrdiff_t>(before - 1),
                    code_.begin() + static_cast<std::ptrdiff_t>(before), code_.end());
    if (v.is_expr() || v.negated) {
        compute_into(v, variable.kind, variable.value, v.tag);
        return;
    }
    // The value was just computed into a scratch integer that nothing else
    // needs under another name: compute it into the variable instead.
    if (v.a.kind == ir_kind::frame && !is_local_index(v.a.value) && !code_.empty() &&
        retargetable(code_.back(), variable.kind) && code_.back().dst_kind == ir_kind::frame &&
        code_.back().arg.target.dst == v.a.value) {
        code_.back().dst_kind = variable.kind;
        code_.back().arg.target.dst = variable.value;
        for (sym& s : open_)
            for (leaf* l : {&s.a, &s.b})
                if (*l == v.a) *l = variable;
        return;
    }
    emit_move(variable.kind, variable.value, v.tag, v.a);
}

// A built-in word whose handler runs on real cells.
outcome block_translator::translate_handler(const word_info& word)
{
    const std::int32_t adjust = materialize();
    need_ = std::max(need_, word.pops - base_);
    ir_insn call{.op = ir_op::native_call, .adjust = adjust};
    call.arg.native = word.handler;
    emit(call);
    known_.clear();  // a handler is free to change the machine's variables
    base_ += word.pushes - word.pops;
    sp_at_ = base_;
    return outcome::go_on;
}

}  // namespace block_translation
