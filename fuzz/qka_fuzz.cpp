// Fuzz target: runs one whole script in-process, as the program does (index,
// then "main"), with its output discarded. Fatal reports and the bound on
// executed steps end the run by exceptions in this build, so one process can
// run millions of scripts; anything else that goes wrong is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "run/executor.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    settings.step_bound = 100'000;
    // What scripts print is of no interest, but it must still be written
    // successfully, so that the lost-output check does not end every run.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    reset_token_limit();
    try {
        forth_vm vm = forth_vm_create(100, 10, text.c_str());
        forth_vm_run_word(vm, "main");
        forth_vm_destroy(vm);
    } catch (const fatal_exit&) {
    } catch (const token_limit_reached&) {
    }
    return 0;
}
