// The words that change where execution goes. Jumps search the text token by
// token from the jumping word and leave the current position on the label
// token they find; the executor then steps past it.

#include <cstdio>

#include "machine/machine.hpp"
#include "machine/reports.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "words/word_list.hpp"

namespace {

struct jump_reports {
    const report_site& no_reference;
    const report_site& bad_reference;
    const report_site& not_found;
};

// Makes the jump's reports and moves the current position as the outcome says.
void take_jump(forth_vm& vm, const jump_outcome& outcome, const jump_reports& reports)
{
    using kind = jump_outcome::kind;
    if (outcome.result == kind::no_reference) {
        fail_report(reports.no_reference);
        vm.current = nullptr;  // nothing to jump by: the running word ends
        return;
    }
    if (outcome.bad_reference) fail_report(reports.bad_reference);
    switch (outcome.result) {
    case kind::landed:
        vm.current = outcome.label_token;
        return;
    case kind::unterminated_label:
        fail_report(sites::unterminated_string);
        fail_exit(1);
    case kind::not_found:
    case kind::no_reference:
        fail_report(reports.not_found);
        fail_exit(1);
    }
}

}  // namespace

// ( -- )  Jumps to the nearest token after the reference that equals its label.
void nw_goto_down(forth_vm& vm)
{
    take_jump(vm, find_jump_down(vm.current),
              {sites::down_no_reference, sites::down_bad_reference, sites::down_label_not_found});
}

// ( -- )  Jumps to the nearest token before the reference that equals its label.
void nw_goto_up(forth_vm& vm)
{
    take_jump(vm, find_jump_up(vm.text, vm.current),
              {sites::up_no_reference, sites::up_bad_reference, sites::up_label_not_found});
}

// ( x -- )  Jumps forward when x is 0; otherwise passes over the reference.
void nw_if(forth_vm& vm)
{
    const cell x = word_pop(vm);
    if (x.value == 0)
        nw_goto_down(vm);
    else
        vm.current = next_token(vm.current);
}

// ( x -- )  Jumps backward when x is not 0; otherwise passes over the reference.
void nw_loop(forth_vm& vm)
{
    const cell x = word_pop(vm);
    if (x.value != 0)
        nw_goto_up(vm);
    else
        vm.current = next_token(vm.current);
}

// ( k n -- )  Jumps forward to the label of the k-th of the n references that
// follow, searching from after the last one.
void nw_on_goto(forth_vm& vm)
{
    const cell n = word_pop(vm);
    const cell k = word_pop(vm);
    if (k.value < 1 || k.value > n.value) {
        // 引数:%d\nジャンプ先個数:%d\n (argument, number of jump targets)
        std::printf("\x88\xf8\x90\x94:%d\n\x83\x57\x83\x83\x83\x93\x83\x76\x90\xe6\x8c\xc2\x90\x94:%d\n",
                    k.value, n.value);
        check_output();
        fail_report(sites::on_goto_out_of_range);
        return;  // the references then pass as label definitions
    }
    const on_goto_outcome outcome = find_on_goto(vm.current, k.value, n.value);
    if (outcome.result == on_goto_outcome::kind::missing_reference) {
        fail_report(sites::on_goto_missing_reference);
        vm.current = nullptr;  // no current position: the running word ends
        return;
    }
    if (outcome.bad_reference) fail_report(sites::on_goto_bad_reference);
    if (outcome.result == on_goto_outcome::kind::not_found) {
        fail_report(sites::on_goto_end_of_script);
        vm.current = nullptr;  // no current position: the running word ends
        return;
    }
    vm.current = outcome.label_token;
}

// ( -- )  Passes over the tokens up to the next "*/" token.
void nw_comment(forth_vm& vm)
{
    // The report comes while the position is still on "/*", the token it is about.
    const char* const end = find_comment_end(vm.current);
    if (end == nullptr) {
        fail_report(sites::unterminated_comment);
        fail_exit(1);
    }
    vm.current = end;
}
