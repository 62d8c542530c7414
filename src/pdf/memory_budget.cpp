#include "pdf/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "pdf/cancel_flag.h"

namespace kestran::pdf {
namespace {

// Each block starts with its size and the image scope it was allocated in, so
// that free and realloc know what to take off. The header keeps the block
// aligned as malloc's own blocks are.
struct alignas(alignof(std::max_align_t)) BlockHeader {
    size_t size;     // of the whole block, header included
    uint64_t scope;  // ImageMemoryScope id, 0 outside any
};
constexpr size_t kHeader = sizeof(BlockHeader);
static_assert(kHeader % alignof(std::max_align_t) == 0, "blocks must stay aligned");

std::atomic<size_t> g_in_use{0};
std::atomic<size_t> g_budget{0};  // 0 until first read: then the default
std::atomic<bool> g_stop_everywhere{false};
std::atomic<uint64_t> g_next_scope{1};

// Per thread, plain data: no constructor runs on a thread's first allocation.
struct ThreadState {
    int extraction_depth;
    uint64_t scope;         // active ImageMemoryScope id, 0 for none
    uint64_t scope_used;    // bytes of blocks allocated in it and still held
    uint64_t scope_peak;
    uint64_t scope_budget;
    uint64_t refused_stop;  // refusals, counted from the thread's start
    uint64_t refused_image;
    uint64_t refused_memory;
    size_t last_refused;    // size of the last refusal while MuPDF may still retry it
};
thread_local ThreadState t_state{};

size_t Budget()
{
    size_t budget = g_budget.load(std::memory_order_relaxed);
    if (budget == 0) {
        // Several threads may get here first: they all compute the same value.
        budget = DefaultProcessMemoryBudget();
        g_budget.store(budget, std::memory_order_relaxed);
    }
    return budget;
}

BlockHeader* HeaderOf(void* p) { return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - kHeader); }
void* PayloadOf(BlockHeader* h) { return reinterpret_cast<char*>(h) + kHeader; }

// MuPDF answers a refused allocation by emptying its caches and asking again
// for the same size. A request that then succeeds was no failure: its refusal
// is taken back, so that the counts only hold refusals that made MuPDF fail.
void NoteRefusal(ThreadState& t, uint64_t& count, size_t size)
{
    ++count;
    t.last_refused = size;
}

void NoteSuccess(ThreadState& t, size_t size)
{
    if (t.last_refused == 0)
        return;
    if (t.last_refused == size && t.refused_memory > 0)
        --t.refused_memory;  // only the process budget gains from emptied caches
    t.last_refused = 0;
}

// Takes `bytes` more for the calling thread, or refuses (and counts why).
// `tagged`: the bytes belong to the thread's image scope. `request`: the size
// MuPDF asked for.
bool Reserve(ThreadState& t, size_t bytes, bool tagged, size_t request)
{
    if (StopRequestedHere()) {
        NoteRefusal(t, t.refused_stop, 0);
        return false;
    }
    if (tagged && (bytes > t.scope_budget || t.scope_used > t.scope_budget - bytes)) {
        NoteRefusal(t, t.refused_image, 0);
        return false;
    }
    const size_t budget = Budget();
    if (bytes > budget) {
        NoteRefusal(t, t.refused_memory, 0);
        return false;
    }
    const size_t now = g_in_use.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    if (now > budget) {
        g_in_use.fetch_sub(bytes, std::memory_order_relaxed);
        NoteRefusal(t, t.refused_memory, request);
        return false;
    }
    return true;
}

void Unreserve(size_t bytes) { g_in_use.fetch_sub(bytes, std::memory_order_relaxed); }

void NoteScopeGrowth(ThreadState& t, uint64_t bytes)
{
    t.scope_used += bytes;
    t.scope_peak = std::max(t.scope_peak, t.scope_used);
}

void* CountingMalloc(void*, size_t size)
{
    ThreadState& t = t_state;
    if (size > std::numeric_limits<size_t>::max() - kHeader) {
        NoteRefusal(t, t.refused_memory, 0);
        return nullptr;
    }
    const size_t total = size + kHeader;
    if (!Reserve(t, total, t.scope != 0, size))
        return nullptr;
    auto* h = static_cast<BlockHeader*>(std::malloc(total));
    if (h == nullptr) {
        Unreserve(total);
        NoteRefusal(t, t.refused_memory, size);
        return nullptr;
    }
    NoteSuccess(t, size);
    h->size = total;
    h->scope = t.scope;
    if (t.scope != 0)
        NoteScopeGrowth(t, total);
    return PayloadOf(h);
}

void CountingFree(void*, void* p)
{
    if (p == nullptr)
        return;
    BlockHeader* h = HeaderOf(p);
    ThreadState& t = t_state;
    Unreserve(h->size);
    if (h->scope != 0 && h->scope == t.scope)
        t.scope_used -= h->size;
    std::free(h);
}

void* CountingRealloc(void* user, void* p, size_t size)
{
    if (p == nullptr)
        return CountingMalloc(user, size);
    ThreadState& t = t_state;
    if (size > std::numeric_limits<size_t>::max() - kHeader) {
        NoteRefusal(t, t.refused_memory, 0);
        return nullptr;
    }
    BlockHeader* h = HeaderOf(p);
    const size_t old_total = h->size;
    const size_t total = size + kHeader;
    const bool in_scope = h->scope != 0 && h->scope == t.scope;
    if (total > old_total) {
        // Growth counts against the image's budget whenever one is set: a
        // decoder may grow a block it was handed. Only a block of the scope
        // stays counted in it, since only such a block's free takes it off.
        if (!Reserve(t, total - old_total, t.scope != 0, size))
            return nullptr;
    }
    auto* moved = static_cast<BlockHeader*>(std::realloc(h, total));
    if (moved == nullptr) {
        if (total > old_total)
            Unreserve(total - old_total);
        NoteRefusal(t, t.refused_memory, size);
        return nullptr;  // the old block stays valid, as with realloc
    }
    NoteSuccess(t, size);
    if (total < old_total)
        Unreserve(old_total - total);
    moved->size = total;
    if (in_scope) {
        if (total > old_total)
            NoteScopeGrowth(t, total - old_total);
        else
            t.scope_used -= old_total - total;
    }
    return PayloadOf(moved);
}

const fz_alloc_context kAllocator = {nullptr, CountingMalloc, CountingRealloc, CountingFree};

}  // namespace

