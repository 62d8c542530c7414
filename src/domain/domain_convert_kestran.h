// The conversion object of this product: the job extracts the images of the
// selected pages of every row into the output folder through the PDF service.
//
// The job reads only its copy of the conversion options (LAST_OUTPUT_DIR,
// SAVE_IN_SOURCE_DIR, STATUS_COLUMN) and, per row, "Selected Page",
// "Total Pages", "Source Path" and "Source Dir".
#ifndef KESTRAN_DOMAIN_DOMAIN_CONVERT_KESTRAN_H
#define KESTRAN_DOMAIN_DOMAIN_CONVERT_KESTRAN_H

#include "domain/domain_convert_pdf.h"

class DomainConvertKESTRAN : public DomainConvertPDF {
public:
    // Handed to the service as its context, one per row, on the job worker's stack.
    struct ProgressContext {
        DomainConvertKESTRAN* convert = nullptr;
        EventTargetRecord* target = nullptr;  // the job's record; null: nobody hears it
        int row = -1;
        int column = -1;
        int last_percent = -1;  // the last percent queued for this row
    };

    // ".jpg"
    wxString GetOutputExtension() const override;

    // Rows in ascending order: extract, report "100%" or "Failed", log the row,
    // and after a row during which a stop was requested report "Stop" and end.
    // The output folder reaches the service and the log exactly as the option
    // or the "Source Dir" cell holds it. Returns the rows that succeeded.
    // Each row's output type goes to the engine with the job's filters; with
    // WRITE_MANIFEST each file's images are listed in ManifestPathFor.
    int ExtractRows(JobItem& item) override;
    // <output folder>/<source name without extension>-images.csv
    static wxString ManifestPathFor(const wxString& source, const wxString& output_dir);

    // The service's progress function: -2 (abandon the file) when a stop was
    // requested, else reports done * 100 / (2 * total + 1) for the row and
    // returns 0. The percent only reaches 100 when the row is done.
    static int ProgressFunction(void* context, int done, int total);

protected:
    // Called by ProgressFunction on the job worker.
    virtual int OnExtractProgress(ProgressContext& context, int done, int total);
};

#endif
