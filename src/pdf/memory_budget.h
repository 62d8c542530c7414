// The memory MuPDF may use, and the stop that reaches inside its decoders.
//
// Every MuPDF context of the engine allocates through the counting allocator
// below (the base context gets it, clones share it). It refuses an allocation,
// which makes MuPDF throw and unwind, when
//  - the process's budget would be exceeded (all MuPDF memory of the process);
//  - the calling thread is decoding one image and that image's own budget
//    would be exceeded: a damaged JBIG2 symbol dictionary can ask for a
//    gigabyte for a small page and then decode for a minute without
//    allocating again, which only a refusal of that one allocation stops;
//  - a stop was requested and the calling thread works for an extraction:
//    decoders that keep allocating end at their next allocation. Other
//    threads (the preview on the window thread, page counting) are never
//    stopped: they must go on working while a stopped job winds down.
// Refusals are counted per thread, so that the code that sees an operation
// fail can tell whether memory was the cause and which limit it met.
#ifndef KESTRAN_PDF_MEMORY_BUDGET_H
#define KESTRAN_PDF_MEMORY_BUDGET_H

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <mupdf/fitz.h>
}

namespace kestran::pdf {

// The allocator to give fz_new_context. Blocks are aligned for max_align_t.
const fz_alloc_context* CountingAllocator();

// Default process budget: a quarter of the physical memory, at most 2 GiB.
size_t DefaultProcessMemoryBudget();
// The process budget in bytes, for all MuPDF memory of the process. Lowering
// it below what is in use refuses further allocations until enough is freed.
void SetProcessMemoryBudget(size_t bytes);
size_t ProcessMemoryBudget();
// MuPDF memory in use now, bookkeeping included.
size_t MuMemoryInUse();

// Reads a size as a user types it: plain bytes, or a number with K, M, G or T
// (binary units, e.g. "512M", "2G", "1.5G"; a trailing "B" or "iB" is
// accepted). False for anything else, zero, or a value past 2^63.
bool ParseMemorySize(const std::string& text, uint64_t& bytes);

// "512 MiB", "1.5 GiB", "700 KiB": a budget in messages.
std::string MemorySizeText(uint64_t bytes);

// Marks the calling thread as working for an extraction while it lives: a
// stop request then refuses the thread's MuPDF allocations and reads through
// the engine's file streams. Nests.
class ExtractionThreadScope {
public:
    ExtractionThreadScope();
    ~ExtractionThreadScope();
    ExtractionThreadScope(const ExtractionThreadScope&) = delete;
    ExtractionThreadScope& operator=(const ExtractionThreadScope&) = delete;
};

// For a process that runs nothing but extractions (the command-line tool): a
// stop request reaches every thread, whatever it does.
void StopReachesEveryThread();

// True when a stop was requested and it applies to the calling thread (see
// ExtractionThreadScope). The one test of the allocator and the file streams.
bool StopRequestedHere();

// The budget of one image while it is decoded and encoded: kImageBudgetFactor
// times what the image declares (width x height x components at 8 bits, plus
// the same for its mask), plus kImageBudgetReserve for the decoders' fixed
// needs.
//
// The factor, from what MuPDF itself allocated for 1500 x 1000 images (the
// encoder's own rows are not MuPDF's and do not count): most formats decode
// into one pixmap of the declared size or are read row by row (0 to 1x);
// JBIG2 adds its 1-bit page and region (1.3x); a conversion to RGB holds
// source and result (CMYK 1.75x, Lab 2x, Separation 4x, DeviceN with its
// function 4.3x). Six leaves room above the greediest. JPEG 2000 decodes
// through the system's OpenJPEG, whose memory MuPDF does not allocate (1.6x
// counted): what OpenJPEG needs is estimated from the header and checked
// against the same budget before it starts (jpx_decode.h). Damaged data asks for far more: the JBIG2 symbol dictionaries
// seen in real files asked for 150 to 250 times their page in one block.
constexpr uint64_t kImageBudgetFactor = 6;
constexpr uint64_t kImageBudgetReserve = uint64_t(16) << 20;

// The image budget of `img` (0 for null).
uint64_t ImageMemoryBudget(const fz_image* img);
// The image budget of an image that declares `samples` (width x height x
// components, its mask's included).
uint64_t DeclaredImageBudget(uint64_t samples);

// Memory a library allocates without MuPDF (openjpeg decodes with malloc),
// taken from the process budget for the lifetime of the object so that
// MuPDF and the other threads see it as used. `Held()` is false when the
// process budget had not that much left: nothing is taken then.
class UncountedMemory {
public:
    explicit UncountedMemory(uint64_t bytes);
    ~UncountedMemory();
    UncountedMemory(const UncountedMemory&) = delete;
    UncountedMemory& operator=(const UncountedMemory&) = delete;
    bool Held() const { return held_ != 0; }

private:
    size_t held_ = 0;
};

// Sets the calling thread's image budget while it lives: MuPDF allocations
// made on this thread within its lifetime and still held may not exceed
// `budget`. Also makes a stop reach the thread (only extractions decode
// images this way). Nests: an inner scope replaces the outer one until it ends.
class ImageMemoryScope {
public:
    explicit ImageMemoryScope(uint64_t budget);
    ~ImageMemoryScope();
    ImageMemoryScope(const ImageMemoryScope&) = delete;
    ImageMemoryScope& operator=(const ImageMemoryScope&) = delete;

    // Most memory held by the scope's allocations at any time so far.
    uint64_t Peak() const;

private:
    struct Saved {
        uint64_t id, used, peak, budget;
    } outer_;
};

// The calling thread's image budget, 0 when no ImageMemoryScope is active.
uint64_t CurrentImageBudget();

// Why MuPDF allocations were refused on this thread.
enum class MemoryRefusal {
    None,
    Stop,          // a stop request
    ImageBudget,   // the image's own budget
    OutOfMemory,   // the process budget, or the system had no memory left
};

// Watches the calling thread's refusals from its creation on. MuPDF retries a
// refused allocation after emptying its caches; a retry that succeeds takes
// the refusal back, so what remains made an allocation fail. MuPDF turns some
// of those into a warning only (a read error inside a decoder ends the image's
// data early and the rest is filled in): whatever it produced after a refusal
// is not to be trusted. The most serious refusal wins: a stop, then the
// process running out, then the image's budget.
class RefusalWatch {
public:
    RefusalWatch();
    MemoryRefusal Refused() const;

private:
    uint64_t stop_;
    uint64_t image_;
    uint64_t memory_;
};

}  // namespace kestran::pdf

#endif
