#include "pdf/pdf_open.h"

#include <sys/stat.h>

#include <cstring>

#include "pdf/mu_try.h"
#include "pdf/read_problem.h"

namespace kestran::pdf {
namespace {

// Larger files are not read into memory for a salvage attempt.
constexpr long long kMaxSalvageBytes = 1LL << 30;

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
            if (pdf_is_dict(ctx, obj) && pdf_name_eq(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Type)), PDF_NAME(Page))) {
                pdf_array_push_drop(ctx, kids, pdf_new_indirect(ctx, doc, num, 0));
                if (!pdf_is_dict(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Parent))))
                    pdf_dict_put(ctx, obj, PDF_NAME(Parent), pages);
                ++count;
            }
            pdf_drop_obj(ctx, obj);
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

OpenStatus TryOpen(fz_context* ctx, const std::string& path, OpenedPdf& out)
{
    pdf_document* doc = nullptr;
    int pages = 0;
    fz_var(doc);
    fz_var(pages);
    fz_try(ctx)
    {
        doc = pdf_open_document(ctx, path.c_str());
        pages = UnlockedPageCount(ctx, doc);
    }
    fz_catch(ctx)
    {
        pdf_drop_document(ctx, doc);
        return OpenStatus::CannotOpen;
    }
    out.doc.reset(ctx, doc);
    if (pages < 0)
        return OpenStatus::NeedsPassword;
    out.page_count = pages;
    out.repaired = pdf_was_repaired(ctx, doc) != 0;
    return pages > 0 ? OpenStatus::Ok : OpenStatus::CannotOpen;
}

// Offset just past the last "endobj" keyword, or 0.
size_t LastCompleteObjectEnd(const unsigned char* data, size_t size)
{
    static const char kKeyword[] = "endobj";
    const size_t k = sizeof kKeyword - 1;
    if (size < k)
        return 0;
    for (size_t pos = size - k + 1; pos-- > 0;)
        if (data[pos] == 'e' && std::memcmp(data + pos, kKeyword, k) == 0)
            return pos + k;
    return 0;
}

OpenStatus TrySalvage(fz_context* ctx, const std::string& path, OpenedPdf& out)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || st.st_size <= 0 || st.st_size > kMaxSalvageBytes)
        return OpenStatus::CannotOpen;
    fz_buffer* data = nullptr;
    fz_buffer* cut = nullptr;
    fz_stream* stm = nullptr;
    pdf_document* doc = nullptr;
    int pages = 0;
    fz_var(data);
    fz_var(cut);
    fz_var(stm);
    fz_var(doc);
    fz_try(ctx)
    {
        data = fz_read_file(ctx, path.c_str());
        unsigned char* bytes = nullptr;
        size_t size = fz_buffer_storage(ctx, data, &bytes);
        size_t end = LastCompleteObjectEnd(bytes, size);
        if (end == 0 || end == size)
            fz_throw(ctx, FZ_ERROR_GENERIC, "nothing to cut back");
        cut = fz_new_buffer_from_copied_data(ctx, bytes, end);
        fz_append_string(ctx, cut, "\n");
        fz_drop_buffer(ctx, data);
        data = nullptr;
        stm = fz_open_buffer(ctx, cut);
        doc = pdf_open_document_with_stream(ctx, stm);
        pages = UnlockedPageCount(ctx, doc);
    }
    fz_always(ctx)
    {
        fz_drop_stream(ctx, stm);
        fz_drop_buffer(ctx, cut);
        fz_drop_buffer(ctx, data);
    }
    fz_catch(ctx)
    {
        pdf_drop_document(ctx, doc);
        return OpenStatus::CannotOpen;
    }
    if (pages <= 0) {
        pdf_drop_document(ctx, doc);
        return pages < 0 ? OpenStatus::NeedsPassword : OpenStatus::CannotOpen;
    }
    out.doc.reset(ctx, doc);
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
    if (status != OpenStatus::CannotOpen)
        return status;
    out = OpenedPdf();
    return TrySalvage(ctx, path, out);
}

}  // namespace kestran::pdf
