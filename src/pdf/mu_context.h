// MuPDF contexts for the PDF service.
//
// MuPDF allows several threads when every thread works on its own clone of one
// base context and the base context was created with real locks. The base
// lives for the whole process; each call of the service clones it, and the
// clone (with everything it opened) stays on the calling thread.
#ifndef KESTRAN_PDF_MU_CONTEXT_H
#define KESTRAN_PDF_MU_CONTEXT_H

#include <memory>
#include <utility>

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

namespace kestran::pdf {

struct MuContextDeleter {
    void operator()(fz_context* ctx) const { fz_drop_context(ctx); }
};
using MuContextPtr = std::unique_ptr<fz_context, MuContextDeleter>;

// A fresh clone of the process-wide base context, with MuPDF's own warning and
// error printing switched off (the service reports in its own words).
// Null only when memory is exhausted.
MuContextPtr NewThreadContext();

// A clone of `ctx` for another thread, silenced the same way; it shares the
// store (private or not) and the allocator of `ctx`. Call it on the thread
// that owns `ctx`. Null only when memory is exhausted.
MuContextPtr CloneThreadContext(fz_context* ctx);

// Gives a cloned context a resource store of its own instead of the shared
// one. An extraction empties its store after every page to keep its memory
// bounded, which must not throw away what the preview has cached.
void UsePrivateStore(fz_context* ctx, size_t max_bytes);

// Owning handles for the MuPDF objects the service keeps on the stack. Each
// needs the context it was made with, so the deleter carries it.
template <typename T, void (*Drop)(fz_context*, T*)>
class MuHandle {
public:
    MuHandle() = default;
    MuHandle(fz_context* ctx, T* ptr) : ctx_(ctx), ptr_(ptr) {}
    MuHandle(const MuHandle&) = delete;
    MuHandle& operator=(const MuHandle&) = delete;
    MuHandle(MuHandle&& other) noexcept : ctx_(other.ctx_), ptr_(other.ptr_) { other.ptr_ = nullptr; }
    MuHandle& operator=(MuHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            ctx_ = other.ctx_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
        }
        return *this;
    }
    ~MuHandle() { reset(); }

    void reset(fz_context* ctx = nullptr, T* ptr = nullptr)
    {
        if (ptr_ != nullptr)
            Drop(ctx_, ptr_);
        if (ctx != nullptr)
            ctx_ = ctx;
        ptr_ = ptr;
    }
    T* get() const { return ptr_; }
    T* release()
    {
        T* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    fz_context* ctx_ = nullptr;
    T* ptr_ = nullptr;
};

inline void DropPdfDocument(fz_context* ctx, pdf_document* doc) { pdf_drop_document(ctx, doc); }
inline void DropPage(fz_context* ctx, fz_page* page) { fz_drop_page(ctx, page); }
inline void DropPixmap(fz_context* ctx, fz_pixmap* pix) { fz_drop_pixmap(ctx, pix); }
inline void DropImage(fz_context* ctx, fz_image* img) { fz_drop_image(ctx, img); }
inline void DropBuffer(fz_context* ctx, fz_buffer* buf) { fz_drop_buffer(ctx, buf); }
inline void DropStream(fz_context* ctx, fz_stream* stm) { fz_drop_stream(ctx, stm); }
inline void DropDevice(fz_context* ctx, fz_device* dev) { fz_drop_device(ctx, dev); }
inline void DropObj(fz_context* ctx, pdf_obj* obj) { pdf_drop_obj(ctx, obj); }
inline void DropColorspace(fz_context* ctx, fz_colorspace* cs) { fz_drop_colorspace(ctx, cs); }

// A handle several owners share: a producer that runs after its maker has
// returned, and must stay copyable, keeps the object alive through it.
template <typename Handle>
std::shared_ptr<Handle> ShareHandle(Handle handle)
{
    return std::make_shared<Handle>(std::move(handle));
}

using PdfDocumentHandle = MuHandle<pdf_document, DropPdfDocument>;
using PageHandle = MuHandle<fz_page, DropPage>;
using PixmapHandle = MuHandle<fz_pixmap, DropPixmap>;
using ImageHandle = MuHandle<fz_image, DropImage>;
using BufferHandle = MuHandle<fz_buffer, DropBuffer>;
using StreamHandle = MuHandle<fz_stream, DropStream>;
using DeviceHandle = MuHandle<fz_device, DropDevice>;
using ObjHandle = MuHandle<pdf_obj, DropObj>;
using ColorspaceHandle = MuHandle<fz_colorspace, DropColorspace>;

}  // namespace kestran::pdf

#endif
