#include "pdf/image_extractor.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/folder_listing.h"
#include "common/log_text.h"
#include "pdf/cancel_flag.h"
#include "pdf/encode_pool.h"
#include "pdf/image_encoder.h"
#include "pdf/image_key.h"
#include "pdf/image_record.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_try.h"
#include "pdf/output_file.h"
#include "pdf/page_selection.h"
#include "pdf/page_walk.h"
#include "pdf/pdf_open.h"
#include "pdf/pixel_hash.h"
#include "pdf/srgb_transform.h"

namespace kestran::pdf {
namespace {

// After this many pages in a row that fail to load, the rest of a file's page
// tree is taken as missing (a damaged file may claim millions of pages).
constexpr int kMaxFailedPagesInARow = 64;
// After this many pages in a row that repeat a page already extracted, the
// rest of the page tree is taken as more of the same.
constexpr int kMaxRepeatedPagesInARow = 10000;

// Images handed to the workers and not yet named, per worker: enough to keep
// every worker busy while the head of the line is still being encoded, few
// enough that the temporary files and held images stay a handful.
constexpr size_t kTasksPerWorker = 4;

// The most a file's own store keeps for reuse. MuPDF stores every decoded
// image (and mask) while the page that draws it is walked, up to its default
// 256 MiB; an extraction decodes each image once, so that cache costs memory
// without sparing work: a page of small pictures with page-sized soft masks
// kept every mask, 8.7 MiB each.
constexpr size_t kExtractionStoreBytes = size_t(32) << 20;

// Hands the memory the C library keeps after it was freed (in every thread's
// arena) back to the system, so that a process running file after file stays
// near the size of its largest file rather than the sum of their leftovers.
// Once per file: it walks every arena.
void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// The reason an image of one flat colour is left out.
constexpr const char* kFlatReason = "one flat colour";

// Log lines and progress steps waiting behind an unfinished image.
constexpr size_t kMaxWaitingSteps = 4096;

// The extraction loop. The calling thread walks the pages in order, builds
// the image keys, deduplicates and hands each new image to the encoders
// (EncodePool, or itself with one worker). Everything the user sees (image
// numbers and file names, log lines, stats, progress calls) is a Step,
// committed strictly in the order a sequential run produces it, by this same
// thread: an image's number depends on whether the images before it on its
// page were written, which is known only once they are encoded.
class Extraction {
public:
    Extraction(fz_context* ctx, void* context, PdfProgressFn progress, ExtractStats& stats,
               const ExtractOptions& options)
        : ctx_(ctx), context_(context), progress_(progress), stats_(stats), options_(options)
    {
    }
    ~Extraction()
    {
        // Workers first: a queued task belongs to a step, and an unnamed
        // temporary file goes with its step.
        pool_.reset();
        steps_.clear();
    }
    Extraction(const Extraction&) = delete;
    Extraction& operator=(const Extraction&) = delete;

    int Run(const std::string& source, const std::string& range, const std::string& folder)
    {
        int result = Walk(source, range, folder);
        if (result == KESTRAN_EXTRACT_OK)
            result = Drain();
        // A page cut short by a stop or a failure keeps the images it wrote,
        // named with the digits the whole page would give them, so that a
        // run again (a retried task) finds them under the same names.
        const int named = NameHeldImages(held_to_come_, true);
        FlushRecords();
        if (already_there_ > 0)
            Log(options_, source_ + ": " + std::to_string(already_there_) +
                              (already_there_ == 1 ? " image was" : " images were") + " already there, not written again");
        return result == KESTRAN_EXTRACT_OK ? named : result;
    }

