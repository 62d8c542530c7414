// The encoding half of an extraction on threads of its own: decoding, colour
// conversion, PNG encoding and writing the file's bytes, while the calling
// thread walks the pages.
//
// The page walk stays on the calling thread (it owns the document, decides
// identity, deduplication and names); it hands each new image to the pool as
// an ImageTask and later commits the finished tasks in page and paint order,
// which gives every image its number and its final file name. A task's file
// is written under a temporary name (PendingImageFile), so a worker never
// needs to know the number.
//
// MuPDF rules this design follows (see mu_context.h): each worker has its own
// context cloned from the extraction's, sharing its store and allocator;
// fz_image objects are reference counted under MuPDF's locks, and decoding an
// image loaded from a PDF reads only the image's own buffers. A pdf_document,
// however, serves one thread at a time, and a few images do need theirs while
// they are encoded: a stand-in's stored stream (large_image.h) and a JPEG 2000
// object's original bytes are read through it. A worker therefore opens the
// same file a second time, once, on its first such image (OpenPdf is
// deterministic, salvage included, so object numbers agree), and builds its
// encoder on that document. Most images (the whole compressed stream is in
// the fz_image) never cause an open. When the reopen fails or the file has
// changed on disk since the walk opened it, the task goes back to the
// calling thread, which encodes it with its own document when it commits it.
//
// What a worker may touch, and why each is safe:
// - The task's fz_image, its mask and their compressed buffers: moved to the
//   worker with the task; reference counts are kept under MuPDF's locks, and
//   decoding only reads the buffers, which nobody changes after loading.
// - JBIG2 globals: one fz_jbig2_globals is shared by every image naming the
//   same /JBIG2Globals stream, and jbig2dec counts references on its symbols
//   without locks. Every decode of such an image, on any thread, holds a
//   SharedDecoderLock (decoder_lock.h), so no two run at once. The globals
//   free themselves through the context of the thread that loaded them,
//   which outlives them: MuPDF takes a document's entries out of the store
//   when the document is dropped, on that thread.
// - Colour spaces: reference counted under MuPDF's locks and immutable;
//   Debian's MuPDF has no ICC engine, so there is no shared link cache. ICC
//   profiles travel in the task as bytes the walk read; lcms2 transforms are
//   made by the thread that uses them.
// - The store: MuPDF's locks; any thread may evict what another stored.
// - The worker's own document and context: its alone, dropped on its thread;
//   it never knows less than the walk's (see below).
// - Other codecs (libjpeg, openjpeg, zlib, CCITT, LZW) keep state per decode
//   only: one codec per image, whether MuPDF decodes it or our own JPEG 2000
//   windows do (jpx_decode.h).
// The walk's document, its pages and its objects are never touched here.
//
// A document must never know less than the walk's did when it handed the
// image on: MuPDF repairs a damaged file lazily, on the first object it
// cannot find, and a repair also corrects stream lengths. A worker's document
// is therefore repaired too before it reads an image the walk handed on from
// a repaired document; and when reading an image repairs the worker's own
// document while the walk's was not, the image goes back to the calling
// thread, whose document then learns the same (a run on one thread would
// have repaired it there).
#ifndef KESTRAN_PDF_ENCODE_POOL_H
#define KESTRAN_PDF_ENCODE_POOL_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pdf/image_encoder.h"
#include "pdf/mu_context.h"
#include "pdf/output_file.h"

namespace kestran::pdf {

// The identity of a file on disk, to tell that a file opened twice is still
// the same file.
struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modified_ns = 0;

    static FileIdentity Of(const std::string& path);
    bool operator==(const FileIdentity& other) const;
};

// What every encoding of one extraction shares.
struct EncodeSettings {
    std::string source;    // the PDF, for a worker's own document
    FileIdentity identity; // the PDF as the walk opened it
    int page_count = 0;    // as the walk's OpenPdf counted them
    std::string folder;    // where the image files go
    int png_level = 0;
    size_t stream_bytes = 0;
    // Images of one flat colour are left out: a copied JPEG or JPEG 2000,
    // whose rows the writers never see, is decoded to tell.
    bool skip_flat = false;
    bool sha256 = false;  // each file's SHA-256 is wanted (image records)
    OutputType output_type = OutputType::Original;
};

