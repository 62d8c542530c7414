// The page walk: what one page draws, found by running it.
#ifndef KESTRAN_PDF_PAGE_WALK_H
#define KESTRAN_PDF_PAGE_WALK_H

#include <string>
#include <utility>
#include <vector>

#include "pdf/image_encoder.h"
#include "pdf/mu_context.h"

namespace kestran::pdf {

// What one page draws.
struct PageImages {
    bool loaded = false;                            // false: the page itself could not be loaded
    std::string error;                              // why the page or its run failed, when it did
    std::vector<DrawnImage> images;                 // in paint order
    std::vector<std::pair<int, int>> image_objects; // image objects it can reach (number, generation)
    std::vector<std::string> set_aside;             // broken images skipped so the rest could be found
};

// Runs pages of one open document; one walker per document and thread.
class PageWalker {
public:
    // Image streams of at least `standin_bytes` stay in the file while the
    // page runs (see large_image.h).
    PageWalker(fz_context* ctx, pdf_document* doc, size_t standin_bytes) : ctx_(ctx), doc_(doc), standin_bytes_(standin_bytes) {}

    // Runs page `page` (1-based). An error part way keeps the images found up
    // to that point.
    PageImages Collect(int page);

private:
    fz_context* ctx_;
    pdf_document* doc_;
    size_t standin_bytes_;
};

// Removes the page's image objects from MuPDF's store (see the extraction loop).
void ReleaseFromStore(fz_context* ctx, pdf_document* doc, const std::vector<std::pair<int, int>>& objects);

}  // namespace kestran::pdf

#endif
