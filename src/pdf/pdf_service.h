// The program's PDF service: a C interface with fixed table positions, so the
// conversion code and the windows only ever call through these tables. The
// implementation lives in src/pdf on top of MuPDF.
//
// Two services:
//  - the P2X service (one per process): page count, open test, page rendering
//    for the preview (which keeps one document open, see P2xClosePreview),
//    and the cancel of a running extraction;
//  - the PDF service (one per extraction job): ExtractImages.
// Strings are UTF-8; paths use "/" as separator (only "/": a backslash is part
// of a file or folder name).
#ifndef KESTRAN_PDF_PDF_SERVICE_H
#define KESTRAN_PDF_PDF_SERVICE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of ExtractImages. 0 is success, including a file without images.
enum KestranExtractResult {
    KESTRAN_EXTRACT_OK = 0,
    KESTRAN_EXTRACT_CANNOT_OPEN = 1,       // not a PDF MuPDF can open, or it needs a password
    KESTRAN_EXTRACT_NO_PAGE = 2,           // the range selects no page of the file
    KESTRAN_EXTRACT_OUTPUT_FOLDER = 3,     // output folder missing or not writable
    KESTRAN_EXTRACT_WRITE_FAILED = 4,      // an image could not be written (disk full, ...)
    KESTRAN_EXTRACT_CANCELLED = 5,         // SetCancel(1) or the progress function returned -2
    KESTRAN_EXTRACT_BAD_ARGUMENT = 6,      // null or empty source, range or folder
    KESTRAN_EXTRACT_OUT_OF_MEMORY = 7      // memory ran out (the file is abandoned, nothing half-written)
};

// Answer of CheckOpen. Callers read only `usable`; the rest is informative.
typedef struct P2xOpenResult {
    int32_t usable;       // non-zero: opens (repaired if needed), no password, at least one page
    int32_t page_count;   // pages when usable, else 0
    int32_t repaired;     // non-zero when MuPDF had to repair the file
    int32_t needs_password;
} P2xOpenResult;

struct Pdf2xxService;
typedef void (*P2xSetCancelFn)(int cancel);
typedef P2xOpenResult (*P2xCheckOpenFn)(struct Pdf2xxService* service, const char* path);
// Renders page `page` (1-based) as RGB, width * height * 3 bytes from malloc
// (the caller frees it with free), or NULL; width and height receive the
// image size (0 with NULL).
//  - fit_width, fit_height both > 0: the page at the largest zoom at which it
//    fits whole in that box, proportions kept; the image is at most the box
//    and, unless a cap below bites, as wide or as high as it.
//  - otherwise (0, 0, or a negative side): the page as large as the caps allow.
// Caps in both cases: 4 million pixels and 16384 pixels per side; without a
// box also 3 pixels per point (216 dpi).
// The document stays open for the next call with the same path until
// another path is rendered, the file changes on disk (size, modification
// time or inode), or P2xClosePreview. Drawing a page (after opening the
// file) has about two seconds: a page that takes longer (damaged, or built
// never to end) comes back as drawn by then, or NULL when nothing was drawn
// yet; of a page made of more than 2000 content streams the first 2000 are
// drawn. A stop of the running extraction (SetCancel) never affects it. Any
// thread; calls run one at a time.
typedef unsigned char* (*P2xRenderPageFn)(struct Pdf2xxService* service, const char* path, int page,
                                          int fit_width, int fit_height, int* width, int* height);
// Page count, or -1 when the file cannot be opened. The int argument is reserved (pass 0).
typedef int (*P2xGetPageCountFn)(struct Pdf2xxService* service, const char* path, int reserved);

// Positions counted from 1: 2 SetCancel, 5 CheckOpen, 6 RenderPage, 7 GetPageCount.
typedef struct Pdf2xxService {
    void* reserved1;                 // 1
    P2xSetCancelFn SetCancel;        // 2
    void* reserved3;                 // 3
    void* reserved4;                 // 4
    P2xCheckOpenFn CheckOpen;        // 5
    P2xRenderPageFn RenderPage;      // 6
    P2xGetPageCountFn GetPageCount;  // 7
    void* impl;                      // 8: private to the service
} Pdf2xxService;

