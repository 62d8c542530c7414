#include "domain/domain_convert_kestran.h"

#include <algorithm>
#include <climits>
#include <string>

#include <wx/filename.h>

#include "common/string_util.h"
#include "domain/app_events.h"
#include "domain/convert_options.h"
#include "domain/job_state.h"
#include "pdf/read_problem.h"

namespace {

// An option of the job's copy; absent reads as "" without inserting.
wxString Option(const ConvertOptionMap& options, int key) {
    const auto it = options.find(key);
    return it == options.end() ? wxString() : it->second;
}

// UTF-8 bytes for the service; "" when the text cannot be converted.
std::string Utf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

// Frees the job's service table when the walk ends, however it ends.
struct PdfServiceFree {
    void operator()(PdfServiceTable* table) const { FreePdfService(table); }
};

}  // namespace

wxString DomainConvertKESTRAN::GetOutputExtension() const {
    return ".jpg";
}

wxString DomainConvertKESTRAN::ManifestPathFor(const wxString& source, const wxString& output_dir) {
    return output_dir + "/" + wxFileName(source).GetName() + "-images.csv";
}

int DomainConvertKESTRAN::ExtractRows(JobItem& item) {
    const int column = StringUtil::ToInt(Option(item.options, STATUS_COLUMN));
    const bool in_source_dir = StringUtil::ToInt(Option(item.options, SAVE_IN_SOURCE_DIR)) != 0;
    const wxString chosen_dir = Option(item.options, LAST_OUTPUT_DIR);

    PdfServiceTable table{};
    std::unique_ptr<PdfServiceTable, PdfServiceFree> service;
    if (CreatePdfService(&table) == 0)
        service.reset(&table);
    if (!service || !service->ExtractImagesChosen) {
        // No service: every row fails, and says so.
        const kestran::pdf::FailureReason reason =
            kestran::pdf::ExtractFailureReason(std::string(), KESTRAN_EXTRACT_BAD_ARGUMENT);
        for (const auto& [row, cells] : item.rows) {
            ReportStatus(item.target.get(), row, column, StatusFailed, ShownReason(reason));
            WriteJobLog(GetSourcePath(cells), in_source_dir ? GetSourceDir(cells) : chosen_dir,
                        KESTRAN_EXTRACT_BAD_ARGUMENT, reason);
        }
        return 0;
    }

    int successes = 0;
    for (const auto& [row, cells] : item.rows) {
        current_row_.store(row);
        const wxString output_dir = in_source_dir ? GetSourceDir(cells) : chosen_dir;
        const wxString source = GetSourcePath(cells);
        const wxString range = GetEffectiveRange(GetSelectedPages(cells), GetTotalPages(cells));

        ProgressContext context;
        context.convert = this;
        context.target = item.target.get();
        context.row = row;
        context.column = column;

        const std::string utf8_dir = Utf8(output_dir);
        const std::string utf8_range = Utf8(range);
        const std::string utf8_source = Utf8(source);
        // The row's output type, the filters of the whole job, and the
        // list of what was extracted beside the images when asked for.
        KestranExtractChoices choices{};
        choices.output_type = std::clamp(StringUtil::ToInt(GetOutputType(cells)), 0, 2);
        choices.min_side = std::max(StringUtil::ToInt(Option(item.options, MIN_IMAGE_SIDE)), 0);
        choices.skip_flat = StringUtil::ToInt(Option(item.options, SKIP_FLAT_IMAGES)) != 0 ? 1 : 0;
        std::string utf8_manifest;
        if (StringUtil::ToInt(Option(item.options, WRITE_MANIFEST)) != 0) {
            utf8_manifest = Utf8(ManifestPathFor(source, output_dir));
            choices.manifest_path = utf8_manifest.c_str();
        }
        KestranExtractCounts counts{};
        const int result = service->ExtractImagesChosen(utf8_source.c_str(), utf8_range.c_str(), utf8_dir.c_str(),
                                                        &context, &ProgressFunction, &choices, &counts);
        item.images_written += counts.images_written;
        item.images_skipped += counts.images_skipped;
        item.images_already_there += counts.images_already_there;
        kestran::pdf::FailureReason reason;
        if (result != 0) {
            reason = kestran::pdf::ExtractFailureReason(utf8_source, result);
            ReportStatus(item.target.get(), row, column, StatusFailed, ShownReason(reason));
        } else {
            ReportProgress(item.target.get(), 100, 100, row, column);
            ++successes;
        }
        WriteJobLog(source, output_dir, result, reason);

        if (g_job_state.load() == JobStopRequested) {
            ReportStatus(item.target.get(), row, column, StatusStopped, ShownReason(reason));
            break;
        }
    }
    current_row_.store(-1);
    return successes;
}

int DomainConvertKESTRAN::ProgressFunction(void* context, int done, int total) {
    auto* c = static_cast<ProgressContext*>(context);
    if (!c || !c->convert)
        return 0;
    return c->convert->OnExtractProgress(*c, done, total);
}

int DomainConvertKESTRAN::OnExtractProgress(ProgressContext& context, int done, int total) {
    if (g_job_state.load() == JobStopRequested)
        return -2;
    // 2 * total + 1 must not overflow; no file has that many images anyway.
    const int denominator = 2 * std::min(total, (INT_MAX - 1) / 2) + 1;
    const int percent = ProgressPercent(done, denominator);
    // The cell shows the same bar for the same percent: an image-heavy file
    // would otherwise queue thousands of identical redraws.
    if (percent != context.last_percent) {
        context.last_percent = percent;
        ReportProgress(context.target, done, denominator, context.row, context.column);
    }
    return 0;
}
