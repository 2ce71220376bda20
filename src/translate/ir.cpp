#include "translate/ir.hpp"

#include <sstream>

#include "words/word_list.hpp"

namespace {

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
        out << info(insn.op).name;
        switch (shape(insn.op)) {
        case ir_shape::value:
            out << ' ' << operand(insn.dst_kind, insn.arg.target.dst) << " = " << operand(insn.a_kind, insn.a) << ", "
                << operand(insn.b_kind, insn.b);
            break;
        case ir_shape::move:
            out << ' ' << operand(insn.dst_kind, insn.arg.target.dst) << " = " << operand(insn.a_kind, insn.a);
            break;
        case ir_shape::branch:
            out << ' ' << operand(insn.a_kind, insn.a) << ", " << operand(insn.b_kind, insn.b);
            break;
        case ir_shape::other:
            if (insn.op == ir_op::check) {
                out << " need " << insn.a << " room " << insn.b << " levels " << insn.adjust;
            } else if (insn.op == ir_op::system_read || insn.op == ir_op::variable_read) {
                out << ' ' << operand(ir_kind::frame, insn.arg.target.dst);
            } else if (insn.op == ir_op::computed_jump) {
                out << ' ' << operand(insn.a_kind, insn.a) << " of " << insn.b;
            } else if (insn.op == ir_op::print) {
                constexpr const char* kinds[] = {"number", "character", "spaces", "string", "newline"};
                out << ' ' << kinds[insn.b];
                if (static_cast<output_kind>(insn.b) != output_kind::newline) out << ' ' << operand(insn.a_kind, insn.a);
            }
            break;
        }
        if (is_terminator(insn.op) && insn.adjust != 0) out << " sp" << (insn.adjust > 0 ? "+" : "") << insn.adjust;
        out << '\n';
    }
    return out.str();
}
