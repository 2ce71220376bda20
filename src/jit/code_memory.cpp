#include "jit/code_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

// Pieces of code are packed into chunks of this many bytes (a larger one
// gets a chunk of its own); only the pages written to take memory.
constexpr std::size_t chunk_bytes = std::size_t{256} << 10;
// Each piece starts on a boundary a fetch of instructions likes.
constexpr std::size_t piece_alignment = 64;

std::size_t page_size()
{
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// The pages that hold [at, at + size).
struct page_span {
    void* start;
    std::size_t length;
};

page_span pages_of(std::byte* at, std::size_t size)
{
    const auto first = reinterpret_cast<std::uintptr_t>(at) / page_size() * page_size();
    const auto end = round_up(reinterpret_cast<std::uintptr_t>(at) + size, page_size());
    return {reinterpret_cast<void*>(first), end - first};
}

}  // namespace

code_memory::~code_memory()
{
    for (const chunk& c : chunks_) munmap(c.base, c.size);
}

const void* code_memory::add(std::size_t size, const std::function<bool(void* at)>& write)
{
    if (size == 0 || refused_) return nullptr;
    chunk* home = nullptr;
    if (!chunks_.empty()) {
        chunk& last = chunks_.back();
        if (round_up(last.used, piece_alignment) + size <= last.size) home = &last;
    }
    if (home == nullptr) {
        const std::size_t length = round_up(std::max(size, chunk_bytes), page_size());
        // Reserved without any access: pages get theirs as code is written.
        void* const base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return nullptr;
        try {
            chunks_.push_back({static_cast<std::byte*>(base), length, 0});
        } catch (...) {
            munmap(base, length);
            throw;
        }
        home = &chunks_.back();
    }
    std::byte* const at = home->base + round_up(home->used, piece_alignment);
    const page_span pages = pages_of(at, size);
    if (mprotect(pages.start, pages.length, PROT_READ | PROT_WRITE) != 0) return nullptr;
    const bool written = write(at);
    // Executable from here on, and never writable while it is.
    if (mprotect(pages.start, pages.length, PROT_READ | PROT_EXEC) != 0) {
        // A system that refuses executable memory refuses the first piece
        // (no older code shares its pages then), and switching pages back
        // to what they were before needs no new mapping: it cannot fail
        // later. No more code is written all the same.
        mprotect(pages.start, pages.length, PROT_NONE);
        refused_ = true;
        return nullptr;
    }
    if (!written) return nullptr;
    __builtin___clear_cache(reinterpret_cast<char*>(at), reinterpret_cast<char*>(at) + size);
    home->used = static_cast<std::size_t>(at - home->base) + size;
    bytes_ += size;
    return at;
}
