#include "text/script_file.hpp"

#include <cstdio>
#include <memory>
#include <new>

#include "machine/positions.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace

std::optional<std::string> load_script(const char* path)
{
    const file_ptr file{std::fopen(path, "r")};
    if (!file) return std::nullopt;
    std::string text;
    char chunk[1 << 16];
    try {
        for (;;) {
            const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
            text.append(chunk, got);
            if (text.size() > max_script_size) return std::nullopt;
            if (got < sizeof chunk) break;
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // no memory to hold it: it cannot be read whole
    }
    // A directory opens but cannot be read.
    if (std::ferror(file.get())) return std::nullopt;
    return text;
}
