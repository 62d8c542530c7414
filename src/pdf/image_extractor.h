// ExtractImages: the extraction loop (pages walked in order, new images
// encoded side by side, files named in order), progress and results.
#ifndef KESTRAN_PDF_IMAGE_EXTRACTOR_H
#define KESTRAN_PDF_IMAGE_EXTRACTOR_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "pdf/large_image.h"
#include "pdf/output_choice.h"
#include "pdf/pdf_service.h"
#include "pdf/png_writer.h"

namespace kestran::pdf {

struct ExtractStats {
    int images_written = 0;
    int images_skipped = 0;
    // Images whose file was in the folder already, with the same bytes
    // (an earlier run): nothing written, not counted as written.
    int images_already_there = 0;
    uint64_t bytes_written = 0;
};

struct ExtractOptions {
    int png_level = kDefaultPngLevel;  // deflate effort for PNG files
    // Images whose stored stream or decoded samples reach this size are
    // streamed from the file to the output instead of being held in memory.
    size_t stream_bytes = kDefaultStandInBytes;
    // A store of its own, small and dropped with the file, so that neither
    // touches what a preview caches in the shared one. Off: the process's
    // shared store, emptied of what is not in use when the file ends.
    bool private_store = true;
    // Pages that cannot draw an image (see PageCanDrawImages) are not run.
    // Off only to check that the result is the same.
    bool skip_imageless_pages = true;
    // Threads that decode, convert, encode and write images while the calling
    // thread walks the pages: 0 = one per core, 1 = everything on the calling
    // thread. The files, names, log lines and progress calls are the same
    // whatever the number.
    int workers = 0;
    // Images handed to the workers and not yet encoded declare together at
    // most this many decoded bytes (a single larger image still goes alone).
    uint64_t queue_bytes = uint64_t(256) << 20;
    // Threads the caller has left idle (files run side by side that have
    // ended): the extraction may take them as extra workers while it runs and
    // gives them back at its end. Null: only `workers`.
    std::atomic<int>* spare_workers = nullptr;
    // What the images become (see OutputType) and which are left out.
    OutputType output_type = OutputType::Original;
    ImageFilters filters;
    // Receives the record of every image found, on the calling thread, in
    // the order of the pages and images (the manifest's rows). May be empty.
    std::function<void(const ImageRecord& record)> record;
    // Receives each log line (without its newline) on the calling thread, in
    // the order of the pages and images; when empty, the lines go to
    // standard error.
    std::function<void(const std::string& line)> log;
};

// The whole of ExtractImages; returns a KestranExtractResult. `stats` may be null.
int ExtractImagesFromFile(const char* source, const char* range, const char* output_dir, void* context,
                          PdfProgressFn progress, ExtractStats* stats = nullptr,
                          const ExtractOptions& options = ExtractOptions());

}  // namespace kestran::pdf

#endif
