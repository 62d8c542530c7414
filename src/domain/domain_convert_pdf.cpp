#include "domain/domain_convert_pdf.h"

#include <mutex>

#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/tokenzr.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "domain/job_state.h"

namespace {

// The shared P2X service and the number of conversion objects using it.
std::mutex g_p2x_mutex;
Pdf2xxService* g_p2x_service = nullptr;
int g_p2x_users = 0;

wxString Cell(const wxArrayString& cells, int column) {
    return column >= 0 && static_cast<size_t>(column) < cells.size() ? cells[column] : wxString();
}

}  // namespace

DomainConvertPDF::DomainConvertPDF() {
    poll_ = false;
    std::lock_guard<std::mutex> lock(g_p2x_mutex);
    if (!g_p2x_service)
        g_p2x_service = CreatePdf2xxService(AppUtil::GetExeDir().utf8_str());
    ++g_p2x_users;
}

DomainConvertPDF::~DomainConvertPDF() {
    std::lock_guard<std::mutex> lock(g_p2x_mutex);
    // Freed with the last user, not the first one to go: another conversion
    // object may still count pages with it.
    if (--g_p2x_users == 0 && g_p2x_service) {
        FreePdf2xxService(g_p2x_service);
        g_p2x_service = nullptr;
    }
}

Pdf2xxService* DomainConvertPDF::GetP2xService() {
    std::lock_guard<std::mutex> lock(g_p2x_mutex);
    return g_p2x_service;
}

wxString DomainConvertPDF::SourceDirOf(const wxString& path) {
    const wxString dir = AppUtil::ParentDir(path);
    if (dir.empty() && path.StartsWith("/"))
        return "/";  // a file in the root folder
    return dir;
}

std::unique_ptr<FileRowInfoArray> DomainConvertPDF::BuildRows(const wxString& paths, const ConvertOptionMap& options) {
    auto rows = std::make_unique<FileRowInfoArray>();
    Pdf2xxService* service = GetP2xService();
    const auto type_it = options.find(OUTPUT_TYPE);
    const wxString output_type = type_it == options.end() ? wxString() : type_it->second;

    wxStringTokenizer tokens(paths, "|", wxTOKEN_STRTOK);
    while (tokens.HasMoreTokens()) {
        const wxString path = tokens.GetNextToken();
        FileRowInfo row(path);

        const wxULongLong size = wxFileName::GetSize(path);
        const bool size_known = size != wxInvalidSize;
        row.size_ = size_known ? size.GetValue() : 0;

        const wxScopedCharBuffer utf8 = path.utf8_str();
        int pages = -1;
        bool usable = false;
        bool needs_password = false;
        if (service && utf8.length() > 0) {
            pages = service->GetPageCount(service, utf8.data(), 0);
            const P2xOpenResult open = service->CheckOpen(service, utf8.data());
            usable = open.usable != 0;
            needs_password = open.needs_password != 0;
            if (usable && pages < 1)
                pages = open.page_count;  // the file changed between the two calls
            usable = usable && pages >= 1;
        }
        wxString total_pages, selected_pages;
        if (usable) {
            total_pages = wxString::Format("%d", pages);
            selected_pages = wxString::Format("1-%d", pages);
        } else {
            row.status_ = RowCannotOpen;
            row.reason_ = ShownReason(kestran::pdf::OpenFailureReason(std::string(utf8.data(), utf8.length()), needs_password));
        }

        row.cells_.Add(FileUtil::GetFullName(path));  // COL_FILE_NAME
        row.cells_.Add(FileUtil::FormatSize(row.size_));  // COL_SIZE
        row.cells_.Add(total_pages);                   // COL_TOTAL_PAGES
        row.cells_.Add(output_type);                   // COL_OUTPUT_TYPE
        row.cells_.Add(selected_pages);                // COL_SELECTED_PAGE
        row.cells_.Add(_("Not Converted"));            // COL_STATUS
        row.cells_.Add(path);                          // COL_SOURCE_PATH
        row.cells_.Add(SourceDirOf(path));             // COL_SOURCE_DIR
        row.cells_.Add(wxString());                    // COL_OUTPUT_NAME

        // A file that vanished or cannot be read has no size: it must be
        // reported as not openable, not dropped silently as an empty file.
        if (size_known)
            CheckRow(row);
        rows->push_back(row);
    }
    return rows;
}

wxString DomainConvertPDF::GetFileFilter() const {
    // The file chooser matches case-sensitively: "REPORT.PDF" is a PDF too.
    return "PDF files(*.pdf)|*.[pP][dD][fF]|" + wxString(_("All files")) + "(*)|*";
}

wxArrayString DomainConvertPDF::GetFolderPatterns() const {
    wxArrayString patterns;
    patterns.Add("*.pdf");
    return patterns;
}

bool DomainConvertPDF::IsSupportedExtension(const wxString& extension) const {
    return wxString(";pdf;").Find(";" + extension + ";") != wxNOT_FOUND;
}

void DomainConvertPDF::Stop() {
    DomainConvert::Stop();
    if (Pdf2xxService* service = GetP2xService())
        service->SetCancel(1);
}

void DomainConvertPDF::DiscardPartialOutputs() {
    KestranDiscardPartialOutputs();
}

wxString DomainConvertPDF::GetEffectiveRange(const wxString& selected_pages, const wxString&) const {
    return selected_pages;
}

wxString DomainConvertPDF::GetOutputName(const wxArrayString& cells) const {
    return Cell(cells, COL_OUTPUT_NAME);
}

wxString DomainConvertPDF::GetSourcePath(const wxArrayString& cells) const {
    return Cell(cells, COL_SOURCE_PATH);
}

wxString DomainConvertPDF::GetSourceDir(const wxArrayString& cells) const {
    return Cell(cells, COL_SOURCE_DIR);
}

wxString DomainConvertPDF::GetOutputType(const wxArrayString& cells) const {
    return Cell(cells, COL_OUTPUT_TYPE);
}

wxString DomainConvertPDF::GetSelectedPages(const wxArrayString& cells) const {
    return Cell(cells, COL_SELECTED_PAGE);
}

wxString DomainConvertPDF::GetTotalPages(const wxArrayString& cells) const {
    return Cell(cells, COL_TOTAL_PAGES);
}

int DomainConvertPDF::ExtractRows(JobItem&) {
    return 0;
}
