#include "domain/domain_convert.h"

#include <wx/event.h>
#include <wx/intl.h>

#include "common/file_util.h"
#include "common/task_thread.h"
#include "domain/app_events.h"
#include "domain/job_state.h"

void DomainConvert::CheckRow(FileRowInfo& row) {
    if (row.size_ == 0)
        row.status_ = RowEmptyFile;
}

int DomainConvert::GetProgressPercent() {
    return 0;
}

int DomainConvert::Run(JobItem&) {
    return 0;
}

void DomainConvert::LoadFiles(const wxString& paths) {
    if (owner_)
        PostRowsLoaded(owner_, owner_id_, BuildRows(paths));
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

void DomainConvert::LoadFolder(const wxString& folder) {
    wxString list;
    const size_t count = ListFolder(folder, list);
    if (!owner_)
        return;
    if (count > 0)
        PostRowsLoaded(owner_, owner_id_, BuildRows(list));
    else
        PostRowsLoaded(owner_, owner_id_, nullptr);
}

void DomainConvert::Stop() {
    g_job_state.store(JobStopRequested);
}

void DomainConvert::SetOwner(wxEvtHandler* owner, int event_id) {
    owner_ = owner;
    owner_id_ = event_id;
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

bool DomainConvert::StartLoadFiles(const wxString& paths) {
    auto item = std::make_unique<LoadItem>();
    item->convert = this;
    item->text = paths;
    return StartWorker(std::move(item), &LoadFilesProcedure);
}

bool DomainConvert::StartLoadFolder(const wxString& folder) {
    auto item = std::make_unique<LoadItem>();
    item->convert = this;
    item->text = folder;
    return StartWorker(std::move(item), &LoadFolderProcedure);
}

bool DomainConvert::StartJob(RowTable rows) {
    auto item = std::make_unique<JobItem>();
    item->convert = this;
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
    item->convert->LoadFiles(item->text);
}

void DomainConvert::LoadFolderProcedure(void* load_item) {
    std::unique_ptr<LoadItem> item(static_cast<LoadItem*>(load_item));
    item->convert->LoadFolder(item->text);
}

void DomainConvert::JobProcedure(void* job_item) {
    std::unique_ptr<JobItem> item(static_cast<JobItem*>(job_item));
    DomainConvert* convert = item->convert;
    convert->WriteJobLog(_("Begin"), wxString(), 0);
    const int succeeded = convert->Run(*item);
    convert->WriteJobLog(_("Finish"), wxString(), 0);
    item.reset();  // the rows go with the job
    convert->current_row_.store(-1);
    g_job_state.store(JobIdle);
    if (convert->owner_) {
        auto* done = new wxCommandEvent(EVT_CONVERT_DONE, convert->owner_id_);
        done->SetInt(succeeded);
        wxQueueEvent(convert->owner_, done);
    }
}

int DomainConvert::ProgressPercent(int done, int total) {
    if (total <= 0)
        return 0;
    return static_cast<int>(static_cast<long long>(done) * 100 / total);
}

void DomainConvert::ReportProgress(int done, int total, int row, int column) {
    if (owner_)
        PostConvertStatus(owner_, owner_id_, row, column, StatusPercent, ProgressPercent(done, total));
}

void DomainConvert::ReportStatus(int row, int column, int kind) {
    if (owner_)
        PostConvertStatus(owner_, owner_id_, row, column, kind, 0);
}

void DomainConvert::WriteJobLog(const wxString& text, const wxString& detail, int code) {
    FileUtil::WriteLog(text + " [" + detail + "] [" + wxString::Format("%d", code) + "]\n");
}