const fz_alloc_context* CountingAllocator() { return &kAllocator; }

size_t DefaultProcessMemoryBudget()
{
    constexpr uint64_t kMax = uint64_t(2) << 30;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0)
        return static_cast<size_t>(std::min<uint64_t>(kMax, std::numeric_limits<size_t>::max()));
    const uint64_t quarter = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
    return static_cast<size_t>(std::min(quarter, kMax));
}

void SetProcessMemoryBudget(size_t bytes) { g_budget.store(std::max<size_t>(bytes, 1), std::memory_order_relaxed); }

size_t ProcessMemoryBudget() { return Budget(); }

size_t MuMemoryInUse() { return g_in_use.load(std::memory_order_relaxed); }

bool ParseMemorySize(const std::string& text, uint64_t& bytes)
{
    size_t digits = 0;
    bool point = false;
    size_t pos = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0 || digits > 19)
        return false;
    std::string unit = text.substr(pos);
    for (char& c : unit)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    int shift = 0;
    if (!unit.empty() && std::strchr("KMGT", unit[0]) != nullptr) {
        shift = unit[0] == 'K' ? 10 : unit[0] == 'M' ? 20 : unit[0] == 'G' ? 30 : 40;
        unit.erase(0, 1);
        if (unit == "IB")
            unit = "B";
    }
    if (!unit.empty() && unit != "B")
        return false;
    if (point && shift == 0)
        return false;  // no fraction of a byte
    const long double value = std::strtold(text.substr(0, pos).c_str(), nullptr) * std::ldexp(1.0L, shift);
    if (!(value >= 1.0L) || value >= std::ldexp(1.0L, 63))
        return false;
    bytes = static_cast<uint64_t>(value);
    return true;
}