// `exe_dir`: the UTF-8 executable folder. Returns NULL only when out of memory.
Pdf2xxService* CreatePdf2xxService(const char* exe_dir);
// Also closes the document kept for previews.
void FreePdf2xxService(Pdf2xxService* service);

// Closes the document RenderPage keeps open for previews, releasing the file.
// Safe to call any time, with nothing open, or with NULL; waits for a render
// running on another thread. The next RenderPage opens the file again.
void P2xClosePreview(struct Pdf2xxService* service);

// Progress function: called on the extracting thread with the caller's context.
// Returning -2 abandons the file (ExtractImages then returns KESTRAN_EXTRACT_CANCELLED).
typedef int (*PdfProgressFn)(void* context, int done, int total);

// ExtractImages(source, range, output folder, context, progress): see the
// implementation for the image formats and file names. Returns a KestranExtractResult.
typedef int (*PdfExtractImagesFn)(const char* source, const char* range, const char* output_dir,
                                  void* context, PdfProgressFn progress);

// ExtractImages that also tells how many image files it wrote into
// `images_written` (may be NULL), for the end-of-job summary.
typedef int (*PdfExtractImagesCountedFn)(const char* source, const char* range, const char* output_dir,
                                         void* context, PdfProgressFn progress, int* images_written);

// What the user chose for a job: the output type (0 original, 1 PNG, 2 JPEG),
// the filters (`min_side` pixels, 0 = off; `skip_flat` non-zero: leave out
// images of one flat colour) and a manifest file to write (CSV, or JSON Lines
// when the name ends in ".jsonl"; NULL or empty: none). An existing manifest
// is never overwritten: it gets " (2)" as an image would.
typedef struct KestranExtractChoices {
    int32_t output_type;
    int32_t min_side;
    int32_t skip_flat;
    const char* manifest_path;
} KestranExtractChoices;

// What one file's extraction did with its images.
typedef struct KestranExtractCounts {
    int32_t images_written;        // image files written
    int32_t images_skipped;        // images left out (filters, nothing decodable, over the budget)
    int32_t images_already_there;  // the same file was in the output folder already: not written again
} KestranExtractCounts;

// ExtractImagesCounted with the user's choices (NULL: the defaults); the
// counts go to `counts` (may be NULL).
typedef int (*PdfExtractImagesChosenFn)(const char* source, const char* range, const char* output_dir,
                                        void* context, PdfProgressFn progress,
                                        const KestranExtractChoices* choices, KestranExtractCounts* counts);

// Caller-owned table; positions counted from 1, ExtractImagesChosen at 10,
// ExtractImagesCounted at 11, ExtractImages at 12.
typedef struct PdfServiceTable {
    void* reserved[9];                              // 1 to 9
    PdfExtractImagesChosenFn ExtractImagesChosen;   // 10
    PdfExtractImagesCountedFn ExtractImagesCounted;  // 11
    PdfExtractImagesFn ExtractImages;               // 12
    void* impl;                         // 13: private to the service
} PdfServiceTable;

// Fills the table and starts a new job: a cancel requested for an earlier job is cleared.
// Returns 0 on success.
int CreatePdfService(PdfServiceTable* table);
void FreePdfService(PdfServiceTable* table);

// For a process about to end (a window closing in the middle of a job):
// requests the cancel of the running extraction, removes the hidden temporary
// image files being written at this moment and stops every extraction, now and
// later, from creating another image file, so that ending the process right
// after the call leaves no partial file in any output folder. Image files
// already complete stay. Irreversible: no image file can be written by this
// process afterwards, whatever job is started. Safe from any thread; it never
// waits for an image being written.
void KestranDiscardPartialOutputs(void);

// fopen for a UTF-8 path.
FILE* NIMBfopen(const char* path, const char* mode);

#ifdef __cplusplus
}
#endif

#endif
