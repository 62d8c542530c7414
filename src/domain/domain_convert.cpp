#include "domain/domain_convert.h"

#include <wx/event.h>
#include <wx/intl.h>

#include "common/daily_log.h"
#include "common/file_util.h"
#include "common/task_thread.h"
#include "domain/app_events.h"
#include "domain/job_state.h"

void DomainConvert::CheckRow(FileRowInfo& row) {
    if (row.size_ == 0) {
        row.status_ = RowEmptyFile;
        row.reason_ = _("the file is empty");
    }
}

int DomainConvert::GetProgressPercent() {
    return 0;
}

int DomainConvert::Run(JobItem&) {
    return 0;
}

void DomainConvert::LoadFiles(const LoadItem& item) {
    std::unique_ptr<FileRowInfoArray> rows = BuildRows(item.text, item.options);
    if (item.target)
        PostRowsLoaded(*item.target, std::move(rows));
}

size_t DomainConvert::ListFolder(const wxString& folder, wxString& add_list) const {
    size_t count = 0;
    for (const wxString& pattern : GetFolderPatterns()) {
        wxArrayString found;
        FileUtil::ListFiles(folder, found, pattern);
        count += found.size();
        for (const wxString& path : found)
            add_list += path + "|";
    }
    return count;
}

void DomainConvert::LoadFolder(const LoadItem& item) {
    wxString list;
    const size_t count = ListFolder(item.text, list);
    std::unique_ptr<FileRowInfoArray> rows = count > 0 ? BuildRows(list, item.options) : nullptr;
    if (item.target)
        PostRowsLoaded(*item.target, std::move(rows));
}

void DomainConvert::Stop() {
    g_job_state.store(JobStopRequested);
}

namespace {

// Hands the item to a new worker. When the thread cannot start, run never
// executes: the item comes back here and is released.
template <typename Item>
bool StartWorker(std::unique_ptr<Item> item, TaskThread::Callback run) {
    Item* handed = item.release();
    if ((new TaskThread(handed, run))->Start())
        return true;
    std::unique_ptr<Item> unused(handed);
    return false;
}

}  // namespace

DomainConvert::LoadItem DomainConvert::MakeLoadItem(const wxString& text) {
    LoadItem item;
    item.convert = weak_from_this().lock();
    item.target = owner_;
    item.text = text;
    item.options = ConvertOptions;
    return item;
}

bool DomainConvert::StartLoadFiles(const wxString& paths) {
    auto item = std::make_unique<LoadItem>(MakeLoadItem(paths));
    return item->convert && StartWorker(std::move(item), &LoadFilesProcedure);
}

bool DomainConvert::StartLoadFolder(const wxString& folder) {
    auto item = std::make_unique<LoadItem>(MakeLoadItem(folder));
    return item->convert && StartWorker(std::move(item), &LoadFolderProcedure);
}

bool DomainConvert::StartJob(RowTable rows) {
    auto item = std::make_unique<JobItem>();
    item->convert = weak_from_this().lock();
    if (!item->convert)
        return false;
    item->target = owner_;
    item->rows = std::move(rows);
    item->options = ConvertOptions;
    g_job_state.store(JobRunning);
    if (StartWorker(std::move(item), &JobProcedure))
        return true;
    g_job_state.store(JobIdle);
    return false;
}

void DomainConvert::LoadFilesProcedure(void* load_item) {
    std::unique_ptr<LoadItem> item(static_cast<LoadItem*>(load_item));
    item->convert->LoadFiles(*item);
}

void DomainConvert::LoadFolderProcedure(void* load_item) {
    std::unique_ptr<LoadItem> item(static_cast<LoadItem*>(load_item));
    item->convert->LoadFolder(*item);
}

void DomainConvert::JobProcedure(void* job_item) {
    std::unique_ptr<JobItem> item(static_cast<JobItem*>(job_item));
    // Held here: the object must outlive the rows the item frees below.
    const std::shared_ptr<DomainConvert> convert = item->convert;
    const std::shared_ptr<EventTargetRecord> target = item->target;
    convert->WriteJobLog(_("Begin"), wxString(), 0);
    const int succeeded = convert->Run(*item);
    convert->WriteJobLog(_("Finish"), wxString(), 0);
    JobImageCounts counts;
    counts.written = item->images_written;
    counts.skipped = item->images_skipped;
    counts.already_there = item->images_already_there;
    item.reset();  // the rows go with the job
    convert->current_row_.store(-1);
    g_job_state.store(JobIdle);
    if (target) {
        auto done = std::make_unique<wxCommandEvent>(EVT_CONVERT_DONE, target->GetId());
        done->SetInt(succeeded);
        SetJobImageCounts(*done, counts);
        target->Queue(std::move(done));
    }
}

int DomainConvert::ProgressPercent(int done, int total) {
    if (total <= 0)
        return 0;
    return static_cast<int>(static_cast<long long>(done) * 100 / total);
}

void DomainConvert::ReportProgress(EventTargetRecord* target, int done, int total, int row, int column) {
    if (target)
        PostConvertStatus(*target, row, column, StatusPercent, ProgressPercent(done, total));
}

void DomainConvert::ReportStatus(EventTargetRecord* target, int row, int column, int kind, const wxString& reason) {
    if (target)
        PostConvertStatus(*target, row, column, kind, 0, reason);
}

void DomainConvert::WriteJobLog(const wxString& text, const wxString& detail, int code,
                                const kestran::pdf::FailureReason& reason) {
    const std::string line = kestran::JobLogLine(text.utf8_string(), detail.utf8_string(), code,
                                                 *reason.text != '\0' ? reason.Line() : std::string());
    FileUtil::WriteLog(wxString::FromUTF8(line));
}

wxString DomainConvert::ShownReason(const kestran::pdf::FailureReason& reason) {
    if (*reason.text == '\0')
        return wxString();
    const wxString text = wxGetTranslation(wxString::FromUTF8(reason.text));
    return reason.detail.empty() ? text : text + ": " + wxString::FromUTF8(reason.detail);
}