std::string MemorySizeText(uint64_t bytes)
{
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (value == std::floor(value) || value >= 100.0)
        std::snprintf(text, sizeof text, "%.0f %s", value, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

ExtractionThreadScope::ExtractionThreadScope() { ++t_state.extraction_depth; }

ExtractionThreadScope::~ExtractionThreadScope() { --t_state.extraction_depth; }

void StopReachesEveryThread() { g_stop_everywhere.store(true); }

bool StopRequestedHere()
{
    if (!CancelRequested())
        return false;
    const ThreadState& t = t_state;
    return t.extraction_depth > 0 || t.scope != 0 || g_stop_everywhere.load(std::memory_order_relaxed);
}

uint64_t ImageMemoryBudget(const fz_image* img)
{
    if (img == nullptr)
        return 0;
    auto declared = [](const fz_image* i) -> uint64_t {
        if (i == nullptr || i->w <= 0 || i->h <= 0)
            return 0;
        return static_cast<uint64_t>(i->w) * static_cast<uint64_t>(i->h) * static_cast<uint64_t>(std::max(1, int(i->n)));
    };
    // At most 2^40 x 2^40 x 32 components: the product below stays far from overflow.
    return DeclaredImageBudget(declared(img) + declared(img->mask));
}

uint64_t DeclaredImageBudget(uint64_t samples)
{
    const uint64_t most = (std::numeric_limits<uint64_t>::max() - kImageBudgetReserve) / kImageBudgetFactor;
    return std::min(samples, most) * kImageBudgetFactor + kImageBudgetReserve;
}

UncountedMemory::UncountedMemory(uint64_t bytes)
{
    const size_t budget = Budget();
    if (bytes == 0 || bytes > budget)
        return;
    const size_t want = static_cast<size_t>(bytes);
    const size_t now = g_in_use.fetch_add(want, std::memory_order_relaxed) + want;
    if (now > budget) {
        g_in_use.fetch_sub(want, std::memory_order_relaxed);
        return;
    }
    held_ = want;
}

UncountedMemory::~UncountedMemory()
{
    if (held_ != 0)
        Unreserve(held_);
}

ImageMemoryScope::ImageMemoryScope(uint64_t budget)
{
    ThreadState& t = t_state;
    outer_ = {t.scope, t.scope_used, t.scope_peak, t.scope_budget};
    t.scope = g_next_scope.fetch_add(1, std::memory_order_relaxed);
    t.scope_used = 0;
    t.scope_peak = 0;
    t.scope_budget = budget;
}

ImageMemoryScope::~ImageMemoryScope()
{
    ThreadState& t = t_state;
    t.scope = outer_.id;
    t.scope_used = outer_.used;
    t.scope_peak = outer_.peak;
    t.scope_budget = outer_.budget;
}

uint64_t ImageMemoryScope::Peak() const { return t_state.scope_peak; }

uint64_t CurrentImageBudget() { return t_state.scope != 0 ? t_state.scope_budget : 0; }

RefusalWatch::RefusalWatch()
    : stop_(t_state.refused_stop), image_(t_state.refused_image), memory_(t_state.refused_memory)
{
}

MemoryRefusal RefusalWatch::Refused() const
{
    const ThreadState& t = t_state;
    if (t.refused_stop != stop_)
        return MemoryRefusal::Stop;
    if (t.refused_memory != memory_)
        return MemoryRefusal::OutOfMemory;
    if (t.refused_image != image_)
        return MemoryRefusal::ImageBudget;
    return MemoryRefusal::None;
}

}  // namespace kestran::pdf
