#include "machine/reports.hpp"

#include <cstdio>
#include <cstdlib>

void fail_report(const report_site& site)
{
    // Whatever the script printed before the failure comes first when both
    // streams go to one terminal or file.
    std::fflush(stdout);
    if (observe_report != nullptr) {
        observe_report(site);
        return;
    }
    std::fprintf(stderr, "[fail]\t%s:%d (%s();)\n\t%s\n", site.unit, site.line, site.function,
                 site.message);
}

void fail_exit(int status)
{
    std::fprintf(stderr, "Exit<%d>\n", status);
#ifdef QKA_FAIL_THROWS
    throw fatal_exit{status};
#else
    std::exit(status);
#endif
}

void check_output()
{
    if (std::ferror(stdout)) [[unlikely]] {
        fail_report(sites::output_lost);
        fail_exit(1);
    }
}
