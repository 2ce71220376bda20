#include "text/script_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "machine/positions.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

std::nullopt_t failed(std::string* reason, const char* why)
{
    if (reason != nullptr) *reason = why;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> load_script(std::FILE* file, std::string* reason)
{
    std::string text;
    char chunk[1 << 16];
    try {
        // A regular file's size is known: the text then takes no more room than it.
        struct stat info {};
        if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uint64_t>(info.st_size) <= max_script_size)
            text.reserve(static_cast<std::size_t>(info.st_size) + 1);
        errno = 0;
        for (;;) {
            const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
            text.append(chunk, got);
            if (text.size() > max_script_size) return failed(reason, "too large for qka to read");
            if (got < sizeof chunk) break;
        }
    } catch (const std::bad_alloc&) {
        // no memory to hold it: it cannot be read whole
        return failed(reason, "not enough memory to hold it");
    }
    // A directory opens but cannot be read.
    if (std::ferror(file)) return failed(reason, std::strerror(errno != 0 ? errno : EIO));
    return text;
}

std::optional<std::string> load_script(const char* path, std::string* reason)
{
    const file_ptr file{std::fopen(path, "r")};
    if (!file) return failed(reason, std::strerror(errno));
    return load_script(file.get(), reason);
}
