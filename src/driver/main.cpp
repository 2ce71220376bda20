// The process entry (the unit the driver's reports name "dummy"). Loads the
// script named on the command line, creates the machine over it, prints the
// banner, runs "main" and tears down.

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "run/executor.hpp"
#include "text/script_file.hpp"

int main(int argc, char** argv)
{
    // A closed pipe then shows as a write error, reported like a full device,
    // instead of killing the process without a word.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc <= 1) {
        fail_report(sites::usage);
        fail_exit(1);
    }
    const std::optional<std::string> text = load_script(argv[1]);
    if (!text) {
        fail_report(sites::cannot_open);
        fail_exit(1);
    }
    forth_vm vm = forth_vm_create(100, 10, text->c_str());
    std::fputs("** Forth VM v0.16 **\n", stdout);
    try {
        forth_vm_run_word(vm, "main");
    } catch (const token_limit_reached&) {
        // Only a test program sets a bound on steps: its run ends quietly.
        std::fflush(stdout);
        return 3;
    }
    forth_vm_destroy(vm);
    std::fflush(stdout);
    check_output();
    return 0;
}
