// Nothing is allocated per block: a child process reads a thousand blocks
// from the simulated device, and from a disk file played through it, while
// every allocation is counted. The global operator new is replaced here;
// without AddressSanitizer (which owns malloc) malloc and its kin are
// counted too.
#include "test_sampler_child.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define ZEN_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEN_COUNT_MALLOC 0
#endif
#endif
#ifndef ZEN_COUNT_MALLOC
#define ZEN_COUNT_MALLOC 1
#endif

#if ZEN_COUNT_MALLOC
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}
#endif

namespace {

bool counting = false;
long allocations = 0;

void arm()
{
    allocations = 0;
    counting = true;
}

long disarm()
{
    counting = false;
    return allocations;
}

// The allocator underneath, uncounted.
void* raw_malloc(std::size_t n)
{
#if ZEN_COUNT_MALLOC
    return __libc_malloc(n);
#else
    return std::malloc(n);
#endif
}

void raw_free(void* p)
{
#if ZEN_COUNT_MALLOC
    __libc_free(p);
#else
    std::free(p);
#endif
}

void* counted_new(std::size_t n)
{
    if (counting)
        ++allocations;
    return raw_malloc(n ? n : 1);
}

}  // namespace

void* operator new(std::size_t n)
{
    void* p = counted_new(n);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n)
{
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return counted_new(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return counted_new(n);
}
void operator delete(void* p) noexcept
{
    raw_free(p);
}
void operator delete[](void* p) noexcept
{
    raw_free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    raw_free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    raw_free(p);
}

#if ZEN_COUNT_MALLOC
// The C allocator, counted on its way to glibc's own.
extern "C" {
void* malloc(size_t n)
{
    if (counting)
        ++allocations;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size)
{
    if (counting)
        ++allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_realloc(p, n);
}
void free(void* p)
{
    __libc_free(p);
}
}
#endif

namespace samplertest {
namespace {

// "alloc N count=C allocs=A" as printed by the child.
struct AllocLine {
    int blocks = -1, count = -2;
    long allocs = -1;
};

AllocLine alloc_line(const std::vector<std::string>& out, const char* what)
{
    AllocLine a;
    for (const std::string& l : out) {
        if (l.compare(0, std::string(what).size() + 1, std::string(what) + " ") != 0)
            continue;
        std::sscanf(l.c_str() + std::string(what).size(), " %d count=%d allocs=%ld", &a.blocks,
                    &a.count, &a.allocs);
    }
    return a;
}

// The counter itself must see an allocation, or a zero below means nothing.
TEST(SamplerAllocation, TheCounterSeesAllocations)
{
    const ChildResult r = run_child("probe");
    ASSERT_EQ(r.status, 0) << r.err;
    long allocs = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "probe allocs=%ld", &allocs), 1) << r.out;
    EXPECT_EQ(allocs, ZEN_COUNT_MALLOC ? 3 : 2);  // vector, its array, (malloc)
}

TEST(SamplerAllocation, NoneWhileRecordingAThousandBlocks)
{
    const ChildResult r = run_child("start;alloc 1000;stop",
                                    {{"SIMDSP_LEFT", "noise:1:0.5"}, {"SIMDSP_LOG", ""}});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err.find("error:"), std::string::npos) << r.err;
    const AllocLine a = alloc_line(r.out_lines(), "alloc");
    EXPECT_EQ(a.blocks, 1000) << r.out;
    EXPECT_EQ(a.count, 999) << r.out;
    EXPECT_EQ(a.allocs, 0) << r.out;
}

TEST(SamplerAllocation, NoneWhilePlayingAThousandBlocksOfAFile)
{
    TempDir dir;
    const size_t length = 256, blocks = 1001;
    std::vector<int16_t> samples(2 * length * blocks);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 7919u));
    for (const char* kind : {"wav", "cdr"}) {
        SCOPED_TRACE(kind);
        const std::string file = dir / (std::string("in.") + kind);
        write_file(file, std::string(kind) == "wav" ? wav_bytes(samples) : bytes16(samples, false));
        const ChildResult r = run_child("set length 256;set source 1;set filename " + file +
                                            ";start;alloc 1000;stop",
                                        {{"SIMDSP_LOG", ""}});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.err.find("error:"), std::string::npos) << r.err;
        const AllocLine a = alloc_line(r.out_lines(), "alloc");
        EXPECT_EQ(a.blocks, 1000) << r.out;
        EXPECT_EQ(a.count, 999) << r.out;
        EXPECT_EQ(a.allocs, 0) << r.out;
        EXPECT_EQ(r.played.size(), 1000 * length * 4);
    }
}

// The native streams too, once running: ALSA (its null plugin) and the
// demonstration stream.
TEST(SamplerAllocation, NoneWhileRecordingFromAlsaOrTheDemoStream)
{
    TempDir dir;
    write_file(dir / "asound.conf", "pcm.quiet { type null }\n");
    for (const char* device : {"alsa:quiet", "demo"}) {
        SCOPED_TRACE(device);
        const ChildResult r = run_child(std::string("set length 128;set device ") + device + ";start;read 2;alloc 100;stop",
                                        {{"ALSA_CONFIG_PATH", dir / "asound.conf"}});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.err.find("error:"), std::string::npos) << r.err;
        const AllocLine a = alloc_line(r.out_lines(), "alloc");
        EXPECT_EQ(a.blocks, 100) << r.out;
        EXPECT_EQ(a.allocs, 0) << r.out;
    }
}

}  // namespace

const int child_hook_ran = child_hook(AllocCounter{arm, disarm});

}  // namespace samplertest
