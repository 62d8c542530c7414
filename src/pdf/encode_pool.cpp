#include "pdf/encode_pool.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "pdf/cancel_flag.h"
#include "pdf/decoder_lock.h"
#include "pdf/image_record.h"
#include "pdf/large_image.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_try.h"
#include "pdf/page_walk.h"
#include "pdf/pdf_open.h"
#include "pdf/png_writer.h"
#include "pdf/tiff_writer.h"

namespace kestran::pdf {
namespace {

// Notices, while one image is decoded and written, MuPDF's (or the encoder's)
// warning that the image data ended early and the rest was filled in, so the
// log can say that the written image is incomplete. Warnings belong to a
// context, so each thread watches its own.
class ShortDataWatch {
public:
    explicit ShortDataWatch(fz_context* ctx) : ctx_(ctx)
    {
        fz_flush_warnings(ctx_);  // a repeated warning is otherwise not passed on
        fz_set_warning_callback(ctx_, &ShortDataWatch::OnWarning, this);
    }
    ~ShortDataWatch()
    {
        fz_flush_warnings(ctx_);
        fz_set_warning_callback(ctx_, [](void*, const char*) {}, nullptr);
    }
    ShortDataWatch(const ShortDataWatch&) = delete;
    ShortDataWatch& operator=(const ShortDataWatch&) = delete;

    bool Seen() const { return seen_; }

private:
    static void OnWarning(void* user, const char* message)
    {
        if (std::strstr(message, kShortDataWarning) != nullptr)
            static_cast<ShortDataWatch*>(user)->seen_ = true;
    }

