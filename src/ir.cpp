#include "ir.hpp"

#include <sstream>

namespace {

constexpr const char* op_names[] = {
#define QKA_IR_NAME(name, ...) #name,
    QKA_IR_VALUE_OPS(QKA_IR_NAME) QKA_IR_BRANCH_OPS(QKA_IR_NAME) QKA_IR_MOVE_OP(QKA_IR_NAME)
        QKA_IR_OTHER_OPS(QKA_IR_NAME)
#undef QKA_IR_NAME
};

// f: frame, g: global, s: slot, c: constant; locals of inlined calls show
// their level: f1.3 is local 3 one call deep.
std::string operand(ir_kind kind, std::int32_t value)
{
    std::ostringstream out;
    switch (kind) {
    case ir_kind::frame:
        if (is_local_index(value))
            out << 'f' << value / static_cast<std::int32_t>(frame_stride) << '.'
                << value % static_cast<std::int32_t>(frame_stride);
        else
            out << 't' << value - static_cast<std::int32_t>(frame_locals);
        break;
    case ir_kind::global: out << 'g' << value; break;
    case ir_kind::slot: out << 's' << value; break;
    case ir_kind::constant: out << 'c' << value; break;
    }
    return out.str();
}

}  // namespace

std::string describe_block(const ir_block& block)
{
    std::ostringstream out;
    for (const ir_insn& insn : block.code) {
        out << op_names[static_cast<int>(insn.op)];
        if (is_value_op(insn.op) || insn.op == ir_op::move) {
            out << ' ' << operand(insn.dst_kind, insn.arg.target.dst) << " = " << operand(insn.a_kind, insn.a);
            if (insn.op != ir_op::move) out << ", " << operand(insn.b_kind, insn.b);
        } else if (is_branch_op(insn.op)) {
            out << ' ' << operand(insn.a_kind, insn.a) << ", " << operand(insn.b_kind, insn.b);
        } else if (insn.op == ir_op::check) {
            out << " need " << insn.a << " room " << insn.b << " levels " << insn.adjust;
        } else if (insn.op == ir_op::system_read || insn.op == ir_op::variable_read) {
            out << ' ' << operand(ir_kind::frame, insn.arg.target.dst);
        } else if (insn.op >= ir_op::print_number && insn.op <= ir_op::print_string) {
            out << ' ' << operand(insn.a_kind, insn.a);
        }
        if (is_terminator(insn.op) && insn.adjust != 0) out << " sp" << (insn.adjust > 0 ? "+" : "") << insn.adjust;
        out << '\n';
    }
    return out.str();
}
