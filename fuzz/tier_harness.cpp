#include "tier_harness.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "machine/variables.hpp"
#include "run/executor.hpp"
#include "run/tiers.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"

namespace {

// A stream in memory that the runs write to in place of the standard ones,
// so that the fuzzer's and the sanitizers' own messages still reach fd 2.
struct capture {
    std::FILE* file = nullptr;

    void open(const char* name)
    {
        const int fd = memfd_create(name, 0);
        file = fd < 0 ? nullptr : fdopen(fd, "w+");
        if (file == nullptr) std::abort();
    }

    void reset()
    {
        std::fflush(file);
        if (ftruncate(fileno(file), 0) != 0) std::abort();
        std::rewind(file);
        std::clearerr(file);
    }

    std::string contents()
    {
        std::fflush(file);
        struct stat st{};
        if (fstat(fileno(file), &st) != 0) std::abort();
        std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
        if (pread(fileno(file), bytes.data(), bytes.size(), 0) != st.st_size) std::abort();
        return bytes;
    }
};

capture out;
capture err;
int findings_fd = 2;  // the process's own standard error, whatever libFuzzer closes

struct run_result {
    std::string output;
    std::string reports;
    int ending;  // -1 normal end, -2 the bound on steps, else the exit status
};

enum class tier : std::uint8_t { walker, tiered };

run_result run(const std::string& text, tier executor)
{
    out.reset();
    err.reset();
    reset_token_limit();
    seed_random_numbers(1);  // both runs read the same random numbers
    int ending = -1;
    try {
        forth_vm vm = forth_vm_create(100, 10, text.c_str());
        vm.depth = 0;
        if (const char* const main = find_user_word(vm, "main")) {
            vm.current = next_token(main);
            if (executor == tier::walker)
                walk_text(vm);
            else
                run_tiered(vm);
        }
        forth_vm_destroy(vm);
    } catch (const fatal_exit& e) {
        ending = e.status;
    } catch (const token_limit_reached&) {
        ending = -2;
    }
    return {out.contents(), err.contents(), ending};
}

}  // namespace

void init_tier_harness()
{
    out.open("qka-stdout");
    err.open("qka-stderr");
    stdout = out.file;  // glibc's standard streams are plain variables
    stderr = err.file;
    const int kept = dup(2);
    if (kept >= 0) findings_fd = kept;
}

void compare_tiers(const std::string& text, bool show_script)
{
    const run_result walked = run(text, tier::walker);
    if (walked.ending == -2) return;  // the script runs for long: no end to compare
    const run_result tiered = run(text, tier::tiered);
    if (tiered.output == walked.output && tiered.reports == walked.reports && tiered.ending == walked.ending) return;
    dprintf(findings_fd,
            "tiers differ: ending %d against %d, %zu and %zu output bytes, %zu and %zu report bytes\n",
            tiered.ending, walked.ending, tiered.output.size(), walked.output.size(), tiered.reports.size(),
            walked.reports.size());
    if (show_script) dprintf(findings_fd, "script:\n%s\n", text.c_str());
    std::abort();
}
