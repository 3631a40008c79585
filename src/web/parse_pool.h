#pragma once

// The allocator behind one HTML parse. The parser allocates and frees millions of small
// blocks and leaves its tree to be freed block by block; the pool serves them from slabs,
// each slab one block size in steps of 8 bytes, and drops whatever is left at once.
//
// Once the parse is over the pool drains: nothing more is taken, and a slab whose blocks
// have all been given back returns to the system at once, so the parser's tree shrinks
// while the document is built from it. Slabs come straight from the system for that: the
// C library's heap would keep freed slabs in the process.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>
#ifndef NDEBUG
#include <unordered_set>
#endif

namespace quillmere {

class ParsePool {
public:
    ParsePool() = default;
    ParsePool(const ParsePool &) = delete;
    ParsePool &operator=(const ParsePool &) = delete;
    ~ParsePool();

    // Aligned to 8 bytes. Throws std::bad_alloc when the system has no memory left.
    void *take(std::size_t size);
    // A block taken from this pool; nullptr is ignored.
    void give(void *block);
    // From now on nothing is taken; every slab goes as soon as nothing in it is alive.
    void drain();

    // What the pool's slabs and large blocks take, in bytes.
    std::size_t footprint() const { return m_footprint; }

    static constexpr std::size_t MaxSmall = 2048; // larger blocks have a slab of their own

private:
    struct Slab;
    struct FreeBlock {
        FreeBlock *next;
    };
    static constexpr std::size_t Step = 8;
    static constexpr std::size_t Classes = MaxSmall / Step + 1;

    static Slab *slabOf(void *block);
    void *takeSmall(std::size_t size);
    void *takeLarge(std::size_t size);
    Slab *newSmallSlab(std::uint32_t sizeClass);
    void releaseSmall(Slab *slab);
    void releaseLarge(Slab *slab);

    std::array<FreeBlock *, Classes> m_free{};
    std::array<Slab *, Classes> m_current{};
    std::vector<Slab *> m_smallSlabs; // nullptr where one has gone back already
    std::vector<char *> m_regions;    // where small slabs are carved from
    std::size_t m_regionSlabsUsed = 0;
    Slab *m_large = nullptr; // large blocks alive, newest first
    std::size_t m_footprint = 0;
    bool m_draining = false;
#ifndef NDEBUG
    std::unordered_set<void *> m_blocks; // what may be given back
#endif
};

} // namespace quillmere
