#include "pdf/pdf_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "pdf/file_stream.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_try.h"
#include "pdf/file_problem.h"

namespace kestran::pdf {
namespace {

// Many writers put the page tree and the catalog last, so a file cut off
// (an interrupted download) loses them while its pages and images are all
// there. Gives the document, in memory only, a new catalog whose page tree
// holds every page object in object-number order, the order writers create
// pages in. A page keeps a parent that is still there, for what it inherits.
// Returns the number of pages found.
int RebuildPageTree(fz_context* ctx, pdf_document* doc)
{
    if (pdf_trailer(ctx, doc) == nullptr)
        return 0;
    pdf_obj* kids = pdf_new_array(ctx, doc, 16);
    pdf_obj* pages = nullptr;
    pdf_obj* catalog = nullptr;
    int count = 0;
    fz_var(pages);
    fz_var(catalog);
    fz_try(ctx)
    {
        pages = pdf_add_new_dict(ctx, doc, 4);
        const int len = pdf_xref_len(ctx, doc);
        for (int num = 1; num < len; ++num) {
            pdf_obj* obj = nullptr;
            if (!MuTry(ctx, [&] { obj = pdf_load_object(ctx, doc, num); }))
                continue;
            // Dropped however the additions end: one that throws must not
            // leak the page object.
            fz_try(ctx)
            {
                if (pdf_is_dict(ctx, obj) &&
                    pdf_name_eq(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Type)), PDF_NAME(Page))) {
                    pdf_array_push_drop(ctx, kids, pdf_new_indirect(ctx, doc, num, 0));
                    if (!pdf_is_dict(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Parent))))
                        pdf_dict_put(ctx, obj, PDF_NAME(Parent), pages);
                    ++count;
                }
            }
            fz_always(ctx) { pdf_drop_obj(ctx, obj); }
            fz_catch(ctx) { fz_rethrow(ctx); }
        }
        if (count > 0) {
            pdf_dict_put(ctx, pages, PDF_NAME(Type), PDF_NAME(Pages));
            pdf_dict_put(ctx, pages, PDF_NAME(Kids), kids);
            pdf_dict_put_int(ctx, pages, PDF_NAME(Count), count);
            catalog = pdf_add_new_dict(ctx, doc, 2);
            pdf_dict_put(ctx, catalog, PDF_NAME(Type), PDF_NAME(Catalog));
            pdf_dict_put(ctx, catalog, PDF_NAME(Pages), pages);
            // Adding objects may have started a new section with its own
            // trailer: ask for the current one.
            pdf_dict_put(ctx, pdf_trailer(ctx, doc), PDF_NAME(Root), catalog);
        }
    }
    fz_always(ctx)
    {
        pdf_drop_obj(ctx, catalog);
        pdf_drop_obj(ctx, pages);
        pdf_drop_obj(ctx, kids);
    }
    fz_catch(ctx)
    {
        return 0;
    }
    return count;
}

// Page count of an opened document, or -1 when it needs a password we do not
// have. Throws like MuPDF does. A repaired document without a readable page
// tree gets one rebuilt from its page objects.
int UnlockedPageCount(fz_context* ctx, pdf_document* doc)
{
    if (pdf_needs_password(ctx, doc) && !pdf_authenticate_password(ctx, doc, ""))
        return -1;
    int pages = 0;
    if (MuTry(ctx, [&] { pages = pdf_count_pages(ctx, doc); }) && pages > 0)
        return pages;
    if (!pdf_was_repaired(ctx, doc))
        return pages;
    return RebuildPageTree(ctx, doc) > 0 ? pdf_count_pages(ctx, doc) : pages;
}

// Opens the document MuPDF finds in the file's first `length` bytes (the
// whole file when negative) followed by `tail`; throws like MuPDF does. The
// file is read through the engine's own stream, which a stop can end.
pdf_document* OpenThroughView(fz_context* ctx, const std::string& path, int64_t length, const char* tail,
                              int& pages)
{
    fz_stream* stm = OpenFileView(ctx, path, length, tail);
    pdf_document* doc = nullptr;
    fz_var(doc);
    fz_try(ctx)
    {
        doc = pdf_open_document_with_stream(ctx, stm);
        pages = UnlockedPageCount(ctx, doc);
    }
    fz_always(ctx) { fz_drop_stream(ctx, stm); }  // the document holds its own reference
    fz_catch(ctx)
    {
        pdf_drop_document(ctx, doc);
        fz_rethrow(ctx);
    }
    return doc;
}

OpenStatus TryOpen(fz_context* ctx, const std::string& path, OpenedPdf& out)
{
    pdf_document* doc = nullptr;
    int pages = 0;
    if (!MuTry(ctx, [&] { doc = OpenThroughView(ctx, path, -1, nullptr, pages); }))
        return OpenStatus::CannotOpen;
    out.doc.reset(ctx, doc);
    if (pages < 0)
        return OpenStatus::NeedsPassword;
    out.page_count = pages;
    out.repaired = pdf_was_repaired(ctx, doc) != 0;
    return pages > 0 ? OpenStatus::Ok : OpenStatus::CannotOpen;
}

// Where the file would be cut back for a salvage: past its last "endobj".
// 0 when there is no such place, or cutting there would change nothing.
int64_t SalvageLength(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st {};
    int64_t end = 0;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        end = LastCompleteObjectEnd(fd, st.st_size);
        if (end == st.st_size)
            end = 0;
    }
    close(fd);
    return end;
}

OpenStatus TrySalvage(fz_context* ctx, const std::string& path, OpenedPdf& out)
{
    const int64_t end = SalvageLength(path);
    if (end <= 0)
        return OpenStatus::CannotOpen;
    pdf_document* doc = nullptr;
    int pages = 0;
    // The file cut back, read in place; the newline ends the last "endobj".
    if (!MuTry(ctx, [&] { doc = OpenThroughView(ctx, path, end, "\n", pages); }))
        return OpenStatus::CannotOpen;
    PdfDocumentHandle held(ctx, doc);
    if (pages <= 0)
        return pages < 0 ? OpenStatus::NeedsPassword : OpenStatus::CannotOpen;
    out.doc = std::move(held);
    out.page_count = pages;
    out.repaired = true;
    out.salvaged = true;
    return OpenStatus::Ok;
}

}  // namespace

OpenStatus OpenPdf(fz_context* ctx, const std::string& path, OpenedPdf& out)
{
    out = OpenedPdf();
    if (ctx == nullptr || path.empty())
        return OpenStatus::CannotOpen;
    if (!ReadProblem(path).empty())
        return OpenStatus::CannotRead;
    OpenStatus status = TryOpen(ctx, path, out);
    if (status != OpenStatus::CannotOpen || StopRequestedHere())
        return status;
    out = OpenedPdf();
    return TrySalvage(ctx, path, out);
}

}  // namespace kestran::pdf
