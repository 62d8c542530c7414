// The C interface of the PDF service on MuPDF.
//
// Every operation clones the process-wide MuPDF context for the calling
// thread and opens its own document, so page counting on a worker, previews
// on the window thread and an extraction job never share a document. The one
// exception is the preview's own: the renderer keeps the last previewed
// document open between pages (preview_renderer.h), for its calls alone.
#include "pdf/pdf_service.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/manifest.h"
#include "pdf/mu_context.h"
#include "pdf/output_file.h"
#include "pdf/pdf_open.h"
#include "pdf/preview_renderer.h"

namespace {

using namespace kestran::pdf;

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

unsigned char* ServiceRenderPage(Pdf2xxService* service, const char* path, int page, int fit_width,
                                 int fit_height, int* width, int* height)
{
    PreviewRenderer* renderer = PreviewRendererOf(service);
    if (renderer == nullptr) {
        if (width != nullptr)
            *width = 0;
        if (height != nullptr)
            *height = 0;
        return nullptr;
    }
    return renderer->Render(path, page, fit_width, fit_height, width, height);
}

int ServiceExtractImages(const char* source, const char* range, const char* output_dir, void* context,
                         PdfProgressFn progress)
{
    return ExtractImagesFromFile(source, range, output_dir, context, progress);
}

int ServiceExtractImagesCounted(const char* source, const char* range, const char* output_dir, void* context,
                                PdfProgressFn progress, int* images_written)
{
    ExtractStats stats;
    const int result = ExtractImagesFromFile(source, range, output_dir, context, progress, &stats);
    if (images_written != nullptr)
        *images_written = stats.images_written;
    return result;
}

int ServiceExtractImagesChosen(const char* source, const char* range, const char* output_dir, void* context,
                               PdfProgressFn progress, const KestranExtractChoices* choices,
                               KestranExtractCounts* counts)
{
    ExtractOptions options;
    if (choices != nullptr) {
        if (choices->output_type == int32_t(OutputType::Png))
            options.output_type = OutputType::Png;
        else if (choices->output_type == int32_t(OutputType::Jpeg))
            options.output_type = OutputType::Jpeg;
        options.filters.min_side = std::max<int32_t>(choices->min_side, 0);
        options.filters.skip_flat = choices->skip_flat != 0;
    }
    // The manifest is created before any image is written; one that cannot
    // be created fails the file as an output that cannot be written.
    ManifestWriter manifest;
    if (choices != nullptr && choices->manifest_path != nullptr && *choices->manifest_path != '\0') {
        if (!manifest.Open(choices->manifest_path))
            return KESTRAN_EXTRACT_WRITE_FAILED;
        options.record = [&manifest](const ImageRecord& record) { manifest.Write(record); };
    }
    ExtractStats stats;
    const int result = ExtractImagesFromFile(source, range, output_dir, context, progress, &stats, options);
    if (counts != nullptr) {
        counts->images_written = stats.images_written;
        counts->images_skipped = stats.images_skipped;
        counts->images_already_there = stats.images_already_there;
    }
    return result;
}

}  // namespace

namespace kestran::pdf {

PreviewRenderer* PreviewRendererOf(Pdf2xxService* service)
{
    return service != nullptr ? static_cast<PreviewRenderer*>(service->impl) : nullptr;
}

}  // namespace kestran::pdf

extern "C" Pdf2xxService* CreatePdf2xxService(const char*)
{
    std::unique_ptr<Pdf2xxService> service(new (std::nothrow) Pdf2xxService{});
    std::unique_ptr<PreviewRenderer> renderer(new (std::nothrow) PreviewRenderer());
    if (!service || !renderer)
        return nullptr;
    // The table is C: the slot holds the renderer, FreePdf2xxService takes it back.
    service->impl = renderer.release();
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
    // Goes first: closes the kept document and ends the deadline thread.
    std::unique_ptr<PreviewRenderer> renderer(PreviewRendererOf(service));
}

extern "C" void P2xClosePreview(Pdf2xxService* service)
{
    if (PreviewRenderer* renderer = PreviewRendererOf(service))
        renderer->Close();
}

extern "C" int CreatePdfService(PdfServiceTable* table)
{
    if (table == nullptr)
        return -1;
    std::memset(table, 0, sizeof *table);
    table->ExtractImages = ServiceExtractImages;
    table->ExtractImagesCounted = ServiceExtractImagesCounted;
    table->ExtractImagesChosen = ServiceExtractImagesChosen;
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
