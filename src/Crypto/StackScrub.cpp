#include "Crypto/StackScrub.h"

#include <alloca.h>
#include <string.h>

namespace poi {

namespace {

#if defined(__x86_64__)
// The vector registers keep the last blocks and round keys a kernel or a
// memcpy of key bytes left in them; the next lazy symbol binding or signal
// frame would store them on the stack. All of them are caller-saved.
__attribute__((target("avx512f"), noinline)) void clearAvx512() {
    asm volatile(
        "vzeroall\n\t"
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18",
              "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27",
              "xmm28", "xmm29", "xmm30", "xmm31");
}

__attribute__((target("avx"), noinline)) void clearAvx() {
    asm volatile("vzeroall" ::
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                       "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

__attribute__((noinline)) void clearSse() {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
        "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
        "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
        "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
        "pxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

void clearVectorRegisters() {
    static const int kind = __builtin_cpu_supports("avx512f") ? 2
                            : __builtin_cpu_supports("avx")   ? 1
                                                              : 0;
    if (kind == 2)
        clearAvx512();
    else if (kind == 1)
        clearAvx();
    else
        clearSse();
}
#else
void clearVectorRegisters() {}
#endif

}  // namespace

__attribute__((noinline)) void scrubStack(size_t bytes) {
    // Registers first: binding explicit_bzero on its first call saves them
    // below this frame, out of the area wiped here.
    clearVectorRegisters();
    void* area = alloca(bytes);
    explicit_bzero(area, bytes);
    // Keeps the area from being treated as dead.
    asm volatile("" : : "r"(area) : "memory");
    clearVectorRegisters();
}

}  // namespace poi
