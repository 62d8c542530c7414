// The C interface of the PDF service on MuPDF.
//
// Every operation clones the process-wide MuPDF context for the calling
// thread and opens its own document, so page counting on a worker, previews
// on the window thread and an extraction job never share a document.
#include "pdf/pdf_service.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"
#include "pdf/output_file.h"
#include "pdf/pdf_open.h"

namespace {

using namespace kestran::pdf;

// Previews never exceed this many pixels, whatever the page size; the window
// scales the picture down, so it stays sharp at the sizes the preview shows.
constexpr double kMaxPreviewPixels = 4.0 * 1000 * 1000;
// ... nor more than this many pixels per point (216 dpi).
constexpr double kMaxPreviewZoom = 3.0;
// ... nor a side longer than this.
constexpr double kMaxPreviewSide = 16384.0;

void ServiceSetCancel(int cancel)
{
    if (cancel != 0)
        RequestCancel();
}

P2xOpenResult ServiceCheckOpen(Pdf2xxService*, const char* path)
{
    P2xOpenResult result{};
    MuContextPtr ctx = NewThreadContext();
    if (!ctx || path == nullptr)
        return result;
    OpenedPdf pdf;
    OpenStatus status = OpenPdf(ctx.get(), path, pdf);
    result.needs_password = status == OpenStatus::NeedsPassword ? 1 : 0;
    if (status == OpenStatus::Ok) {
        result.usable = 1;
        result.page_count = pdf.page_count;
        result.repaired = pdf.repaired ? 1 : 0;
    }
    return result;
}

int ServiceGetPageCount(Pdf2xxService*, const char* path, int)
{
    MuContextPtr ctx = NewThreadContext();
    if (!ctx || path == nullptr)
        return -1;
    OpenedPdf pdf;
    if (OpenPdf(ctx.get(), path, pdf) != OpenStatus::Ok)
        return -1;
    return pdf.page_count;
}

unsigned char* ServiceRenderPage(Pdf2xxService*, const char* path, int page, int, int, int* width, int* height)
{
    if (width != nullptr)
        *width = 0;
    if (height != nullptr)
        *height = 0;
    MuContextPtr ctx = NewThreadContext();
    if (!ctx || path == nullptr)
        return nullptr;
    OpenedPdf pdf;
    if (OpenPdf(ctx.get(), path, pdf) != OpenStatus::Ok || page < 1 || page > pdf.page_count)
        return nullptr;
    fz_context* c = ctx.get();
    fz_page* fzpage = nullptr;
    fz_pixmap* pix = nullptr;
    fz_device* dev = nullptr;
    fz_matrix ctm = fz_identity;
    bool ok = MuTry(c, [&] {
        fzpage = fz_load_page(c, &pdf.doc.get()->super, page - 1);
        fz_rect bounds = fz_bound_page(c, fzpage);
        double pw = std::max(1.0, static_cast<double>(bounds.x1 - bounds.x0));
        double ph = std::max(1.0, static_cast<double>(bounds.y1 - bounds.y0));
        double zoom = std::min(kMaxPreviewZoom, std::sqrt(kMaxPreviewPixels / (pw * ph)));
        // A page of absurd proportions (1 x 10^7 points) would still make a
        // strip millions of pixels long: the long side has a cap of its own.
        zoom = std::min(zoom, kMaxPreviewSide / std::max(pw, ph));
        // Rounding out to the pixel grid adds up to a row and a column, which
        // doubles a one-pixel-wide strip: shrink until the grid fits the cap.
        fz_irect box = fz_empty_irect;
        for (int attempt = 0; attempt < 8; ++attempt) {
            ctm = fz_scale(static_cast<float>(zoom), static_cast<float>(zoom));
            box = fz_round_rect(fz_transform_rect(bounds, ctm));
            const double pixels = static_cast<double>(box.x1 - box.x0) * static_cast<double>(box.y1 - box.y0);
            if (pixels <= kMaxPreviewPixels)
                break;
            zoom *= 0.98 * kMaxPreviewPixels / pixels;
        }
        pix = fz_new_pixmap_with_bbox(c, fz_device_rgb(c), box, nullptr, 0);
        fz_clear_pixmap_with_value(c, pix, 0xff);
        dev = fz_new_draw_device(c, ctm, pix);
    });
    if (ok) {
        // A page that fails part way (a broken image, a damaged stream) still
        // shows what was drawn up to there, as viewers do.
        MuTry(c, [&] {
            fz_run_page(c, fzpage, dev, fz_identity, nullptr);
            fz_close_device(c, dev);
        });
    }
    fz_drop_device(c, dev);
    fz_drop_page(c, fzpage);
    unsigned char* rgb = nullptr;
    if (ok && pix != nullptr && fz_pixmap_components(c, pix) == 3) {
        const int w = fz_pixmap_width(c, pix);
        const int h = fz_pixmap_height(c, pix);
        const size_t row = static_cast<size_t>(w) * 3;
        // malloc: the window hands the buffer to an image that frees it with free().
        rgb = static_cast<unsigned char*>(std::malloc(row * static_cast<size_t>(h)));
        if (rgb != nullptr) {
            const unsigned char* s = fz_pixmap_samples(c, pix);
            const size_t stride = static_cast<size_t>(fz_pixmap_stride(c, pix));
            for (int y = 0; y < h; ++y)
                std::memcpy(rgb + row * static_cast<size_t>(y), s + stride * static_cast<size_t>(y), row);
            if (width != nullptr)
                *width = w;
            if (height != nullptr)
                *height = h;
        }
    }
    fz_drop_pixmap(c, pix);
    return rgb;
}

int ServiceExtractImages(const char* source, const char* range, const char* output_dir, void* context,
                         PdfProgressFn progress)
{
    return ExtractImagesFromFile(source, range, output_dir, context, progress);
}

}  // namespace

extern "C" Pdf2xxService* CreatePdf2xxService(const char*)
{
    std::unique_ptr<Pdf2xxService> service(new (std::nothrow) Pdf2xxService{});
    if (!service)
        return nullptr;
    service->SetCancel = ServiceSetCancel;
    service->CheckOpen = ServiceCheckOpen;
    service->RenderPage = ServiceRenderPage;
    service->GetPageCount = ServiceGetPageCount;
    NewThreadContext();  // creates the base context before threads race for it
    return service.release();
}

extern "C" void FreePdf2xxService(Pdf2xxService* service)
{
    std::unique_ptr<Pdf2xxService> owned(service);
}

extern "C" int CreatePdfService(PdfServiceTable* table)
{
    if (table == nullptr)
        return -1;
    std::memset(table, 0, sizeof *table);
    table->ExtractImages = ServiceExtractImages;
    ClearCancel();  // a stop belongs to the job it was meant for
    return 0;
}

extern "C" void FreePdfService(PdfServiceTable* table)
{
    if (table != nullptr)
        std::memset(table, 0, sizeof *table);
}

extern "C" void KestranDiscardPartialOutputs(void)
{
    // The cancel first, so that a writer whose file goes away sees a stop
    // rather than a broken folder and ends its job at once.
    RequestCancel();
    DiscardTemporaryFiles();
}
