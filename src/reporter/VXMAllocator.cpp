#include "reporter/VXMAllocator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "reporter/VXMSafe.h"

namespace {

size_t pageSize() {
    long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : 4096;
}

// An exact multiple of the page size still gains a page, as the layout has
// always reserved.
size_t roundedRegion(size_t requested, size_t page) {
    return page * (requested / page + 1);
}

size_t aligned(size_t size) {
    return (size + VXMAllocatorAlignment - 1) & ~(VXMAllocatorAlignment - 1);
}

void* fallbackAllocate(size_t size, const char* why) {
    VXMSafeLogToStderr("%s", why);
    return calloc(1, size ? size : 1);
}

}  // namespace

VXMAllocator* VXMAllocatorCreate(size_t writableSize, size_t readOnlySize) {
    const size_t page = pageSize();
    const size_t header = aligned(sizeof(VXMAllocator));
    const size_t writable = roundedRegion(writableSize, page);
    const size_t readOnly = roundedRegion(readOnlySize + header, page);
    const size_t total = page + writable + page + readOnly + page;

    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    if (base == MAP_FAILED) {
        VXMSafeLogToStderr("[Allocator] Mapping failed %d\n", errno);
        return nullptr;
    }
    auto* bytes = static_cast<uint8_t*>(base);
    struct Guard {
        size_t offset;
        const char* which;
    } guards[] = {
        {0, "First"}, {page + writable, "Middle"}, {page + writable + page + readOnly, "Last"}};
    for (const Guard& g : guards) {
        if (mprotect(bytes + g.offset, page, PROT_NONE) != 0) {
            VXMSafeLogToStderr("[Allocator] %s guard protection failed %d\n", g.which, errno);
            munmap(base, total);
            return nullptr;
        }
    }

    uint8_t* readOnlyStart = bytes + page + writable + page;
    auto* allocator = new (readOnlyStart) VXMAllocator();
    allocator->base = base;
    allocator->mappingSize = total;
    allocator->writable.size = writable;
    allocator->writable.start = reinterpret_cast<uintptr_t>(bytes + page);
    allocator->writable.next.store(allocator->writable.start);
    allocator->readOnly.size = readOnly;
    allocator->readOnly.start = reinterpret_cast<uintptr_t>(readOnlyStart);
    allocator->readOnly.next.store(allocator->readOnly.start + header);
    return allocator;
}

void* VXMAllocatorSafeAllocateFromRegion(VXMAllocatorRegion* region, size_t size) {
    const size_t want = aligned(size ? size : 1);
    uintptr_t next = region->next.load();
    for (;;) {
        if (want + (next - region->start) > region->size)
            return fallbackAllocate(
                size, "[Allocator] Unable to allocate sufficient memory, falling back to malloc\n");
        if (region->next.compare_exchange_weak(next, next + want))
            return reinterpret_cast<void*>(next);
    }
}

void* VXMAllocatorSafeAllocate(VXMAllocator* allocator, size_t size, int kind) {
    if (kind != VXMAllocationReadOnly && kind != VXMAllocationWritable) return nullptr;
    if (!allocator)
        return fallbackAllocate(size, "[Allocator] Allocator invalid, falling back to malloc\n");
    if (allocator->isProtected.load())
        return fallbackAllocate(
            size, "[Allocator] Allocator already protected, falling back to malloc\n");
    return VXMAllocatorSafeAllocateFromRegion(
        kind == VXMAllocationWritable ? &allocator->writable : &allocator->readOnly, size);
}

bool VXMAllocatorProtect(VXMAllocator* allocator) {
    if (!allocator) return false;
    if (allocator->isProtected.load()) return true;
    // The flag lives in the region about to become read-only: set it first so
    // no allocation races into a region that can no longer be written.
    allocator->isProtected.store(true);
    if (mprotect(reinterpret_cast<void*>(allocator->readOnly.start), allocator->readOnly.size,
                 PROT_READ) != 0) {
        allocator->isProtected.store(false);
        return false;
    }
    return true;
}

bool VXMAllocatorOwns(const VXMAllocator* allocator, const void* memory) {
    if (!allocator || !memory) return false;
    auto p = reinterpret_cast<uintptr_t>(memory);
    auto in = [p](const VXMAllocatorRegion& r) { return p >= r.start && p < r.start + r.size; };
    return in(allocator->writable) || in(allocator->readOnly);
}

void VXMAllocatorFree(VXMAllocator* allocator, void* memory) {
    if (!memory) return;
    if (allocator && VXMAllocatorOwns(allocator, memory)) return;
    free(memory);
}

void VXMAllocatorDestroy(VXMAllocator* allocator) {
    if (!allocator) return;
    void* base = allocator->base;
    size_t size = allocator->mappingSize;
    munmap(base, size);
}
