// The page walk: what one page draws, found by running it.
#ifndef KESTRAN_PDF_PAGE_WALK_H
#define KESTRAN_PDF_PAGE_WALK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
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

// Looks through content stream bytes, fed in pieces of any size, for the
// inline-image operator BI as the content interpreter would meet it: not
// inside a string, a comment or a name, and delimited on both sides. Stops
// looking at the first one, so the bytes of the image data never matter.
class InlineImageScan {
public:
    // True once the operator was seen (in this piece or an earlier one).
    bool Feed(const unsigned char* data, size_t n);
    // The end of the content: a pending "BI" at the very end counts.
    bool Finish();
    bool Found() const { return found_; }
    // Bytes of the last piece looked at: when Feed found the operator, its
    // last byte is the one that ended "BI" (the dictionary starts there).
    size_t Consumed() const { return consumed_; }
    // Looks for the next one, as if between two operators (after an image's EI).
    void Restart() { *this = InlineImageScan(); }

private:
    enum class State : uint8_t { Between, Word, Name, Comment, String, StringEscape, AfterLess, HexString };
    void EndWord();

    State state_ = State::Between;
    int depth_ = 0;     // open parentheses inside a string
    int word_len_ = 0;  // length of the current keyword so far
    char word_[2] = {0, 0};
    bool found_ = false;
    size_t consumed_ = 0;
};

// Blanks out, in `content` (a page's or form's content as the interpreter
// reads it), every inline image MuPDF cannot load with the resources `res`:
// its bytes from BI through EI become spaces, so that a run goes on to the
// images after it. Returns one "inline image N: why" per image blanked, N
// counting the inline images of the content from 1.
std::vector<std::string> BlankBrokenInlineImages(fz_context* ctx, pdf_document* doc, pdf_obj* res,
                                                 std::string& content);

// What the walk learnt about resource dictionaries and forms of one document:
// whether each can lead to an image being drawn. Text documents share one
// resource dictionary across hundreds of pages, so the question is answered
// once. Kept by whoever walks the document's pages, on one thread.
class ImageReach {
public:
    // Known answer for a dictionary or stream (object number, how it was
    // reached), or -1.
    int Known(int num, int kind) const;
    void Learn(int num, int kind, bool can_draw);
    // Forgets everything when the document was repaired since the answers
    // were learnt (the objects behind the numbers may have changed).
    void Follow(fz_context* ctx, pdf_document* doc);

private:
    std::unordered_map<int64_t, bool> known_;
    bool repaired_ = false;
};

// Whether page `page` (1-based) can draw an image at all, decided from the
// page object without loading or running the page: true when its content
// holds an inline image, when anything it can reach (its inherited resources;
// forms, tiling patterns and soft-mask groups at any depth; the appearance
// streams of its annotations and widgets in every state) names an image
// XObject or holds an inline image, and whenever something cannot be read or
// is out of the ordinary. False only when no image can be drawn.
bool PageCanDrawImages(fz_context* ctx, pdf_document* doc, int page, ImageReach& reach);

// Runs pages of one open document; one walker per document and thread.
class PageWalker {
public:
    // Image streams of at least `standin_bytes` stay in the file while the
    // page runs (see large_image.h). With `reach`, a page that cannot draw an
    // image (PageCanDrawImages) is not run; it then yields nothing.
    PageWalker(fz_context* ctx, pdf_document* doc, size_t standin_bytes, ImageReach* reach = nullptr)
        : ctx_(ctx), doc_(doc), standin_bytes_(standin_bytes), reach_(reach)
    {
    }

    // Runs page `page` (1-based). An error part way keeps the images found up
    // to that point.
    PageImages Collect(int page);

private:
    fz_context* ctx_;
    pdf_document* doc_;
    size_t standin_bytes_;
    ImageReach* reach_;
};

// Removes the page's image objects from MuPDF's store (see the extraction loop).
void ReleaseFromStore(fz_context* ctx, pdf_document* doc, const std::vector<std::pair<int, int>>& objects);

}  // namespace kestran::pdf

#endif