    // A log line of the file, on the calling thread.
    static void Log(const ExtractOptions& options, const std::string& line)
    {
        if (options.log)
            options.log(line);
        else
            std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    // What became of one image handed on, shared by its record and the
    // records of its duplicates; settled on the calling thread when the
    // image is committed (skipped, repeating another's pixels) or named.
    struct Fate {
        bool settled = false;
        std::string action;  // "copied", "converted", "written", "already there", "skipped"
        std::string detail;  // a skip's reason
        std::string file;
        uint64_t size = 0;
        std::string sha256;
        std::shared_ptr<Fate> same_as;  // shows what this earlier image shows: a duplicate of it
    };
    // A record waiting for the fate of its image (or, for a duplicate, of
    // the image it repeats) so that records leave in page and paint order.
    struct PendingRecord {
        ImageRecord record;
        std::shared_ptr<Fate> fate;
        bool duplicate = false;
    };
    // Converting output still works without the press profile, CMYK by a
    // plain formula; the log says so once per process.
    void NoteMissingPressProfile()
    {
        static std::atomic<bool> noted{false};
        if (options_.output_type == OutputType::Original || PressProfileAvailable() || noted.exchange(true))
            return;
        Log(options_, std::string("press profile ") + PressProfilePath() +
                          " not found: CMYK images without a profile of their own are converted by formula");
    }

    struct Step {
        // Checkpoint: where a sequential run looks at the stop request.
        // Record: an image's record, queued to leave once its fate is known.
        enum class Kind { Line, Progress, Checkpoint, Image, Record };
        Kind kind = Kind::Line;
        std::string line;                // Line
        int skipped = 0;                 // Line: images it reports as skipped
        long long done = 0;              // Progress
        bool last = false;               // Progress: the file's final step
        std::unique_ptr<ImageTask> task; // Image
        int page = 0;                    // Image: page number, and the place
        long long base = 0;              // of the image among the page's new
        size_t index = 0;                // images for its progress step
        size_t count = 0;
        std::shared_ptr<Fate> fate;      // Image: what becomes of it, for its record
        std::unique_ptr<PendingRecord> record;  // Record
    };

    // Walks the pages; returns OK once the last step is queued.
    int Walk(const std::string& source, const std::string& range, const std::string& folder)
    {
        const FileIdentity identity = FileIdentity::Of(source);
        const RefusalWatch open_memory;
        if (OpenPdf(ctx_, source, pdf_) != OpenStatus::Ok)
            return FailureCause(open_memory, EscapeForLog(source), KESTRAN_EXTRACT_CANNOT_OPEN);
        std::vector<PageRun> runs = SelectPages(range, pdf_.page_count);
        const long long selected = CountPages(runs);
        if (selected == 0)
            return KESTRAN_EXTRACT_NO_PAGE;
        if (!kestran::IsWritableFolder(folder))
            return KESTRAN_EXTRACT_OUTPUT_FOLDER;

        source_ = EscapeForLog(source);
        stem_ = SourceStem(source);
        page_digits_ = PageDigits(pdf_.page_count);
        doc_ = pdf_.doc.get();
        total_ = static_cast<int>(std::min<long long>(selected, 0x3fffffff));
        settings_.source = source;
        settings_.identity = identity;
        settings_.page_count = pdf_.page_count;
        settings_.folder = folder;
        settings_.png_level = options_.png_level;
        settings_.stream_bytes = options_.stream_bytes;
        settings_.skip_flat = options_.filters.skip_flat;
        settings_.sha256 = static_cast<bool>(options_.record);
        settings_.output_type = options_.output_type;
        NoteMissingPressProfile();
        const int workers = options_.workers > 0 ? options_.workers : DefaultWorkerCount();
        if (workers > 1 || options_.spare_workers != nullptr)
            pool_ = std::make_unique<EncodePool>(ctx_, settings_, workers, options_.queue_bytes,
                                                 options_.spare_workers);
        int result = EmitProgress(0);
        if (result != KESTRAN_EXTRACT_OK)
            return result;

        int index = 0;
        int failed_in_a_row = 0;
        int repeated_in_a_row = 0;
        for (const PageRun& run : runs) {
            for (int page = run.first; page <= run.last; ++page) {
                ++index;
                if ((result = EmitCheckpoint()) != KESTRAN_EXTRACT_OK)
                    return result;
                // A page tree may name the same page object many times (a
                // damaged or hostile file can claim a million pages that way):
                // a page met again draws nothing new.
                int page_object = 0;
                MuTry(ctx_, [&] { page_object = pdf_to_num(ctx_, pdf_lookup_page_obj(ctx_, doc_, page - 1)); });
                if (page_object > 0 && !pages_seen_.insert(page_object).second) {
                    if (++repeated_in_a_row >= kMaxRepeatedPagesInARow) {
                        result = EmitLine(source_ + ": the page tree repeats page " + std::to_string(page) +
                                          " over and over, stopping");
                        return result == KESTRAN_EXTRACT_OK ? EmitFinalProgress() : result;
                    }
                    // Progress for skipped pages in steps, not a call for each of a million.
                    if ((repeated_in_a_row & 1023) == 0 && (result = EmitProgress(2LL * index)) != KESTRAN_EXTRACT_OK)
                        return result;
                    continue;
                }
                repeated_in_a_row = 0;
                bool loaded = true;
                result = DoPage(page, index, loaded);
                if (result != KESTRAN_EXTRACT_OK)
                    return result;
                failed_in_a_row = loaded ? 0 : failed_in_a_row + 1;
                if (failed_in_a_row >= kMaxFailedPagesInARow) {
                    result = EmitLine(source_ + ": pages from " + std::to_string(page - kMaxFailedPagesInARow + 1) +
                                      " on cannot be read, stopping");
                    return result == KESTRAN_EXTRACT_OK ? EmitFinalProgress() : result;
                }
            }
        }
        return EmitFinalProgress();
    }

    // Progress: done runs from 0 to 2 x total. Each page takes two steps: the
    // first when it has been scanned, the second spread over writing its new
    // images. Every page and every image reports at least once; done never
    // goes back. False when the caller asked to abandon the file. The file's
    // final step reports even after a stop request: its work is done.
    bool Report(long long done, bool last = false)
    {
        if (CancelRequested() && !last)
            return false;
        if (progress_ == nullptr)
            return true;
        done = std::min<long long>(std::max<long long>(done, last_done_), 2LL * total_);
        last_done_ = done;
        return progress_(context_, static_cast<int>(done), total_) != -2;
    }

    // A line about a page; `text` may hold what the file says (names,
    // MuPDF's messages), so it is escaped like the path.
    std::string PageLine(int page, const std::string& text) const
    {
        return source_ + ": page " + std::to_string(page) + ": " + EscapeForLog(text);
    }

    // The result of a step that failed: a stop, memory running out (said in
    // the log), or else `otherwise`.
    int FailureCause(const RefusalWatch& memory, const std::string& where, int otherwise)
    {
        if (CancelRequested())
            return KESTRAN_EXTRACT_CANCELLED;
        if (memory.Refused() != MemoryRefusal::OutOfMemory)
            return otherwise;
        const int result = EmitLine(where + ": out of memory");
        if (result != KESTRAN_EXTRACT_OK)
            return result;
        const int drained = Drain();
        return drained == KESTRAN_EXTRACT_OK ? KESTRAN_EXTRACT_OUT_OF_MEMORY : drained;
    }

    int DoPage(int page, int index, bool& loaded)
    {
        const long long base = 2LL * (index - 1);
        const RefusalWatch walk_memory;
        PageImages found =
            PageWalker(ctx_, doc_, options_.stream_bytes, options_.skip_imageless_pages ? &reach_ : nullptr).Collect(page);
        // MuPDF keeps loaded images in its store for later pages; an image seen
        // again is recognised by its key anyway, so the page's images leave the
        // store once the page is walked (fonts stay: text-heavy files would
        // reload them on every page). The images handed to the encoders are
        // kept by their tasks, so memory stays at about the images in flight.
        struct StoreRelease {
            fz_context* ctx;
            pdf_document* doc;
            const std::vector<std::pair<int, int>>& objects;
            ~StoreRelease() { ReleaseFromStore(ctx, doc, objects); }
        } release{ctx_, doc_, found.image_objects};
        loaded = found.loaded;
        int result = KESTRAN_EXTRACT_OK;
        if (!found.loaded || !found.error.empty() || !found.set_aside.empty()) {
            result = FailureCause(walk_memory, source_ + ": page " + std::to_string(page), KESTRAN_EXTRACT_OK);
            if (result != KESTRAN_EXTRACT_OK)
                return result;
        }
        if (!found.loaded) {
            if (!last_page_failed_)  // one line for a run of unreadable pages
                result = EmitLine(PageLine(page, found.error));
            last_page_failed_ = true;
        } else {
            last_page_failed_ = false;
        }
        for (const std::string& what : found.set_aside) {
            if (result == KESTRAN_EXTRACT_OK)
                result = EmitLine(PageLine(page, "image skipped: " + what), 1);
            if (result == KESTRAN_EXTRACT_OK)
                result = EmitRecord(page, nullptr, 0, Settled("skipped", what));
        }
        if (!found.error.empty() && result == KESTRAN_EXTRACT_OK)
            result = EmitLine(PageLine(page, found.error));
        if (result != KESTRAN_EXTRACT_OK)
            return result;
        if ((result = EmitCheckpoint()) != KESTRAN_EXTRACT_OK)
            return result;
        if ((result = EmitProgress(base + 1)) != KESTRAN_EXTRACT_OK)
            return result;

        std::vector<std::pair<DrawnImage*, std::shared_ptr<Fate>>> fresh;
        int index_on_page = 0;
        for (DrawnImage& drawn : found.images) {
            ++index_on_page;
            std::string key;
            if (!BuildImageKey(ctx_, doc_, drawn.image.get(), drawn.object_num, key)) {
                // Reading a large image's data stops at a stop request: that
                // is the stop, not an unreadable image.
                if (CancelRequested() && (result = EmitCheckpoint()) != KESTRAN_EXTRACT_OK)
                    return result;
                if ((result = EmitLine(PageLine(page, "image skipped: cannot read image data"), 1)) !=
                    KESTRAN_EXTRACT_OK)
                    return result;
                if ((result = EmitRecord(page, &drawn, index_on_page, Settled("skipped", "cannot read image data"))) !=
                    KESTRAN_EXTRACT_OK)
                    return result;
                continue;
            }
            AddColoursToKey(drawn.colours, key);
            auto seen = seen_.emplace(std::move(key), nullptr);
            if (!seen.second) {
                if ((result = EmitRecord(page, &drawn, index_on_page, seen.first->second, true)) != KESTRAN_EXTRACT_OK)
                    return result;
                continue;
            }
            // Decided from the declared size, before anything is decoded;
            // the image's duplicates share its fate.
            const std::string too_small = TooSmall(drawn);
            if (!too_small.empty()) {
                seen.first->second = Settled("skipped", too_small);
                if ((result = EmitLine(PageLine(page, "image skipped: " + too_small), 1)) != KESTRAN_EXTRACT_OK)
                    return result;
            } else {
                seen.first->second = std::make_shared<Fate>();
                fresh.emplace_back(&drawn, seen.first->second);
            }
            if ((result = EmitRecord(page, &drawn, index_on_page, seen.first->second)) != KESTRAN_EXTRACT_OK)
                return result;
        }
        for (size_t i = 0; i < fresh.size(); ++i) {
            Step step;
            step.kind = Step::Kind::Image;
            step.task = std::make_unique<ImageTask>();
            step.task->drawn = std::move(*fresh[i].first);
            step.fate = fresh[i].second;
            step.task->weight = DecodedSize(step.task->drawn.image.get());
            step.page = page;
            step.base = base;
            step.index = i;
            step.count = fresh.size();
            if ((result = EmitImage(std::move(step))) != KESTRAN_EXTRACT_OK)
                return result;
        }
        if (fresh.empty())
            return EmitProgress(base + 2);
        return KESTRAN_EXTRACT_OK;
    }

    // ---- records --------------------------------------------------------

    static std::shared_ptr<Fate> Settled(const char* action, const std::string& detail)
    {
        auto fate = std::make_shared<Fate>();
        fate->settled = true;
        fate->action = action;
        fate->detail = detail;
        return fate;
    }

    // The reason an image is left out for its declared size, or empty.
    std::string TooSmall(const DrawnImage& drawn) const
    {
        const int min = options_.filters.min_side;
        const fz_image* img = drawn.image.get();
        if (min <= 0 || img == nullptr || (img->w >= min && img->h >= min))
            return std::string();
        return "smaller than " + std::to_string(min) + " pixels";
    }

    // The record of an image found on `page` (`drawn` null for one set
    // aside before the run), as a step: committed where a sequential run
    // reaches it, it then waits until `fate` is settled.
    int EmitRecord(int page, const DrawnImage* drawn, int index, std::shared_ptr<Fate> fate, bool duplicate = false)
    {
        if (!options_.record)
            return KESTRAN_EXTRACT_OK;
        Step step;
        step.kind = Step::Kind::Record;
        step.record = std::make_unique<PendingRecord>();
        ImageRecord& record = step.record->record;
        record.source = settings_.source;
        record.page = page;
        record.index = index;
        if (drawn != nullptr)
            DescribeImage(ctx_, doc_, *drawn, record);
        step.record->fate = std::move(fate);
        step.record->duplicate = duplicate;
        return Emit(std::move(step));
    }

    // Hands on the records whose images' fates are settled, in order.
    void FlushRecords()
    {
        while (!records_.empty() && Complete(records_.front())) {
            options_.record(records_.front().record);
            records_.pop_front();
        }
    }

    // Fills in what happened to the record's image; false while unknown.
    static bool Complete(PendingRecord& pending)
    {
        const Fate& fate = *pending.fate;
        if (!fate.settled || (fate.same_as != nullptr && !fate.same_as->settled))
            return false;
        ImageRecord& record = pending.record;
        if (fate.action == "skipped") {
            record.action = fate.action;
            record.detail = fate.detail;
        } else if (pending.duplicate || fate.same_as != nullptr) {
            record.action = "duplicate";
            record.detail = fate.same_as != nullptr ? fate.same_as->file : fate.file;
        } else {
            record.action = fate.action;
            record.output_file = fate.file;
            record.output_size = fate.size;
            record.sha256 = fate.sha256;
        }
        return true;
    }

    // ---- steps ----------------------------------------------------------

    int EmitLine(const std::string& line, int skipped = 0)
    {
        Step step;
        step.line = line;
        step.skipped = skipped;
        return Emit(std::move(step));
    }

    int EmitProgress(long long done, bool last = false)
    {
        Step step;
        step.kind = Step::Kind::Progress;
        step.done = done;
        step.last = last;
        return Emit(std::move(step));
    }

    // Once it is committed every image of the file is in place: a stop that
    // comes now, or an answer of -2, no longer makes the file interrupted.
    int EmitFinalProgress() { return EmitProgress(2LL * total_, true); }

    // A stop request seen here ends the walk once everything before this
    // point is committed, as a sequential run would have by then.
    int EmitCheckpoint()
    {
        Step step;
        step.kind = Step::Kind::Checkpoint;
        const int result = Emit(std::move(step));
        if (result != KESTRAN_EXTRACT_OK || !CancelRequested())
            return result;
        const int drained = Drain();
        return drained == KESTRAN_EXTRACT_OK ? KESTRAN_EXTRACT_CANCELLED : drained;
    }

    int Emit(Step step)
    {
        const int result = MakeRoom(0);
        if (result != KESTRAN_EXTRACT_OK)
            return result;
        if (steps_.empty())
            return Commit(step);  // nothing waits before it
        steps_.push_back(std::move(step));
        return KESTRAN_EXTRACT_OK;
    }

    int EmitImage(Step step)
    {
        ImageTask* task = step.task.get();
        int result = MakeRoom(task->weight);
        if (result != KESTRAN_EXTRACT_OK)
            return result;
        // The step owns the task: it is stored before a worker may hold the
        // task, so a failure to store it (out of memory) frees a task that
        // no worker has seen.
        task->walk_repaired = pdf_was_repaired(ctx_, doc_) != 0;
        steps_.push_back(std::move(step));
        ++pending_images_;
        if (pool_ == nullptr || !pool_->Submit(task)) {
            EncodeImageTask(ctx_, doc_, settings_, *task);
            task->done.store(true, std::memory_order_release);
        }
        return CommitReady();
    }

    // Commits what is ready, then waits until one more image (of `weight`
    // declared bytes; 0 for a line or a progress step) may wait in line.
    int MakeRoom(uint64_t weight)
    {
        for (;;) {
            const int result = CommitReady();
            if (result != KESTRAN_EXTRACT_OK)
                return result;
            if (pool_ == nullptr || steps_.empty())
                return KESTRAN_EXTRACT_OK;
            const bool room = steps_.size() < kMaxWaitingSteps &&
                              (weight == 0 || (pending_images_ < MaxPendingImages() && pool_->HasRoom(weight)));
            if (room)
                return KESTRAN_EXTRACT_OK;
            pool_->WaitForFinish();
        }
    }

    size_t MaxPendingImages() const { return kTasksPerWorker * std::max<size_t>(1, pool_->Workers()); }

    int CommitReady()
    {
        while (!steps_.empty()) {
            Step& head = steps_.front();
            if (head.kind == Step::Kind::Image && !head.task->done.load(std::memory_order_acquire))
                return KESTRAN_EXTRACT_OK;
            Step step = std::move(head);
            steps_.pop_front();
            const int result = Commit(step);
            if (result != KESTRAN_EXTRACT_OK)
                return result;
        }
        return KESTRAN_EXTRACT_OK;
    }

    // Commits every step, waiting for the images still being encoded.
    int Drain()
    {
        for (;;) {
            const int result = CommitReady();
            if (result != KESTRAN_EXTRACT_OK || steps_.empty() || pool_ == nullptr)
                return result;
            pool_->WaitForFinish();  // steps wait only behind a pool's image
        }
    }

    int Commit(Step& step)
    {
        switch (step.kind) {
        case Step::Kind::Line:
            Log(options_, step.line);
            stats_.images_skipped += step.skipped;
            return KESTRAN_EXTRACT_OK;
        case Step::Kind::Progress:
            return Report(step.done, step.last) || step.last ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
        case Step::Kind::Checkpoint:
            return CancelRequested() ? KESTRAN_EXTRACT_CANCELLED : KESTRAN_EXTRACT_OK;
        case Step::Kind::Image:
            --pending_images_;
            return CommitImage(step);
        case Step::Kind::Record:
            // Also a checkpoint: after a stop request a sequential run may
            // not have found this image (reading a large image's data stops),
            // so no run records it.
            if (CancelRequested())
                return KESTRAN_EXTRACT_CANCELLED;
            records_.push_back(std::move(*step.record));
            FlushRecords();
            return KESTRAN_EXTRACT_OK;
        }
        return KESTRAN_EXTRACT_OK;
    }

    // Numbers an encoded image: its number counts the images of its page
    // written before it. Its file is named with the page's others
    // (NameHeldImages).
    int CommitImage(Step& step)
    {
        ImageTask& task = *step.task;
        if (task.failure)
            std::rethrow_exception(task.failure);
        if (task.for_walker)
            EncodeImageTask(ctx_, doc_, settings_, task);
        if (step.index == 0)
            number_ = 0;
        if (CancelRequested() || task.status == EncodeStatus::Cancelled)
            return KESTRAN_EXTRACT_CANCELLED;
        if (task.status == EncodeStatus::OutOfMemory) {
            Log(options_, PageLine(step.page, "out of memory"));
            return KESTRAN_EXTRACT_OUT_OF_MEMORY;
        }
        Fate& fate = *step.fate;
        if (IsFlat(task)) {
            task.file = PendingImageFile();  // removes the temporary file
            task.status = EncodeStatus::Skipped;
            task.why = kFlatReason;
            task.pixels.reset();  // a later image of the same colour is skipped for itself
        }
        if (RepeatsPixels(task, step.fate)) {
            task.file = PendingImageFile();  // removes the temporary file
            fate.settled = true;
        } else if (task.status == EncodeStatus::Skipped) {
            Log(options_, PageLine(step.page, "image skipped: " + task.why));
            ++stats_.images_skipped;
            fate.settled = true;
            fate.action = "skipped";
            fate.detail = task.why;
        } else {
            if (task.written == OutputStatus::WriteFailed)
                return KESTRAN_EXTRACT_WRITE_FAILED;
            if (task.written == OutputStatus::FolderUnusable)
                return KESTRAN_EXTRACT_OUTPUT_FOLDER;
            ++number_;
            held_.push_back(
                HeldImage{std::move(task.file), step.page, number_, task.extension, task.action, task.size,
                          std::move(step.fate)});
            if (task.short_data)
                Log(options_, PageLine(step.page, "image " + std::to_string(number_) +
                                                      " is incomplete: its data ends early, the rest is filled in"));
        }
        held_to_come_ = step.count - step.index - 1;
        const int named = NameHeldImages(held_to_come_);
        FlushRecords();
        if (named != KESTRAN_EXTRACT_OK)
            return named;
        const long long step_done =
            step.base + 1 + static_cast<long long>(step.index + 1) / static_cast<long long>(step.count);
        return Report(step_done) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
    }

    // Gives the written images of the page being committed their final
    // names once the digits of their numbers are settled, that is once the
    // images still to come on the page (`still_to_come`, at most; some may
    // be skipped) cannot change the digits of the page's count. Until then
    // they wait, complete, under their temporary names: only pages of 100
    // images or more wait at all. `last`: the file ends here (stopped or
    // failed): those written so far get the digits of the page's count
    // bound. In order, so that a taken name gets its " (2)" just as before.
    int NameHeldImages(size_t still_to_come, bool last = false)
    {
        const int digits = ImageDigits(number_ + static_cast<long long>(still_to_come));
        if (held_.empty() || (!last && digits != ImageDigits(number_)))
            return KESTRAN_EXTRACT_OK;
        std::vector<HeldImage> held = std::move(held_);
        held_.clear();
        for (HeldImage& image : held) {  // on a failure the rest leave with `held`
            std::string name;
            bool already_there = false;
            switch (image.file.Publish(stem_, image.page, image.number, image.extension, &name,
                                       NameWidths{page_digits_, digits}, &already_there)) {
            case OutputStatus::Ok: break;
            case OutputStatus::WriteFailed: return KESTRAN_EXTRACT_WRITE_FAILED;
            case OutputStatus::FolderUnusable: return KESTRAN_EXTRACT_OUTPUT_FOLDER;
            case OutputStatus::Abandoned: return KESTRAN_EXTRACT_CANCELLED;  // the process is ending
            }
            if (already_there) {
                ++stats_.images_already_there;
                ++already_there_;
            } else {
                ++stats_.images_written;
                stats_.bytes_written += image.size;
            }
            Fate& fate = *image.fate;
            fate.settled = true;
            if (options_.record) {  // kept for every image of the file: only when wanted
                fate.action = already_there ? "already there" : ImageActionName(image.action);
                fate.file = std::move(name);
                fate.size = image.file.Size();
                fate.sha256 = image.file.Sha256();
            }
        }
        return KESTRAN_EXTRACT_OK;
    }

    // True when `task` shows what an image already written from this file
    // shows, stored with other bytes (another compression or predictor): it
    // then gets no file and no number, and counts as neither written nor
    // skipped, like an image that repeats another's stored bytes. Decided
    // here, in commit order, so the first of them is kept whatever the
    // number of workers.
    bool RepeatsPixels(const ImageTask& task, const std::shared_ptr<Fate>& fate)
    {
        if (!task.pixels.has_value())
            return false;
        auto seen = pixels_seen_.emplace(*task.pixels, fate);
        if (seen.second)
            return false;
        fate->same_as = seen.first->second;
        return true;
    }

    // True when the user leaves out images of one flat colour and the
    // written file is one: known from the rows the writer hashed (for a
    // copied JPEG or JPEG 2000, from the decode EncodeImageTask made for it).
    bool IsFlat(const ImageTask& task) const
    {
        return options_.filters.skip_flat && task.status == EncodeStatus::Ok && task.written == OutputStatus::Ok &&
               task.flat;
    }

    fz_context* ctx_;
    void* context_;
    PdfProgressFn progress_;
    ExtractStats& stats_;
    ExtractOptions options_;
    std::string source_;
    std::string stem_;
    OpenedPdf pdf_;  // outlives the steps: an image may come back to be encoded with it
    pdf_document* doc_ = nullptr;
    EncodeSettings settings_;
    int total_ = 0;
    long long last_done_ = 0;
    bool last_page_failed_ = false;
    int number_ = 0;  // images written so far on the page being committed
    int already_there_ = 0;  // images of this file found in the folder already
    // Written images of that page waiting for their names (NameHeldImages).
    struct HeldImage {
        PendingImageFile file;
        int page;
        int number;
        std::string extension;
        ImageAction action;
        uint64_t size;
        std::shared_ptr<Fate> fate;
    };
    std::vector<HeldImage> held_;
    size_t held_to_come_ = 0;  // the images the committed page may still write, at most
    int page_digits_ = 3;
    // Images handed on (by key, by what they show) and what became of them.
    std::unordered_map<std::string, std::shared_ptr<Fate>> seen_;
    std::unordered_map<PixelHash, std::shared_ptr<Fate>, PixelHashOf> pixels_seen_;
    std::deque<PendingRecord> records_;  // waiting for their fates, in order
    std::unordered_set<int> pages_seen_;
    std::deque<Step> steps_;
    size_t pending_images_ = 0;
    std::unique_ptr<EncodePool> pool_;  // uses settings_ and ctx_
    ImageReach reach_;                  // what the page walk found out about resources
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
        MuTry(ctx.get(), [&] { UsePrivateStore(ctx.get(), kExtractionStoreBytes); });
    ExtractStats local;
    int result = KESTRAN_EXTRACT_OUT_OF_MEMORY;
    try {
        Extraction extraction(ctx.get(), context, progress, stats != nullptr ? *stats : local, options);
        std::string folder(output_dir);
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        result = extraction.Run(source, range, folder);
    } catch (const std::exception& e) {
        // Only allocation failures get here (std::bad_alloc, std::length_error).
        Extraction::Log(options, EscapeForLog(source) + ": out of memory (" + e.what() + ")");
    }
    // What the file left for reuse goes back before the next file: a private
    // store ends with the context; the shared one keeps only what is in use
    // (another file's images, the window's previews).
    if (!options.private_store)
        MuTry(ctx.get(), [&] { fz_empty_store(ctx.get()); });
    ctx.reset();
    ReturnFreedMemory();
    return result;
}

}  // namespace kestran::pdf