    fz_context* ctx_;
    bool seen_ = false;
};

// Writes the encoded bytes into `file`; `size` receives their count. A PNG
// gets the resolution of `placement` as it passes (see PngPhysInserter).
OutputStatus WritePart(fz_context* ctx, const EncodeSettings& settings, const EncodedImage& encoded,
                       const Placement& placement, PendingImageFile& file, uint64_t& size)
{
    size = 0;
    const uint32_t x = placement.known ? PngPixelsPerMetre(placement.ppi_x) : 0;
    const uint32_t y = placement.known ? PngPixelsPerMetre(placement.ppi_y) : 0;
    const bool phys = encoded.extension == "png" && x > 0 && y > 0;
    return file.Write(settings.folder, [&](const ByteSink& sink) {
        const ByteSink counted = [&](const uint8_t* data, size_t n) {
            size += n;
            return sink(data, n);
        };
        PngPhysInserter inserter(x, y, counted);
        const ByteSink out = [&](const uint8_t* data, size_t n) { return phys ? inserter(data, n) : counted(data, n); };
        bool produced = true;
        if (encoded.stream) {
            produced = encoded.stream(out);
        } else {
            for (const ByteSpan& part : encoded.Parts(ctx))
                if (produced && !out(part.data, part.size))
                    produced = false;
        }
        return produced && (!phys || inserter.Finish());
    }, settings.sha256);
}

// True when a copied JPEG or JPEG 2000 (no rows of which a writer saw)
// decodes to one flat colour; the copy rule leaves such an image no mask.
// Not for a stand-in, which is never decoded whole, nor beyond the
// whole-decode limit.
// A TIFF the encoder made in memory gets the placement's resolution.
void SetTiffPlacement(const Placement& placement, EncodedImage& encoded)
{
    if (placement.known && encoded.extension == "tif" && !encoded.stream && encoded.body.get() == nullptr)
        SetTiffResolution(encoded.bytes, placement.ppi_x, placement.ppi_y);
}

bool CopiedImageIsFlat(fz_context* ctx, fz_image* img)
{
    if (img == nullptr || IsStandIn(img) || DecodedSize(img) > kMaxWholeDecodeBytes)
        return false;
    PixmapHandle pixmap;
    if (!MuTry(ctx, [&] { pixmap.reset(ctx, fz_get_pixmap_from_image(ctx, img, nullptr, nullptr, nullptr, nullptr)); }))
        return false;
    fz_pixmap* pix = pixmap.get();
    if (pix == nullptr || pix->w <= 0 || pix->h <= 0)
        return false;
    FlatWatch flat(static_cast<size_t>(pix->n));
    const size_t row = static_cast<size_t>(pix->w) * static_cast<size_t>(pix->n);
    for (int y = 0; y < pix->h && flat.Flat(); ++y)
        flat.Add(pix->samples + static_cast<size_t>(y) * static_cast<size_t>(pix->stride), row);
    return flat.Flat();
}

}  // namespace

FileIdentity FileIdentity::Of(const std::string& path)
{
    FileIdentity id;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return id;
    id.known = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modified_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return id;
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return known && other.known && device == other.device && inode == other.inode && size == other.size &&
           modified_ns == other.modified_ns;
}

namespace {

// Brings a worker's document to the walk's repairs; false when it knows more
// than the walk's (it repaired itself on an earlier image).
bool SameRepairs(fz_context* ctx, pdf_document* doc, bool walk_repaired)
{
    if (pdf_was_repaired(ctx, doc))
        return walk_repaired;
    if (walk_repaired)
        MuTry(ctx, [&] { pdf_repair_xref(ctx, doc); });
    return (pdf_was_repaired(ctx, doc) != 0) == walk_repaired;
}

void ResetResults(ImageTask& task)
{
    task.status = EncodeStatus::Skipped;
    task.why.clear();
    task.extension.clear();
    task.action = ImageAction::Written;
    task.file = PendingImageFile();  // removes what was written
    task.written = OutputStatus::Ok;
    task.size = 0;
    task.short_data = false;
    task.pixels.reset();
    task.flat = false;
}

}  // namespace

bool NeedsDocument(const DrawnImage& drawn)
{
    return drawn.object_num > 0 || drawn.standin.copy != StoredCopy::None || IsStandIn(drawn.image.get());
}

void EncodeImageTask(fz_context* ctx, pdf_document* doc, const EncodeSettings& settings, ImageTask& task)
{
    // Held until the image is written and dropped: a streamed image decodes
    // while its file is written.
    const SharedDecoderLock shared_decoder(ctx, task.drawn.image.get());
    ImageEncoder encoder(ctx, doc, settings.png_level, settings.stream_bytes, settings.output_type);
    ShortDataWatch short_data(ctx);
    ImageMemoryScope image_memory(ImageMemoryBudget(task.drawn.image.get()));
    EncodedImage encoded;
    task.status = encoder.Encode(task.drawn, encoded, task.why);
    task.written = OutputStatus::Ok;
    if (task.status == EncodeStatus::Ok) {
        if (CancelRequested()) {
            task.status = EncodeStatus::Cancelled;
        } else {
            task.extension = encoded.extension;
            task.action = encoded.action;
            SetTiffPlacement(task.drawn.placement, encoded);
            task.written = WritePart(ctx, settings, encoded, task.drawn.placement, task.file, task.size);
            if (task.written == OutputStatus::Abandoned) {
                // A streamed image failed part way (damaged data): the file is
                // gone; try once more the way that holds it whole.
                if (CancelRequested()) {
                    task.status = EncodeStatus::Cancelled;
                } else {
                    task.status = encoder.Encode(task.drawn, encoded, task.why, false);
                    if (task.status == EncodeStatus::Ok) {
                        task.extension = encoded.extension;
                        task.action = encoded.action;
                        SetTiffPlacement(task.drawn.placement, encoded);
                        task.written =
                            WritePart(ctx, settings, encoded, task.drawn.placement, task.file, task.size);
                    }
                    if (task.written == OutputStatus::Abandoned) {
                        task.status = EncodeStatus::Skipped;
                        task.why = "cannot decode image";
                    }
                }
            }
        }
    }
    // Known only now: a streamed file's rows are hashed as it is written.
    task.pixels.reset();
    task.flat = false;
    if (task.status == EncodeStatus::Ok && task.written == OutputStatus::Ok) {
        task.pixels = *encoded.pixels;
        if (settings.skip_flat && task.pixels.has_value())
            task.flat = task.pixels->flat;
        else if (settings.skip_flat && task.action == ImageAction::Copied)
            task.flat = CopiedImageIsFlat(ctx, task.drawn.image.get());
    }
    task.drawn.image.reset();  // free the image data as soon as it is written
    encoded = EncodedImage();
    task.short_data = short_data.Seen();
}

int DefaultWorkerCount()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min(cores, 64u));
}

EncodePool::EncodePool(fz_context* ctx, const EncodeSettings& settings, int workers, uint64_t max_bytes,
                       std::atomic<int>* spare)
    : ctx_(ctx),
      settings_(settings),
      max_workers_(static_cast<size_t>(std::max(workers, 1))),
      max_bytes_(max_bytes),
      spare_(spare)
{
}

EncodePool::~EncodePool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
    if (spare_ != nullptr && borrowed_ > 0)
        spare_->fetch_add(borrowed_);
}

bool EncodePool::BorrowSpare()
{
    if (spare_ == nullptr)
        return false;
    int free = spare_->load();
    while (free > 0)
        if (spare_->compare_exchange_weak(free, free - 1))
            return true;
    return false;
}

