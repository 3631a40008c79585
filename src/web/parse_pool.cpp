#include "web/parse_pool.h"

#include <QtGlobal>
#include <algorithm>
#include <new>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace quillmere {

namespace {

// Every block lies in a slab aligned to the slab size, whose header the block's address
// finds. The size is also Windows' allocation granularity.
constexpr std::size_t SlabSize = std::size_t(64) << 10;
// Small slabs are carved from regions, a few system calls for many slabs.
constexpr std::size_t RegionSlabs = 16;
constexpr std::size_t RegionSize = SlabSize * RegionSlabs;

// Zeroed memory aligned to SlabSize, straight from the system; nullptr when there is none.
char *mapRegion() {
#ifdef Q_OS_WIN
    return static_cast<char *>(
        VirtualAlloc(nullptr, RegionSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#else
    // mmap aligns to pages only: map a slab more and trim both ends. Every page of it is
    // about to be written: one system call maps them all rather than a fault per page.
#ifdef MAP_POPULATE
    constexpr int Populate = MAP_POPULATE;
#else
    constexpr int Populate = 0;
#endif
    void *mapped = mmap(nullptr, RegionSize + SlabSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | Populate, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + SlabSize - 1) & ~std::uintptr_t(SlabSize - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    if (const std::uintptr_t tail = start + SlabSize - aligned)
        munmap(reinterpret_cast<void *>(aligned + RegionSize), tail);
    return reinterpret_cast<char *>(aligned);
#endif
}

// The pages of one slab go back to the system, but the region keeps its addresses: the
// system would hand them out again, and unmapping the whole region at the end would take
// someone else's memory with it.
void unmapSlab(void *slab) {
#ifdef Q_OS_WIN
    VirtualFree(slab, SlabSize, MEM_DECOMMIT);
#else
    madvise(slab, SlabSize, MADV_DONTNEED);
#endif
}

// A block too large for a slab, alone and aligned as a slab. Windows' allocations are aligned
// so by nature; its aligned heap would keep a slab's worth more for each.
void *mapLarge(std::size_t bytes) {
#ifdef Q_OS_WIN
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    return ::operator new(bytes, std::align_val_t(SlabSize), std::nothrow);
#endif
}

void unmapLarge(void *block, std::size_t bytes) {
#ifdef Q_OS_WIN
    Q_UNUSED(bytes);
    VirtualFree(block, 0, MEM_RELEASE);
#else
    ::operator delete(block, bytes, std::align_val_t(SlabSize));
#endif
}

void unmapRegion(char *region) {
#ifdef Q_OS_WIN
    VirtualFree(region, 0, MEM_RELEASE);
#else
    munmap(region, RegionSize);
#endif
}

} // namespace

struct ParsePool::Slab {
    Slab *previous; // large blocks only: the list of those alive
    Slab *next;
    std::size_t bytes;       // large blocks: the whole allocation
    std::size_t index;       // small slabs: in m_smallSlabs
    std::uint32_t sizeClass; // block size / Step; 0 for a large block
    std::uint32_t live;      // blocks taken and not given back
    char *unused;            // where the next fresh block starts
};

namespace {
constexpr std::size_t HeaderSize = 64;
}

ParsePool::~ParsePool() {
    while (m_large)
        releaseLarge(m_large);
    for (char *region : m_regions)
        unmapRegion(region);
}

ParsePool::Slab *ParsePool::slabOf(void *block) {
    return reinterpret_cast<Slab *>(reinterpret_cast<std::uintptr_t>(block) &
                                    ~std::uintptr_t(SlabSize - 1));
}

void *ParsePool::take(std::size_t size) {
    Q_ASSERT(!m_draining);
    static_assert(sizeof(Slab) <= HeaderSize);
    void *block = size > MaxSmall ? takeLarge(size) : takeSmall(size);
#ifndef NDEBUG
    m_blocks.insert(block);
#endif
    return block;
}

void *ParsePool::takeSmall(std::size_t size) {
    const auto sizeClass = std::uint32_t((std::max<std::size_t>(size, 1) + Step - 1) / Step);
    if (FreeBlock *reused = m_free[sizeClass]) {
        m_free[sizeClass] = reused->next;
        ++slabOf(reused)->live;
        return reused;
    }
    const std::size_t bytes = sizeClass * Step;
    Slab *slab = m_current[sizeClass];
    if (!slab || slab->unused + bytes > reinterpret_cast<char *>(slab) + SlabSize) {
        slab = newSmallSlab(sizeClass);
        m_current[sizeClass] = slab;
    }
    void *block = slab->unused;
    slab->unused += bytes;
    ++slab->live;
    return block;
}

ParsePool::Slab *ParsePool::newSmallSlab(std::uint32_t sizeClass) {
    if (m_regions.empty() || m_regionSlabsUsed == RegionSlabs) {
        char *region = mapRegion();
        if (!region)
            throw std::bad_alloc();
        m_regions.push_back(region);
        m_regionSlabsUsed = 0;
    }
    auto *slab = reinterpret_cast<Slab *>(m_regions.back() + m_regionSlabsUsed++ * SlabSize);
    *slab = Slab{nullptr,
                 nullptr,
                 SlabSize,
                 m_smallSlabs.size(),
                 sizeClass,
                 0,
                 reinterpret_cast<char *>(slab) + HeaderSize};
    m_smallSlabs.push_back(slab);
    m_footprint += SlabSize; // a region's slabs not yet handed out are never touched
    return slab;
}

void *ParsePool::takeLarge(std::size_t size) {
    const std::size_t bytes = HeaderSize + size;
    auto *slab = static_cast<Slab *>(mapLarge(bytes));
    if (!slab)
        throw std::bad_alloc();
    *slab = Slab{nullptr, m_large, bytes, 0, 0, 1, nullptr};
    if (m_large)
        m_large->previous = slab;
    m_large = slab;
    m_footprint += bytes;
    return reinterpret_cast<char *>(slab) + HeaderSize;
}

void ParsePool::give(void *block) {
    if (!block)
        return;
#ifndef NDEBUG
    [[maybe_unused]] const auto known = m_blocks.erase(block);
    Q_ASSERT(known == 1);
#endif
    Slab *slab = slabOf(block);
    if (slab->sizeClass == 0) {
        releaseLarge(slab);
        return;
    }
    --slab->live;
    if (m_draining) {
        if (slab->live == 0)
            releaseSmall(slab);
        return;
    }
    auto *freed = static_cast<FreeBlock *>(block);
    freed->next = m_free[slab->sizeClass];
    m_free[slab->sizeClass] = freed;
}

void ParsePool::drain() {
    m_draining = true;
    m_free.fill(nullptr);
    m_current.fill(nullptr);
    for (Slab *slab : m_smallSlabs) {
        if (slab && slab->live == 0)
            releaseSmall(slab);
    }
}

void ParsePool::releaseSmall(Slab *slab) {
    m_smallSlabs[slab->index] = nullptr;
    m_footprint -= SlabSize;
    unmapSlab(slab);
}

void ParsePool::releaseLarge(Slab *slab) {
    (slab->previous ? slab->previous->next : m_large) = slab->next;
    if (slab->next)
        slab->next->previous = slab->previous;
    m_footprint -= slab->bytes;
    unmapLarge(slab, slab->bytes);
}

} // namespace quillmere
