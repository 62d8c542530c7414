#include "pdf/image_extractor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/log_text.h"
#include "pdf/cancel_flag.h"
#include "pdf/image_encoder.h"
#include "pdf/image_key.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_try.h"
#include "pdf/output_file.h"
#include "pdf/page_selection.h"
#include "pdf/page_walk.h"
#include "pdf/pdf_open.h"

namespace kestran::pdf {
namespace {

// After this many pages in a row that fail to load, the rest of a file's page
// tree is taken as missing (a damaged file may claim millions of pages).
constexpr int kMaxFailedPagesInARow = 64;
// After this many pages in a row that repeat a page already extracted, the
// rest of the page tree is taken as more of the same.
constexpr int kMaxRepeatedPagesInARow = 10000;

// ---------------------------------------------------------------------------

// Notices, while one image is decoded and written, MuPDF's (or the encoder's)
// warning that the image data ended early and the rest was filled in, so the
// log can say that the written image is incomplete.
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

class Extraction {
public:
    Extraction(fz_context* ctx, void* context, PdfProgressFn progress, ExtractStats& stats,
               const ExtractOptions& options)
        : ctx_(ctx), context_(context), progress_(progress), stats_(stats), options_(options)
    {
    }

    int Run(const std::string& source, const std::string& range, const std::string& folder)
    {
        OpenedPdf pdf;
        const RefusalWatch open_memory;
        if (OpenPdf(ctx_, source, pdf) != OpenStatus::Ok)
            return FailureCause(open_memory, source, KESTRAN_EXTRACT_CANNOT_OPEN);
        std::vector<PageRun> runs = SelectPages(range, pdf.page_count);
        const long long selected = CountPages(runs);
        if (selected == 0)
            return KESTRAN_EXTRACT_NO_PAGE;
        if (!IsWritableFolder(folder))
            return KESTRAN_EXTRACT_OUTPUT_FOLDER;

        source_ = EscapeForLog(source);
        folder_ = folder;
        stem_ = SourceStem(source);
        doc_ = pdf.doc.get();
        total_ = static_cast<int>(std::min<long long>(selected, 0x3fffffff));
        if (!Report(0))
            return KESTRAN_EXTRACT_CANCELLED;

        int index = 0;
        int failed_in_a_row = 0;
        int repeated_in_a_row = 0;
        for (const PageRun& run : runs) {
            for (int page = run.first; page <= run.last; ++page) {
                ++index;
                if (CancelRequested())
                    return KESTRAN_EXTRACT_CANCELLED;
                // A page tree may name the same page object many times (a
                // damaged or hostile file can claim a million pages that way):
                // a page met again draws nothing new.
                int page_object = 0;
                MuTry(ctx_, [&] { page_object = pdf_to_num(ctx_, pdf_lookup_page_obj(ctx_, doc_, page - 1)); });
                if (page_object > 0 && !pages_seen_.insert(page_object).second) {
                    if (++repeated_in_a_row >= kMaxRepeatedPagesInARow) {
                        std::fprintf(stderr, "%s: the page tree repeats page %d over and over, stopping\n",
                                     source_.c_str(), page);
                        return Report(2 * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
                    }
                    // Progress for skipped pages in steps, not a call for each of a million.
                    if ((repeated_in_a_row & 1023) == 0 && !Report(2LL * index))
                        return KESTRAN_EXTRACT_CANCELLED;
                    continue;
                }
                repeated_in_a_row = 0;
                bool loaded = true;
                int result = DoPage(page, index, loaded);
                if (result != KESTRAN_EXTRACT_OK)
                    return result;
                failed_in_a_row = loaded ? 0 : failed_in_a_row + 1;
                if (failed_in_a_row >= kMaxFailedPagesInARow) {
                    std::fprintf(stderr, "%s: pages from %d on cannot be read, stopping\n", source_.c_str(),
                                 page - kMaxFailedPagesInARow + 1);
                    return Report(2 * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
                }
            }
        }
        return Report(2LL * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
    }

private:
    // The result of a step that failed: a stop, memory running out (said on
    // standard error), or else `otherwise`.
    static int FailureCause(const RefusalWatch& memory, const std::string& where, int otherwise)
    {
        if (CancelRequested())
            return KESTRAN_EXTRACT_CANCELLED;
        if (memory.Refused() != MemoryRefusal::OutOfMemory)
            return otherwise;
        std::fprintf(stderr, "%s: out of memory\n", where.c_str());
        return KESTRAN_EXTRACT_OUT_OF_MEMORY;
    }

    // Progress: done runs from 0 to 2 x total. Each page takes two steps: the
    // first when it has been scanned, the second spread over writing its new
    // images. Every page and every image reports at least once; done never
    // goes back. False when the caller asked to abandon the file.
    bool Report(long long done)
    {
        if (CancelRequested())
            return false;
        if (progress_ == nullptr)
            return true;
        done = std::min<long long>(std::max<long long>(done, last_done_), 2LL * total_);
        last_done_ = done;
        return progress_(context_, static_cast<int>(done), total_) != -2;
    }

    int DoPage(int page, int index, bool& loaded)
    {
        const long long base = 2LL * (index - 1);
        const RefusalWatch walk_memory;
        PageImages found =
            PageWalker(ctx_, doc_, options_.stream_bytes, options_.skip_imageless_pages ? &reach_ : nullptr).Collect(page);
        loaded = found.loaded;
        if (!found.loaded || !found.error.empty() || !found.set_aside.empty()) {
            const int cause = FailureCause(walk_memory, source_ + ": page " + std::to_string(page), KESTRAN_EXTRACT_OK);
            if (cause != KESTRAN_EXTRACT_OK)
                return cause;
        }
        if (!found.loaded) {
            if (!last_page_failed_)  // one line for a run of unreadable pages
                std::fprintf(stderr, "%s: page %d: %s\n", source_.c_str(), page, EscapeForLog(found.error).c_str());
            last_page_failed_ = true;
        } else {
            last_page_failed_ = false;
        }
        for (const std::string& what : found.set_aside)
            std::fprintf(stderr, "%s: page %d: image skipped: %s\n", source_.c_str(), page, EscapeForLog(what).c_str());
        stats_.images_skipped += static_cast<int>(found.set_aside.size());
        if (!found.error.empty())
            std::fprintf(stderr, "%s: page %d: %s\n", source_.c_str(), page, EscapeForLog(found.error).c_str());
        std::vector<DrawnImage>& images = found.images;
        // MuPDF keeps loaded images in its store for later pages; an image seen
        // again is recognised by its key anyway, so the page's images leave the
        // store once written (fonts stay: text-heavy files would reload them
        // on every page). Memory then stays at about one page's images.
        struct StoreRelease {
            fz_context* ctx;
            pdf_document* doc;
            const std::vector<std::pair<int, int>>& objects;
            ~StoreRelease() { ReleaseFromStore(ctx, doc, objects); }
        } release{ctx_, doc_, found.image_objects};
        if (CancelRequested())
            return KESTRAN_EXTRACT_CANCELLED;
        if (!Report(base + 1))
            return KESTRAN_EXTRACT_CANCELLED;

        ImageEncoder encoder(ctx_, doc_, options_.png_level, options_.stream_bytes);
        std::vector<DrawnImage*> fresh;
        for (DrawnImage& drawn : images) {
            std::string key;
            if (!BuildImageKey(ctx_, doc_, drawn.image.get(), drawn.object_num, key)) {
                std::fprintf(stderr, "%s: page %d: image skipped: cannot read image data\n", source_.c_str(), page);
                ++stats_.images_skipped;
                continue;
            }
            if (seen_.insert(key).second)
                fresh.push_back(&drawn);
        }

        int number = 0;
        for (size_t i = 0; i < fresh.size(); ++i) {
            if (CancelRequested())
                return KESTRAN_EXTRACT_CANCELLED;
            EncodedImage encoded;
            std::string why;
            ShortDataWatch short_data(ctx_);
            ImageMemoryScope image_memory(ImageMemoryBudget(fresh[i]->image.get()));
            EncodeStatus status = encoder.Encode(*fresh[i], encoded, why);
            OutputStatus written = OutputStatus::Ok;
            uint64_t size = 0;
            if (status == EncodeStatus::Ok) {
                if (CancelRequested())
                    return KESTRAN_EXTRACT_CANCELLED;
                written = Write(page, number + 1, encoded, size);
                if (written == OutputStatus::Abandoned) {
                    // A streamed image failed part way (damaged data): the
                    // file is gone; try once more the way that holds it whole.
                    if (CancelRequested())
                        return KESTRAN_EXTRACT_CANCELLED;
                    status = encoder.Encode(*fresh[i], encoded, why, false);
                    if (status == EncodeStatus::Ok)
                        written = Write(page, number + 1, encoded, size);
                    if (written == OutputStatus::Abandoned) {
                        status = EncodeStatus::Skipped;
                        why = "cannot decode image";
                    }
                }
            }
            fresh[i]->image.reset();  // free the image data as soon as it is written
            encoded = EncodedImage();
            if (status == EncodeStatus::Cancelled)
                return KESTRAN_EXTRACT_CANCELLED;
            if (status == EncodeStatus::OutOfMemory) {
                std::fprintf(stderr, "%s: page %d: out of memory\n", source_.c_str(), page);
                return KESTRAN_EXTRACT_OUT_OF_MEMORY;
            }
            if (status == EncodeStatus::Skipped) {
                std::fprintf(stderr, "%s: page %d: image skipped: %s\n", source_.c_str(), page, EscapeForLog(why).c_str());
                ++stats_.images_skipped;
            } else {
                if (written == OutputStatus::WriteFailed)
                    return KESTRAN_EXTRACT_WRITE_FAILED;
                if (written == OutputStatus::FolderUnusable)
                    return KESTRAN_EXTRACT_OUTPUT_FOLDER;
                ++number;
                if (short_data.Seen())
                    std::fprintf(stderr, "%s: page %d: image %d is incomplete: its data ends early, the rest is filled in\n",
                                 source_.c_str(), page, number);
                ++stats_.images_written;
                stats_.bytes_written += size;
            }
            if (!Report(base + 1 + static_cast<long long>(i + 1) / static_cast<long long>(fresh.size())))
                return KESTRAN_EXTRACT_CANCELLED;
        }
        if (fresh.empty() && !Report(base + 2))
            return KESTRAN_EXTRACT_CANCELLED;
        return KESTRAN_EXTRACT_OK;
    }

    // Writes one image file; `size` receives its size.
    OutputStatus Write(int page, int number, const EncodedImage& encoded, uint64_t& size)
    {
        size = 0;
        if (!encoded.stream) {
            size = encoded.Size(ctx_);
            return WriteImageFile(folder_, stem_, page, number, encoded.extension, encoded.Parts(ctx_));
        }
        return WriteImageFileStreamed(folder_, stem_, page, number, encoded.extension, [&](const ByteSink& sink) {
            return encoded.stream([&](const uint8_t* data, size_t n) {
                size += n;
                return sink(data, n);
            });
        });
    }

    fz_context* ctx_;
    void* context_;
    PdfProgressFn progress_;
    ExtractStats& stats_;
    ExtractOptions options_;
    std::string source_;  // as messages show it (EscapeForLog)
    std::string folder_;
    std::string stem_;
    pdf_document* doc_ = nullptr;
    int total_ = 0;
    long long last_done_ = 0;
    bool last_page_failed_ = false;
    std::unordered_set<std::string> seen_;
    std::unordered_set<int> pages_seen_;
    ImageReach reach_;
};

}  // namespace

int ExtractImagesFromFile(const char* source, const char* range, const char* output_dir, void* context,
                          PdfProgressFn progress, ExtractStats* stats, const ExtractOptions& options)
{
    if (source == nullptr || range == nullptr || output_dir == nullptr || *source == '\0' || *range == '\0' ||
        *output_dir == '\0')
        return KESTRAN_EXTRACT_BAD_ARGUMENT;
    ExtractionThreadScope extraction_thread;  // a stop now reaches MuPDF's allocations and reads here
    MuContextPtr ctx = NewThreadContext();
    if (!ctx)
        return KESTRAN_EXTRACT_CANNOT_OPEN;
    if (options.private_store)
        MuTry(ctx.get(), [&] { UsePrivateStore(ctx.get(), FZ_STORE_DEFAULT); });
    ExtractStats local;
    try {
        Extraction extraction(ctx.get(), context, progress, stats != nullptr ? *stats : local, options);
        std::string folder(output_dir);
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        return extraction.Run(source, range, folder);
    } catch (const std::exception& e) {
        // Only allocation failures get here (std::bad_alloc, std::length_error).
        std::fprintf(stderr, "%s: out of memory (%s)\n", EscapeForLog(source).c_str(), e.what());
        return KESTRAN_EXTRACT_OUT_OF_MEMORY;
    }
}

}  // namespace kestran::pdf
