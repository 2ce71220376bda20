#pragma once
// code_memory: executable memory for machine code that is never writable
// while code in it can run. Code is written into pages that are read-write
// and not executable, then switched to read-execute before anything jumps
// there; nothing is ever mapped twice. Machine code is written only while no
// machine code runs (it calls nothing that compiles), so appending to a page
// that holds older code switches that page back to read-write for the write.

#include <cstddef>
#include <functional>
#include <vector>

class code_memory {
public:
    code_memory() = default;
    ~code_memory();
    code_memory(const code_memory&) = delete;
    code_memory& operator=(const code_memory&) = delete;

    // Finds size bytes, lets write fill them at their final address (false:
    // it could not), and makes them executable; nullptr where there is no
    // memory, no executable memory, or the write failed.
    const void* add(std::size_t size, const std::function<bool(void* at)>& write);

    // Bytes of code written so far.
    std::size_t bytes() const noexcept { return bytes_; }

private:
    struct chunk {
        std::byte* base;
        std::size_t size;
        std::size_t used;
    };
    std::vector<chunk> chunks_;
    std::size_t bytes_ = 0;
    bool refused_ = false;  // the system refused to make code executable
};