bool EncodePool::StartWorker()
{
    // The clone is made here, on the thread that owns `ctx_`, as MuPDF asks.
    MuContextPtr clone = CloneThreadContext(ctx_);
    if (!clone)
        return false;
    try {
        threads_.emplace_back([this, owned = std::move(clone)]() mutable {
            MuContextPtr ctx = std::move(owned);
            Work(ctx.get());
        });
    } catch (const std::system_error&) {
        return false;  // no more threads: the ones running carry on
    }
    return true;
}

size_t EncodePool::Allowed() const
{
    // With one thread's worth the caller encodes itself; a borrowed thread
    // then makes two workers, the caller only walking.
    return max_workers_ > 1 || borrowed_ > 0 ? max_workers_ + static_cast<size_t>(borrowed_) : 0;
}

bool EncodePool::Submit(ImageTask* task)
{
    size_t waiting = 0;
    size_t idle = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting = queue_.size();
        idle = idle_;
    }
    // Only this thread starts workers, so the count cannot change meanwhile.
    if (waiting + 1 > idle) {
        if (threads_.size() >= Allowed() && BorrowSpare())
            ++borrowed_;
        if (threads_.size() < Allowed())
            StartWorker();
    }
    if (threads_.empty())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(task);
        unfinished_bytes_ += task->weight;
    }
    work_.notify_one();
    return true;
}

bool EncodePool::HasRoom(uint64_t weight) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unfinished_bytes_ == 0 || unfinished_bytes_ + weight <= max_bytes_;
}

void EncodePool::WaitForFinish()
{
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return finish_count_ != observed_finishes_; });
    observed_finishes_ = finish_count_;
}

void EncodePool::Work(fz_context* ctx)
{
    ExtractionThreadScope extraction_thread;  // a stop reaches this thread's decoders too
    // Dropped on return, before the context that the caller owns.
    PdfDocumentHandle doc;
    bool doc_tried = false;
    for (;;) {
        ImageTask* task = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ++idle_;
            work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            --idle_;
            if (stopping_)
                break;
            task = queue_.front();
            queue_.pop_front();
        }
        Encode(ctx, doc, doc_tried, *task);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            unfinished_bytes_ -= task->weight;
            ++finish_count_;
            task->done.store(true, std::memory_order_release);
        }
        finished_.notify_all();
    }
}

void EncodePool::Encode(fz_context* ctx, PdfDocumentHandle& doc, bool& doc_tried, ImageTask& task)
{
    // From here on the image is dropped with this thread's context.
    task.drawn.image.reset(ctx, task.drawn.image.release());
    try {
        if (CancelRequested()) {
            task.status = EncodeStatus::Cancelled;
            task.drawn.image.reset();
            return;
        }
        pdf_document* own = nullptr;
        if (NeedsDocument(task.drawn)) {
            if (!doc_tried) {
                doc_tried = true;
                OpenedPdf opened;
                if (OpenPdf(ctx, settings_.source, opened) == OpenStatus::Ok &&
                    opened.page_count == settings_.page_count &&
                    FileIdentity::Of(settings_.source) == settings_.identity)
                    doc = std::move(opened.doc);
            }
            if (!doc) {
                // Back to the thread whose document the image came from.
                task.drawn.image.reset(ctx_, task.drawn.image.release());
                task.for_walker = true;
                return;
            }
            own = doc.get();
            if (!SameRepairs(ctx, own, task.walk_repaired)) {
                task.drawn.image.reset(ctx_, task.drawn.image.release());
                task.for_walker = true;
                return;
            }
        }
        const bool repaired_before = own != nullptr && pdf_was_repaired(ctx, own);
        ImageHandle image(ctx, own != nullptr ? fz_keep_image(ctx, task.drawn.image.get()) : nullptr);
        EncodeImageTask(ctx, own, settings_, task);
        if (own != nullptr && !repaired_before && !task.walk_repaired && pdf_was_repaired(ctx, own)) {
            // This read repaired the worker's document: what it wrote may
            // differ from what the walk's unrepaired document gives.
            ResetResults(task);
            task.drawn.image.reset(ctx_, image.release());
            task.for_walker = true;
            return;
        }
        if (own != nullptr && task.drawn.standin.num > 0) {
            // A stand-in whose real image had to be loaded leaves this
            // document's store with it, as the walk's images leave its own.
            ReleaseFromStore(ctx, own, {{task.drawn.standin.num, task.drawn.standin.gen}});
        }
    } catch (...) {
        // Nothing may cross the thread; the commit rethrows it in order.
        task.failure = std::current_exception();
        task.drawn.image.reset();
    }
}

}  // namespace kestran::pdf
