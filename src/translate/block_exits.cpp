// block_exits: the ways out of a block being translated, and the block they make.

#include "translate/block_translator.hpp"

namespace block_translation {

// ---- terminators
// Emits the instruction that leaves the block by a new exit to resume.
void block_translator::emit_exit(const ir_insn& insn, const char* resume, bool straight)
{
    exits_.push_back({resume, sp_at_, 0, true, straight, code_.size()});
    emit(insn);
}

// straight: the run merely goes on in another block (it was long, or a
// label starts one), so that block is as hot as this one.
outcome block_translator::end_with_jump(const char* resume, bool straight)
{
    if (level_ > 0) return outcome::not_inlined;
    const std::int32_t adjust = materialize();
    emit_exit({.op = ir_op::jump, .adjust = adjust}, resume, straight);
    return outcome::ended;
}

outcome block_translator::end_with_ret(const char* semicolon)
{
    const std::int32_t adjust = materialize();
    ir_insn ret{.op = ir_op::ret, .adjust = adjust};
    ret.arg.position = semicolon;
    emit(ret);
    return outcome::ended;
}

// The walker goes on at t, the stack written out as it expects it there.
outcome block_translator::end_with_leave(const char* t)
{
    if (level_ > 0) return outcome::not_inlined;
    const std::int32_t adjust = materialize();
    ir_insn leave{.op = ir_op::leave, .adjust = adjust};
    leave.arg.position = t;
    emit(leave);
    return outcome::ended;
}

outcome block_translator::end_with_call(const char* t, const char* body)
{
    if (level_ > 0) return outcome::not_inlined;
    const std::int32_t adjust = materialize();
    call_token_ = t;
    call_body_ = body;
    emit({.op = ir_op::call, .adjust = adjust});
    return outcome::ended;
}

// ---- the block
namespace {

bool names_a_variable(ir_kind kind, std::int32_t index)
{
    return kind == ir_kind::global || (kind == ir_kind::frame && is_local_index(index));
}

// What may read or write any variable: a number computed at run time, or a
// handler.
bool reaches_any_variable(const ir_insn& insn)
{
    return insn.op == ir_op::variable_read || insn.op == ir_op::variable_write || insn.op == ir_op::native_call;
}

}  // namespace

// "$A @ 1 + $A !" in each of several words inlined in turn: the additions of
// constants to one variable, with nothing between them that reads or writes
// it, gather into the last of them, and go where they add up to nothing.
void block_translator::gather_increments()
{
    std::vector<bool> dropped(code_.size(), false);
    std::vector<std::pair<leaf, std::size_t>> open_increments;  // the last addition to each variable
    for (std::size_t k = 0; k < code_.size(); ++k) {
        ir_insn& insn = code_[k];
        if (reaches_any_variable(insn)) {
            open_increments.clear();
            continue;
        }
        const leaf variable{insn.dst_kind, insn.arg.target.dst};
        const bool increment = insn.op == ir_op::add && insn.a_kind == insn.dst_kind && insn.a == insn.arg.target.dst &&
                               insn.b_kind == ir_kind::constant && names_a_variable(insn.dst_kind, insn.arg.target.dst);
        const auto earlier = std::find_if(open_increments.begin(), open_increments.end(),
                                          [&](const auto& o) { return o.first == variable; });
        if (increment && earlier != open_increments.end()) {
            dropped[earlier->second] = true;
            insn.b = wrap_add(code_[earlier->second].b, insn.b);
            earlier->second = k;
            if (insn.b == 0) {
                dropped[k] = true;
                open_increments.erase(earlier);
            }
            continue;
        }
        for_each_operand(insn, [&](ir_kind kind, std::int32_t index, bool) {
            std::erase_if(open_increments, [&](const auto& o) { return o.first == leaf{kind, index}; });
        });
        if (increment) open_increments.emplace_back(variable, k);
    }
    remove_dropped(dropped);
}

// A word that passes its value on through a local ("$x ! $x @") stores into
// it at each call inlined at that depth: only the last store of the block
// can be seen. Walking back from the end, a variable is overwritten while
// the block stores into it later and nothing reads it in between. A
// division that may report is kept for its report.
void block_translator::drop_overwritten_stores()
{
    std::vector<leaf> overwritten;
    std::vector<bool> dropped(code_.size(), false);
    const auto is_overwritten = [&](const leaf& l) {
        return std::find(overwritten.begin(), overwritten.end(), l) != overwritten.end();
    };
    for (std::size_t k = code_.size(); k-- > 0;) {
        const ir_insn& insn = code_[k];
        if (reaches_any_variable(insn)) {
            overwritten.clear();
            continue;
        }
        if ((is_value_op(insn.op) || insn.op == ir_op::move) && !may_report(insn) &&
            names_a_variable(insn.dst_kind, insn.arg.target.dst) &&
            is_overwritten({insn.dst_kind, insn.arg.target.dst})) {
            dropped[k] = true;
            continue;
        }
        // its writes, then its reads, which come before them
        for_each_operand(insn, [&](ir_kind kind, std::int32_t index, bool written) {
            if (written && names_a_variable(kind, index) && !is_overwritten({kind, index}))
                overwritten.push_back({kind, index});
        });
        for_each_operand(insn, [&](ir_kind kind, std::int32_t index, bool written) {
            if (!written) std::erase(overwritten, leaf{kind, index});
        });
    }
    remove_dropped(dropped);
}

void block_translator::remove_dropped(const std::vector<bool>& dropped)
{
    std::vector<std::size_t> moved_to(code_.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < code_.size(); ++k) {
        moved_to[k] = kept;
        if (!dropped[k]) code_[kept++] = code_[k];
    }
    code_.resize(kept);
    for (exit_plan& plan : exits_) plan.holder = moved_to[plan.holder];
}

std::unique_ptr<ir_block> block_translator::finish(const char* start)
{
    gather_increments();
    drop_overwritten_stores();
    auto block = std::make_unique<ir_block>();
    block->start = start;
    block->end = last_ != nullptr ? last_ + 1 : start + 1;
    block->need = need_;
    // A block that checks the stack at all asks for a little more room
    // than it uses, so that the blocks it goes on to are proved by its
    // check and skip their own.
    if (need_ > 0 || room_ > 0 || levels_ > 0) room_ = std::max(room_, min_checked_room);
    block->room = room_;
    block->levels = levels_;
    const bool checked = need_ > 0 || room_ > 0 || levels_ > 0;
    block->code.reserve(code_.size() + (checked ? 1 : 0));
    if (checked) {
        ir_insn check{.op = ir_op::check, .a = need_, .b = room_, .adjust = levels_};
        check.arg.position = start;
        block->code.push_back(check);
    }
    block->code.insert(block->code.end(), code_.begin(), code_.end());
    ir_insn& last = block->code.back();
    const auto make_exit = [&](ir_exit& e, const exit_plan& plan) {
        e.resume = plan.resume;
        e.from = block.get();
        e.height = plan.height;
        e.levels = plan.levels;
        e.link_past_check = plan.provable;
        e.straight = plan.straight;
        e.stub = {.op = ir_op::exit_unlinked};
        e.stub.arg.exit = &e;
        e.target = &e.stub;
    };
    if (computed_jump_ != nullptr) {
        block->table = std::make_unique<ir_jump_table>();
        block->table->token = computed_jump_;
        block->table->targets.assign(static_cast<std::size_t>(table_size_), nullptr);
        last.arg.table = block->table.get();
    }
    if (!exits_.empty()) {
        block->exit_count = exits_.size();
        block->exits = std::make_unique<ir_exit[]>(exits_.size());
        for (std::size_t i = 0; i < exits_.size(); ++i) {
            ir_exit& e = block->exits[i];
            make_exit(e, exits_[i]);
            const ir_insn** const jump = exits_[i].table_entry >= 0
                                             ? &block->table->targets[static_cast<std::size_t>(exits_[i].table_entry)]
                                             : &block->code[exits_[i].holder + (checked ? 1 : 0)].arg.next;
            *jump = e.target;
            e.jump = jump;
        }
    }
    if (last.op == ir_op::call) {
        block->site = std::make_unique<call_site>();
        call_site& site = *block->site;
        site.token = call_token_;
        make_exit(site.callee, {call_body_, sp_at_, 1, true, false});
        make_exit(site.resume, {next_token(call_token_), 0, 0, false, false});
        last.arg.site = &site;
    }
    return block;
}

}  // namespace block_translation
