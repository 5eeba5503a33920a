#pragma once
// Guarded allocator: one anonymous mapping laid out as guard page, writable
// region, guard page, read-only region, guard page. The read-only region holds
// what start-up gathers for the crash handler and is write-protected once
// start-up is done, so stray writes of a damaged process cannot change it.

#include <atomic>
#include <cstddef>
#include <cstdint>

struct VXMAllocatorRegion {
    size_t size = 0;
    uintptr_t start = 0;
    std::atomic<uintptr_t> next{0};
};

struct VXMAllocator {
    void* base = nullptr;
    size_t mappingSize = 0;
    std::atomic<bool> isProtected{false};
    VXMAllocatorRegion writable;
    VXMAllocatorRegion readOnly;
};

enum VXMAllocationKind : int { VXMAllocationReadOnly = 0, VXMAllocationWritable = 1 };

// Every allocation is a multiple of this and starts on it.
inline constexpr size_t VXMAllocatorAlignment = 16;

VXMAllocator* VXMAllocatorCreate(size_t writableSize, size_t readOnlySize);
// Kind 1: writable region; kind 0: read-only region; anything else: null.
// Falls back to malloc (zeroed) when the allocator is null or protected.
void* VXMAllocatorSafeAllocate(VXMAllocator* allocator, size_t size, int kind);
void* VXMAllocatorSafeAllocateFromRegion(VXMAllocatorRegion* region, size_t size);
bool VXMAllocatorProtect(VXMAllocator* allocator);
// Region memory is never returned; only malloc'ed memory is freed.
void VXMAllocatorFree(VXMAllocator* allocator, void* memory);
// True when `memory` lies inside one of the allocator's regions.
bool VXMAllocatorOwns(const VXMAllocator* allocator, const void* memory);
// Unmaps the whole thing; only for tests that make allocators of their own.
void VXMAllocatorDestroy(VXMAllocator* allocator);
