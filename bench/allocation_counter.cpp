#include "allocation_counter.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

#define COUNTER_EXPORT __attribute__((visibility("default")))
#define COUNTER_TLS __attribute__((tls_model("initial-exec")))

namespace counter {
namespace {

constexpr int kFrames = 14;
constexpr int kSkippedFrames = 2;  // Note (with RecordSite) and the replaced function
constexpr int kSites = 32;

struct Site {
    void* frames[kFrames];
    int depth;
    uint64_t count;
};

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_driver{0};
std::atomic<uint64_t> g_outside{0};
std::atomic<uint64_t> g_program{0};
std::atomic_flag g_siteLock = ATOMIC_FLAG_INIT;
Site g_sites[kSites];
int g_siteCount = 0;
uint64_t g_unrecorded = 0;

thread_local bool t_programThread COUNTER_TLS = false;
thread_local int t_driverCalls COUNTER_TLS = 0;
thread_local int t_outsideCalls COUNTER_TLS = 0;
thread_local bool t_inHook COUNTER_TLS = false;

bool SameSite(const Site& site, void* const* frames, int depth) {
    if (site.depth != depth) return false;
    for (int i = 0; i < depth; ++i)
        if (site.frames[i] != frames[i]) return false;
    return true;
}

void RecordSite() {
    void* frames[kFrames + kSkippedFrames];
    int depth = backtrace(frames, kFrames + kSkippedFrames) - kSkippedFrames;
    if (depth < 0) depth = 0;
    void* const* own = frames + kSkippedFrames;
    while (g_siteLock.test_and_set(std::memory_order_acquire)) {
    }
    Site* found = nullptr;
    for (int i = 0; i < g_siteCount && found == nullptr; ++i)
        if (SameSite(g_sites[i], own, depth)) found = &g_sites[i];
    if (found == nullptr && g_siteCount < kSites) {
        found = &g_sites[g_siteCount++];
        found->depth = depth;
        for (int i = 0; i < depth; ++i)
            found->frames[i] = own[i];
        found->count = 0;
    }
    if (found != nullptr)
        ++found->count;
    else
        ++g_unrecorded;
    g_siteLock.clear(std::memory_order_release);
}

void Note() {
    if (!g_counting.load(std::memory_order_relaxed) || t_inHook) return;
    t_inHook = true;
    if (t_outsideCalls > 0) {
        g_outside.fetch_add(1);
    } else if (!t_programThread || t_driverCalls > 0) {
        g_driver.fetch_add(1);
        RecordSite();
    } else {
        g_program.fetch_add(1);
    }
    t_inHook = false;
}

void* NewOrThrow(std::size_t size) {
    Note();
    if (void* pointer = __libc_malloc(size != 0 ? size : 1)) return pointer;
    throw std::bad_alloc();
}

void* AlignedNewOrThrow(std::size_t size, std::align_val_t alignment) {
    Note();
    if (void* pointer = __libc_memalign(static_cast<std::size_t>(alignment), size != 0 ? size : 1))
        return pointer;
    throw std::bad_alloc();
}

// The frames in the program itself, as addr2line shows them; frames elsewhere by library.
void PrintFrame(void* frame) {
    Dl_info info{};
    if (dladdr(frame, &info) == 0 || info.dli_fname == nullptr) {
        std::fprintf(stderr, "      %p\n", frame);
        return;
    }
    const auto offset =
        reinterpret_cast<uintptr_t>(frame) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    char command[512];
    // A return address points after its call; one byte back is still inside it.
    std::snprintf(command, sizeof command, "addr2line -C -f -i -p -e '%s' 0x%lx 2>/dev/null",
                  info.dli_fname, static_cast<unsigned long>(offset - 1));
    if (FILE* pipe = popen(command, "r")) {
        char line[512];
        bool any = false;
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::fprintf(stderr, "      %s", line);
            any = true;
        }
        pclose(pipe);
        if (any) return;
    }
    std::fprintf(stderr, "      %s+0x%lx\n", info.dli_fname, static_cast<unsigned long>(offset));
}

}  // namespace

void MarkProgramThread() {
    t_programThread = true;
}

void Prime() {
    void* frames[4];
    backtrace(frames, 4);
}

void Start() {
    g_driver = 0;
    g_outside = 0;
    g_program = 0;
    g_siteCount = 0;
    g_unrecorded = 0;
    g_counting = true;
}

void Stop() {
    g_counting = false;
}

Counts Current() {
    return Counts{g_driver.load(), g_outside.load(), g_program.load()};
}

void ReportDriverSites() {
    for (int i = 0; i < g_siteCount; ++i) {
        std::fprintf(stderr, "  %llu allocation(s) at:\n",
                     static_cast<unsigned long long>(g_sites[i].count));
        for (int f = 0; f < g_sites[i].depth; ++f)
            PrintFrame(g_sites[i].frames[f]);
    }
    if (g_unrecorded != 0)
        std::fprintf(stderr, "  %llu more at sites not recorded\n",
                     static_cast<unsigned long long>(g_unrecorded));
}

DriverCall::DriverCall() {
    ++t_driverCalls;
}
DriverCall::~DriverCall() {
    --t_driverCalls;
}
OutsideCall::OutsideCall() {
    ++t_outsideCalls;
}
OutsideCall::~OutsideCall() {
    --t_outsideCalls;
}

}  // namespace counter

// ---------------------------------------------------------------------------------------------
// The replaced allocation functions.

extern "C" {

COUNTER_EXPORT void* malloc(std::size_t size) noexcept {
    counter::Note();
    return __libc_malloc(size);
}

COUNTER_EXPORT void* calloc(std::size_t count, std::size_t size) noexcept {
    counter::Note();
    return __libc_calloc(count, size);
}

COUNTER_EXPORT void* realloc(void* pointer, std::size_t size) noexcept {
    counter::Note();
    return __libc_realloc(pointer, size);
}

COUNTER_EXPORT void free(void* pointer) noexcept {
    __libc_free(pointer);
}

COUNTER_EXPORT void* memalign(std::size_t alignment, std::size_t size) noexcept {
    counter::Note();
    return __libc_memalign(alignment, size);
}

COUNTER_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    counter::Note();
    return __libc_memalign(alignment, size);
}

COUNTER_EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    counter::Note();
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *out = pointer;
    return 0;
}

}  // extern "C"

COUNTER_EXPORT void* operator new(std::size_t size) {
    return counter::NewOrThrow(size);
}
COUNTER_EXPORT void* operator new[](std::size_t size) {
    return counter::NewOrThrow(size);
}
COUNTER_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    counter::Note();
    return __libc_malloc(size != 0 ? size : 1);
}
COUNTER_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    counter::Note();
    return __libc_malloc(size != 0 ? size : 1);
}
COUNTER_EXPORT void* operator new(std::size_t size, std::align_val_t alignment) {
    return counter::AlignedNewOrThrow(size, alignment);
}
COUNTER_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment) {
    return counter::AlignedNewOrThrow(size, alignment);
}
COUNTER_EXPORT void operator delete(void* pointer) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete[](void* pointer) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete(void* pointer, std::size_t) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete[](void* pointer, std::size_t) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete(void* pointer, std::align_val_t) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete[](void* pointer, std::align_val_t) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}
COUNTER_EXPORT void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}
