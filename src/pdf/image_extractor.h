// ExtractImages: the page walk, the image identity, progress and results.
#ifndef KESTRAN_PDF_IMAGE_EXTRACTOR_H
#define KESTRAN_PDF_IMAGE_EXTRACTOR_H

#include <cstdint>
#include <string>

#include "pdf/large_image.h"
#include "pdf/pdf_service.h"
#include "pdf/png_writer.h"

namespace kestran::pdf {

struct ExtractStats {
    int images_written = 0;
    int images_skipped = 0;
    uint64_t bytes_written = 0;
};

struct ExtractOptions {
    int png_level = kDefaultPngLevel;  // deflate effort for PNG files
    // Images whose stored stream or decoded samples reach this size are
    // streamed from the file to the output instead of being held in memory.
    size_t stream_bytes = kDefaultStandInBytes;
    // A store of its own, so that emptying it never touches what a preview
    // caches in the shared one. A process that runs nothing else (the
    // command-line extractor) shares the store and spares its memory.
    bool private_store = true;
    // Pages that cannot draw an image (see PageCanDrawImages) are not run.
    // Off only to check that the result is the same.
    bool skip_imageless_pages = true;
};

// The whole of ExtractImages; returns a KestranExtractResult. `stats` may be null.
int ExtractImagesFromFile(const char* source, const char* range, const char* output_dir, void* context,
                          PdfProgressFn progress, ExtractStats* stats = nullptr,
                          const ExtractOptions& options = ExtractOptions());

}  // namespace kestran::pdf

#endif
