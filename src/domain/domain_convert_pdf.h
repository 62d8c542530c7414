// The PDF conversion: accepts *.pdf, builds rows with the page-count service
// and turns a stop into a service cancel. The per-row work (ExtractRows) is
// the product's.
//
// The page-count and rendering service (P2X) is one per process: the first
// DomainConvertPDF creates it, the last one destroyed frees it. The preview
// reaches it through GetP2xService().
#ifndef KESTRAN_DOMAIN_DOMAIN_CONVERT_PDF_H
#define KESTRAN_DOMAIN_DOMAIN_CONVERT_PDF_H

#include "domain/domain_convert.h"
#include "pdf/pdf_service.h"

class DomainConvertPDF : public DomainConvert {
public:
    DomainConvertPDF();
    ~DomainConvertPDF() override;

    // For each path: size, page count and open test through the P2X service,
    // the nine cells, then CheckRow. A file that cannot be opened (or no longer
    // exists) has status RowCannotOpen and empty page cells; an empty file has
    // RowEmptyFile. No duplicate detection.
    std::unique_ptr<FileRowInfoArray> BuildRows(const wxString& paths, const ConvertOptionMap& options) override;
    wxString GetOutputExtension() const override { return wxString(); }
    // PDF files in any case of the extension, then all files.
    wxString GetFileFilter() const override;
    // { "*.pdf" }
    wxArrayString GetFolderPatterns() const override;
    // True for "pdf" only (exact comparison).
    bool IsSupportedExtension(const wxString& extension) const override;
    int Run(JobItem& item) override { return ExtractRows(item); }
    // Job state JobStopRequested, then the service's SetCancel(1).
    void Stop() override;
    // For a process about to end, right before it exits: removes the partial
    // image files the running job is writing and keeps any extraction of this
    // process from creating image files from now on (see
    // KestranDiscardPartialOutputs). Irreversible; callable from any thread.
    static void DiscardPartialOutputs();

    virtual wxString GetEffectiveRange(const wxString& selected_pages, const wxString& total_pages) const;
    // Cells of a row by column; "" when the row has no such cell.
    virtual wxString GetOutputName(const wxArrayString& cells) const;
    virtual wxString GetSourcePath(const wxArrayString& cells) const;
    virtual wxString GetSourceDir(const wxArrayString& cells) const;
    virtual wxString GetOutputType(const wxArrayString& cells) const;
    virtual wxString GetSelectedPages(const wxArrayString& cells) const;
    virtual wxString GetTotalPages(const wxArrayString& cells) const;
    // The per-row work; this class converts nothing and returns 0.
    virtual int ExtractRows(JobItem& item);

    // The process-wide P2X service, null while no DomainConvertPDF exists.
    static Pdf2xxService* GetP2xService();

    // Folder of a path for the "Source Dir" cell: everything before the last
    // "/" ("/" for a file in the root folder). A backslash is an ordinary name
    // character and stays: "/in/a\b/x.pdf" gives "/in/a\b".
    static wxString SourceDirOf(const wxString& path);
};

#endif