// One new image on its way from the page walk to its file.
struct ImageTask {
    // Set by the page walk.
    DrawnImage drawn;
    uint64_t weight = 0;  // declared decoded bytes, for the pool's memory bound
    bool walk_repaired = false;  // the walk's document had been repaired when it handed the image on

    // Set by the encoding.
    EncodeStatus status = EncodeStatus::Skipped;
    std::string why;                      // why it was skipped
    std::string extension;
    ImageAction action = ImageAction::Written;  // copied, converted or written
    PendingImageFile file;                // complete, under a temporary name
    OutputStatus written = OutputStatus::Ok;
    uint64_t size = 0;
    bool short_data = false;              // the data ended early; the rest is filled in
    std::optional<PixelHash> pixels;      // what the written file shows, when known (EncodedImage)
    bool flat = false;                    // every pixel of it is the same (looked at with skip_flat)
    bool for_walker = false;              // to be encoded by the calling thread after all
    std::exception_ptr failure;           // thrown while encoding; rethrown at the commit

    // Set last, once everything above is final (release/acquire).
    std::atomic<bool> done{false};
};

// Encodes `task.drawn`, writes its bytes into task.file (not yet named) and
// frees the image, the way the sequential loop always has: a streamed file
// that fails part way is tried once more held in memory. `doc` is the
// document of `ctx`'s thread, or null when NeedsDocument is false.
void EncodeImageTask(fz_context* ctx, pdf_document* doc, const EncodeSettings& settings, ImageTask& task);

// True when encoding `drawn` reads its document: the DrawnImage fields that
// name objects of the document are set.
bool NeedsDocument(const DrawnImage& drawn);

// Worker threads for one extraction. Threads start as work arrives, up to
// `workers` (with 1, none: the caller encodes), plus one for each thread it
// can take from `spare` (threads another part of the process has left idle,
// given back when the pool ends). The destructor stops the workers and waits
// for them (a task being encoded is finished first, queued tasks are left
// undone for their owner).
class EncodePool {
public:
    // `ctx` is the calling thread's context: workers get clones of it. `max_bytes`
    // bounds the declared decoded bytes of tasks queued or running. `spare` may be null.
    EncodePool(fz_context* ctx, const EncodeSettings& settings, int workers, uint64_t max_bytes,
               std::atomic<int>* spare = nullptr);
    ~EncodePool();
    EncodePool(const EncodePool&) = delete;
    EncodePool& operator=(const EncodePool&) = delete;

    // Queues `task` (owned by the caller until it is done and after). False
    // when no worker could be started: the caller encodes it itself.
    bool Submit(ImageTask* task);

    // True when a task of `weight` bytes fits the memory bound now (one task
    // always fits when nothing is queued or running).
    bool HasRoom(uint64_t weight) const;

    // Waits until some task finishes that had not when the previous call returned.
    void WaitForFinish();

    // Worker threads started so far.
    size_t Workers() const { return threads_.size(); }

private:
    void Work(fz_context* ctx);
    void Encode(fz_context* ctx, PdfDocumentHandle& doc, bool& doc_tried, ImageTask& task);
    bool StartWorker();
    bool BorrowSpare();
    size_t Allowed() const;

    fz_context* ctx_;
    const EncodeSettings& settings_;
    const size_t max_workers_;
    const uint64_t max_bytes_;
    std::atomic<int>* spare_;
    int borrowed_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::deque<ImageTask*> queue_;
    uint64_t unfinished_bytes_ = 0;
    uint64_t finish_count_ = 0;
    uint64_t observed_finishes_ = 0;
    size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;  // started and joined by the calling thread only
};

// Workers for a pool when ExtractOptions leaves it open: one per core.
int DefaultWorkerCount();

}  // namespace kestran::pdf

#endif
