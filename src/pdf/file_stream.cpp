#include "pdf/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "pdf/memory_budget.h"

namespace kestran::pdf {
namespace {

// The largest refill. MuPDF's lexer asks for one byte at a time and jumps
// from object to object; a refill after a jump reads at least kMinRead, more
// when the caller says it wants more (a stream's data), so that object
// lookups do not drag 64 KiB each through the buffer.
constexpr size_t kBufferSize = size_t(64) << 10;
constexpr size_t kMinRead = size_t(4) << 10;
constexpr size_t kMaxTail = 15;

// Plain data, allocated through MuPDF so that the budget counts it.
struct FileView {
    int fd;
    int64_t length;      // bytes of the file shown
    int64_t file_pos;    // where the descriptor's offset is
    int64_t buffer_pos;  // offset of buffer[0] in the view
    size_t tail_size;
    unsigned char tail[kMaxTail];
    unsigned char buffer[kBufferSize];
};

int64_t ViewSize(const FileView* v) { return v->length + static_cast<int64_t>(v->tail_size); }

// Reads up to `want` bytes of the view at `pos` into the buffer; the count.
size_t Fill(fz_context* ctx, FileView* v, int64_t pos, size_t want)
{
    if (pos >= ViewSize(v))
        return 0;
    if (pos >= v->length) {
        const size_t n = std::min(want, static_cast<size_t>(ViewSize(v) - pos));
        std::memcpy(v->buffer, v->tail + (pos - v->length), n);
        return n;
    }
    want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), v->length - pos));
    if (v->file_pos != pos) {
        if (lseek(v->fd, pos, SEEK_SET) < 0)
            fz_throw(ctx, FZ_ERROR_GENERIC, "cannot seek: %s", std::strerror(errno));
        v->file_pos = pos;
    }
    for (;;) {
        const ssize_t n = read(v->fd, v->buffer, want);
        if (n >= 0) {
            v->file_pos += n;
            return static_cast<size_t>(n);
        }
        if (errno != EINTR)
            fz_throw(ctx, FZ_ERROR_GENERIC, "cannot read: %s", std::strerror(errno));
    }
}

int NextFromView(fz_context* ctx, fz_stream* stm, size_t max)
{
    auto* v = static_cast<FileView*>(stm->state);
    if (StopRequestedHere())
        fz_throw(ctx, FZ_ERROR_GENERIC, "stopped");
    const size_t want = std::clamp(max, kMinRead, kBufferSize);
    const size_t n = Fill(ctx, v, stm->pos, want);
    v->buffer_pos = stm->pos;
    stm->rp = v->buffer;
    stm->wp = v->buffer + n;
    stm->pos += static_cast<int64_t>(n);
    if (n == 0)
        return EOF;
    return *stm->rp++;
}

// MuPDF has already turned SEEK_CUR into SEEK_SET.
void SeekInView(fz_context* ctx, fz_stream* stm, int64_t offset, int whence)
{
    auto* v = static_cast<FileView*>(stm->state);
    const int64_t target = whence == SEEK_END ? ViewSize(v) + offset : offset;
    if (target < 0)
        fz_throw(ctx, FZ_ERROR_GENERIC, "cannot seek: offset before the start");
    // stm->pos is the view offset of stm->wp: a target inside the buffer
    // needs no read.
    if (stm->wp != nullptr && target >= v->buffer_pos && target <= stm->pos) {
        stm->rp = v->buffer + (target - v->buffer_pos);
        return;
    }
    if (StopRequestedHere())
        fz_throw(ctx, FZ_ERROR_GENERIC, "stopped");
    stm->rp = v->buffer;
    stm->wp = v->buffer;
    stm->pos = target;
    v->buffer_pos = target;
}

void DropView(fz_context* ctx, void* state)
{
    auto* v = static_cast<FileView*>(state);
    close(v->fd);
    fz_free(ctx, v);
}

// Closes a descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

fz_stream* OpenFileView(fz_context* ctx, const std::string& path, int64_t length, const char* tail)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fz_throw(ctx, FZ_ERROR_GENERIC, "cannot open %s: %s", path.c_str(), std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        fz_throw(ctx, FZ_ERROR_GENERIC, "cannot open %s: %s", path.c_str(), std::strerror(error));
    }
    FileView* v = nullptr;
    fz_try(ctx) { v = fz_malloc_struct(ctx, FileView); }
    fz_catch(ctx)
    {
        close(fd);
        fz_rethrow(ctx);
    }
    v->fd = fd;
    v->length = length < 0 ? st.st_size : std::min<int64_t>(length, st.st_size);
    if (tail != nullptr) {
        v->tail_size = std::min(std::strlen(tail), kMaxTail);
        std::memcpy(v->tail, tail, v->tail_size);
    }
    // On failure fz_new_stream drops the state itself.
    fz_stream* stm = fz_new_stream(ctx, v, NextFromView, DropView);
    stm->seek = SeekInView;
    return stm;
}

int64_t LastCompleteObjectEnd(int fd, int64_t size)
{
    static const char kKeyword[] = "endobj";
    constexpr int64_t k = sizeof kKeyword - 1;
    constexpr int64_t kBlock = int64_t(1) << 20;
    std::vector<char> block(static_cast<size_t>(kBlock));
    // Blocks overlap by k - 1 bytes, so that a keyword across two is found.
    int64_t end = size;
    while (end >= k) {
        if (StopRequestedHere())
            return 0;
        const int64_t start = std::max<int64_t>(0, end - kBlock);
        const size_t want = static_cast<size_t>(end - start);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = pread(fd, block.data() + got, want - got, start + static_cast<int64_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 0;
            got += static_cast<size_t>(n);
        }
        // Where a keyword may start: [start, end - k].
        size_t candidates = want - static_cast<size_t>(k) + 1;
        while (candidates > 0) {
            const void* hit = memrchr(block.data(), 'e', candidates);
            if (hit == nullptr)
                break;
            const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - block.data());
            if (std::memcmp(block.data() + at, kKeyword, k) == 0)
                return start + static_cast<int64_t>(at) + k;
            candidates = at;
        }
        if (start == 0)
            break;
        end = start + k - 1;
    }
    return 0;
}

}  // namespace kestran::pdf
