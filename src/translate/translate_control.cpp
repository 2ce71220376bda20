// translate_control: the words that jump and the calls of user words, inlined where short.

#include "translate/block_translator.hpp"

#include "text/searches.hpp"
#include "text/tokens.hpp"

namespace block_translation {

// "if" and "loop": a branch on the popped value, both ways into new blocks.
outcome block_translator::translate_branch(const char*& p, bool loop)
{
    if (level_ > 0) return outcome::not_inlined;
    const char* const reference = next_token(p);
    sym x = pop();
    // What jumps: "if" where the value is 0, "loop" where it is not.
    if (x.is_leaf() && x.a.kind == ir_kind::constant) {
        if ((x.a.value != 0) != loop) {
            if (reference == nullptr) {
                push(x);
                return end_with_leave(p);
            }
            p = reference;  // passes over the reference
            return outcome::go_on;
        }
    }
    const jump_outcome jump = loop ? find_jump_up(vm_.text, p) : find_jump_down(p);
    if (!is_clean(jump) || reference == nullptr) {
        push(x);
        return end_with_leave(p);  // the walker runs the word, reports and all
    }
    const char* const landing = next_token(jump.label_token);
    if (x.is_leaf() && x.a.kind == ir_kind::constant) return end_with_jump(landing);
    // The value is truthy where (a cmp b) holds.
    ir_op branch;
    leaf a;
    leaf b;
    const bool jumps_when_truthy = loop;
    if (x.is_expr() && operation_info(x.op).tests) {
        // truthy exactly where the comparison holds (or fails, when negated)
        branch = branch_for(*operation_info(x.op).tests, jumps_when_truthy != x.negated);
        a = x.a;
        b = x.b;
    } else {
        const bool negated = x.negated;
        x.negated = false;
        a = value_leaf(x);
        b = constant_leaf(0);
        branch = branch_for(relation::ne, jumps_when_truthy != negated);
    }
    if (a.kind == ir_kind::constant) {
        std::swap(a, b);
        branch = swapped_branch(branch);
    }
    // The operands must survive the writing out of the stack.
    const std::size_t held_before = held_.size();
    for (const leaf& l : {a, b})
        if (l.kind == ir_kind::frame) held_.push_back(l.value);
    for (leaf* l : {&a, &b}) {
        if (l->kind != ir_kind::slot || l->value < base_) continue;
        const std::int32_t t = scratch();
        emit_move(ir_kind::frame, t, constant_tag(cell_tag::NUMBER), *l);
        *l = {ir_kind::frame, t};
        held_.push_back(t);
    }
    branch_operands_ = {a.kind == ir_kind::frame ? a.value : -1, b.kind == ir_kind::frame ? b.value : -1};
    written_in_place_.clear();
    const std::int32_t adjust = materialize();
    held_.resize(held_before);
    branch_operands_ = {-1, -1};
    for (leaf* l : {&a, &b})
        for (const auto& [scratch, position] : written_in_place_)
            if (*l == leaf{ir_kind::frame, scratch}) *l = {ir_kind::slot, position};
    emit_exit({.op = branch, .a_kind = a.kind, .b_kind = b.kind, .a = encode(a), .b = encode(b), .adjust = adjust},
              landing);
    emit_exit({.op = ir_op::jump}, next_token(reference));  // the branch reads where not jumping goes here
    return outcome::ended;
}

// "go_down" and "go_up": the block goes on where the jump lands, unless the
// jump reports on its way.
// A short block goes on through the jump, translating what follows the
// label as the walker would run it next: a loop tested at its top then
// closes on its own test, as one closed by "loop" does.
outcome block_translator::translate_jump(const char*& p, const jump_outcome& jump)
{
    if (!is_clean(jump)) return end_with_leave(p);
    if (level_ == 0 && threaded_jumps_ < max_threaded_jumps && tokens_ < max_threaded_tokens) {
        ++threaded_jumps_;
        p = jump.label_token;  // the run goes on after the label
        return outcome::go_on;
    }
    return end_with_jump(next_token(jump.label_token));
}

// ( k n -- )  With n a constant, a jump through a table of where each k
// lands, each found once by the walker's own search. Both cells are written
// to the stack first: an index out of range, or one whose jump reports,
// goes to the walker with them there, which makes the reports.
outcome block_translator::translate_computed_jump(const char* p)
{
    if (level_ > 0) return outcome::not_inlined;
    peek(1);  // k is on the stack (or the walker reports that it is not)
    const sym& count = peek(0);
    if (!count.is_leaf() || count.a.kind != ir_kind::constant || count.a.value < 1 ||
        count.a.value > max_jump_table)
        return end_with_leave(p);
    const std::int32_t n = count.a.value;
    std::vector<const char*> landings(static_cast<std::size_t>(n), nullptr);
    bool any = false;
    for (std::int32_t k = 1; k <= n; ++k) {
        const on_goto_outcome jump = find_on_goto(p, k, n);
        if (jump.result != on_goto_outcome::kind::landed || jump.bad_reference) continue;
        landings[static_cast<std::size_t>(k - 1)] = jump.label_token;
        any = true;
    }
    if (!any) return end_with_leave(p);
    const std::int32_t adjust = materialize();
    ir_insn insn{.op = ir_op::computed_jump, .a_kind = ir_kind::slot, .a = -2, .b = n, .adjust = adjust};
    for (std::int32_t k = 0; k < n; ++k) {
        const char* const label = landings[static_cast<std::size_t>(k)];
        if (label != nullptr) exits_.push_back({next_token(label), sp_at_ - 2, 0, true, false, code_.size(), k});
    }
    computed_jump_ = p;
    table_size_ = n;
    emit(insn);
    return outcome::ended;
}

// A user word: its body inlined when short and straight, else a call.
outcome block_translator::translate_call(const char* t, const char* body)
{
    if (!memo_.not_inlinable.contains(body)) {
        if (level_ < max_inline_levels) {
            if (inline_body(body)) return outcome::go_on;
        } else {
            depth_limited_ = true;
        }
    }
    return end_with_call(t, body);
}

// Translates the body at level + 1 into the block; when it cannot be
// inlined (it jumps, calls what cannot be inlined, or is long), puts
// everything back as it was and says so.
bool block_translator::inline_body(const char* body)
{
    const snapshot saved{code_,   open_,  known_,        base_,          sp_at_,      need_,
                         room_,   levels_, tokens_,      inline_start_, depth_limited_, held_.size()};
    ++level_;
    levels_ = std::max(levels_, level_);
    inline_start_ = body;
    depth_limited_ = false;
    bool inlined = false;
    int count = 0;
    for (const char* p = body;; p = next_token(p)) {
        if (ends_word(p)) {
            inlined = true;
            break;
        }
        if (++count > max_inline_tokens || p - body > max_inline_bytes) break;
        if (translate_token(p) != outcome::go_on) break;
    }
    --level_;
    inline_start_ = saved.inline_start;
    if (inlined) {
        depth_limited_ = saved.depth_limited || depth_limited_;
        return true;
    }
    // Too deep is no fault of the body: it may be inlined nearer the top.
    if (!depth_limited_) memo_.not_inlinable.insert(body);
    depth_limited_ = saved.depth_limited || depth_limited_;
    code_ = saved.code;
    open_ = saved.open;
    known_ = saved.known;
    base_ = saved.base;
    sp_at_ = saved.sp_at;
    need_ = saved.need;
    room_ = saved.room;
    levels_ = saved.levels;
    tokens_ = saved.tokens;
    held_.resize(saved.held);
    return false;
}

}  // namespace block_translation
