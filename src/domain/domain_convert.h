// The conversion object: knows the input file type, turns paths into file
// list rows and runs the background work of the file list (loading chosen
// files, loading a folder, converting) on TaskThread workers.
//
// It never touches a window. Everything it has to say goes to its owner (the
// file list) as queued application events (app_events.h), through the
// owner's EventTargetRecord: the owner's handlers run on the UI thread, in
// the order the events were sent, and once the owner has detached from the
// record nothing reaches it any more.
//
// Threads: the object is made and configured on the UI thread and must be
// owned by a std::shared_ptr for work to start. Each worker gets an item
// holding everything it reads: a reference to the object (so the object
// outlives the work even when its owner is gone), the record it was started
// with and its own copy of ConvertOptions. The object's members are set on
// the UI thread only; the worker reads only its item, the job state and the
// services' own thread-safe entry points, and writes only current_row_.
#ifndef KESTRAN_DOMAIN_DOMAIN_CONVERT_H
#define KESTRAN_DOMAIN_DOMAIN_CONVERT_H

#include <atomic>
#include <map>
#include <memory>

#include <wx/arrstr.h>
#include <wx/string.h>

#include "domain/convert_options.h"
#include "domain/event_target_record.h"
#include "domain/file_row_info.h"
#include "pdf/read_problem.h"

class wxTimer;

// The rows of a job: grid row index -> the row's nine cell texts in column
// order. Ordered, so a job converts rows in ascending row order.
using RowTable = std::map<int, wxArrayString>;

class DomainConvert : public std::enable_shared_from_this<DomainConvert> {
public:
    // What a load worker works on: a folder, or paths each followed by "|".
    struct LoadItem {
        std::shared_ptr<DomainConvert> convert;
        std::shared_ptr<EventTargetRecord> target;  // null: the rows go nowhere
        wxString text;
        ConvertOptionMap options;  // copied on the UI thread when the load started
    };
    // What the job worker works on. `options` is a copy of ConvertOptions
    // taken on the UI thread when the job starts: the job never reads the
    // shared table, so no control can change a running job.
    struct JobItem {
        std::shared_ptr<DomainConvert> convert;
        std::shared_ptr<EventTargetRecord> target;  // null: nobody hears the job
        RowTable rows;
        ConvertOptionMap options;
        int images_written = 0;  // Run adds the image files each row wrote
        int images_skipped = 0;  // and the images it left out
        int images_already_there = 0;  // and those it found written by an earlier job
    };

    DomainConvert() = default;
    virtual ~DomainConvert() = default;
    DomainConvert(const DomainConvert&) = delete;
    DomainConvert& operator=(const DomainConvert&) = delete;

    // One record per path of a "|"-separated list (a trailing "|" allowed),
    // in list order; `options` is the load's copy of ConvertOptions. Runs on
    // a load worker.
    virtual std::unique_ptr<FileRowInfoArray> BuildRows(const wxString& paths, const ConvertOptionMap& options) = 0;
    // Marks an empty file (size 0) with status RowEmptyFile.
    virtual void CheckRow(FileRowInfo& row);
    virtual wxString GetOutputExtension() const = 0;
    // Filter for the file dialog.
    virtual wxString GetFileFilter() const = 0;
    // Wildcards a folder scan collects.
    virtual wxArrayString GetFolderPatterns() const = 0;
    // `extension` already lower-cased by the caller; compared exactly.
    virtual bool IsSupportedExtension(const wxString& extension) const = 0;
    // For a polling file list; this program never polls.
    virtual int GetProgressPercent();
    // Converts the rows of `item` on the job worker; returns the rows that succeeded.
    virtual int Run(JobItem& item);
    // BuildRows over the matching files of the folder `item.text` (not its
    // sub-folders); queues EVT_ROWS_LOADED to `item.target` with int 1 and
    // the rows, or int 0 when none matched.
    virtual void LoadFolder(const LoadItem& item);
    // Appends every file of `folder` a load takes (GetFolderPatterns, not the
    // sub-folders), each followed by "|", to `add_list`; returns how many.
    size_t ListFolder(const wxString& folder, wxString& add_list) const;
    // BuildRows over the paths `item.text`; queues EVT_ROWS_LOADED to `item.target`.
    virtual void LoadFiles(const LoadItem& item);
    // Asks the running job to stop (UI thread); the job sees it at its next
    // check and ends with EVT_CONVERT_DONE as usual.
    virtual void Stop();

    // Where the events of work started from now on go (null: nowhere). The
    // owner keeps the record and detaches from it when it goes. UI thread.
    void SetOwner(std::shared_ptr<EventTargetRecord> owner) { owner_ = std::move(owner); }
    const std::shared_ptr<EventTargetRecord>& GetOwner() const { return owner_; }
    void SetPollTimer(wxTimer* timer) { poll_timer_ = timer; }
    wxTimer* GetPollTimer() const { return poll_timer_; }
    bool IsPolling() const { return poll_; }
    // The grid row being converted, -1 when none.
    int GetCurrentRow() const { return current_row_.load(); }

    // A load's item: this object, the owner's record and a copy of
    // ConvertOptions. UI thread. `convert` is null when no shared_ptr owns
    // this object; a direct LoadFiles or LoadFolder call still works then.
    LoadItem MakeLoadItem(const wxString& text);

    // Starting the work on a new TaskThread (UI thread). Each returns false
    // when the thread could not be started, or when no shared_ptr owns this
    // object; nothing is queued then.
    bool StartLoadFiles(const wxString& paths);
    bool StartLoadFolder(const wxString& folder);
    // Copies ConvertOptions, sets the job state to JobRunning and starts the job.
    bool StartJob(RowTable rows);

    // The functions a TaskThread runs; each takes ownership of its item.
    static void LoadFilesProcedure(void* load_item);
    static void LoadFolderProcedure(void* load_item);
    // Log "Begin", Run, log "Finish", job state back to idle, EVT_CONVERT_DONE
    // with the number of rows that succeeded (int) and the image files
    // written (extra long).
    static void JobProcedure(void* job_item);

    // Reporting helpers for the job worker; each queues through `target`
    // (nothing when it is null or detached).
    // EVT_CONVERT_STATUS, kind StatusPercent, percent = done * 100 / total
    // (0 when total <= 0).
    static void ReportProgress(EventTargetRecord* target, int done, int total, int row, int column);
    // EVT_CONVERT_STATUS with `kind` (StatusStopped, StatusFailed), percent 0
    // and `reason`, the user's words for why the row failed or stopped.
    static void ReportStatus(EventTargetRecord* target, int row, int column, int kind,
                             const wxString& reason = wxString());
    // Log entry "<text> [<detail>] [<code>]\n", with the English line of
    // `reason` before the line end when the row failed.
    void WriteJobLog(const wxString& text, const wxString& detail, int code,
                     const kestran::pdf::FailureReason& reason = kestran::pdf::FailureReason());
    // A failure's reason in the current language: the phrase through the
    // catalogue, then the system's own words.
    static wxString ShownReason(const kestran::pdf::FailureReason& reason);

    // The percent ReportProgress sends.
    static int ProgressPercent(int done, int total);

protected:
    wxTimer* poll_timer_ = nullptr;     // not owned
    std::atomic<int> current_row_{-1};
    bool poll_ = true;
    std::shared_ptr<EventTargetRecord> owner_;  // UI thread only; workers use their item's copy
};

#endif
