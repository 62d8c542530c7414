// The conversion object: knows the input file type, turns paths into file
// list rows and runs the background work of the file list (loading chosen
// files, loading a folder, converting) on TaskThread workers.
//
// It never touches a window. Everything it has to say goes to its owner, a
// wxEvtHandler (the file list), as queued application events (app_events.h)
// whose id is the owner's id; the owner's handlers therefore run on the UI
// thread, in the order the events were sent.
#ifndef KESTRAN_DOMAIN_DOMAIN_CONVERT_H
#define KESTRAN_DOMAIN_DOMAIN_CONVERT_H

#include <atomic>
#include <map>
#include <memory>

#include <wx/arrstr.h>
#include <wx/string.h>

#include "domain/convert_options.h"
#include "domain/file_row_info.h"

class wxEvtHandler;
class wxTimer;

// The rows of a job: grid row index -> the row's nine cell texts in column
// order. Ordered, so a job converts rows in ascending row order.
using RowTable = std::map<int, wxArrayString>;

class DomainConvert {
public:
    // What a load worker works on: a folder, or paths each followed by "|".
    struct LoadItem {
        DomainConvert* convert = nullptr;
        wxString text;
    };
    // What the job worker works on. `options` is a copy of ConvertOptions
    // taken on the UI thread when the job starts: the job never reads the
    // shared table, so no control can change a running job.
    struct JobItem {
        DomainConvert* convert = nullptr;
        RowTable rows;
        ConvertOptionMap options;
    };

    DomainConvert() = default;
    virtual ~DomainConvert() = default;
    DomainConvert(const DomainConvert&) = delete;
    DomainConvert& operator=(const DomainConvert&) = delete;

    // One record per path of a "|"-separated list (a trailing "|" allowed),
    // in list order. Runs on a load worker.
    virtual std::unique_ptr<FileRowInfoArray> BuildRows(const wxString& paths) = 0;
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
    // BuildRows over the matching files of the folder (not its sub-folders);
    // queues EVT_ROWS_LOADED with int 1 and the rows, or int 0 when none matched.
    virtual void LoadFolder(const wxString& folder);
    // Appends every file of `folder` a load takes (GetFolderPatterns, not the
    // sub-folders), each followed by "|", to `add_list`; returns how many.
    size_t ListFolder(const wxString& folder, wxString& add_list) const;
    // BuildRows over the paths; queues EVT_ROWS_LOADED.
    virtual void LoadFiles(const wxString& paths);
    // Asks the running job to stop (UI thread); the job sees it at its next
    // check and ends with EVT_CONVERT_DONE as usual.
    virtual void Stop();

    // Where the events go; `event_id` is the owner window's id.
    void SetOwner(wxEvtHandler* owner, int event_id);
    wxEvtHandler* GetOwner() const { return owner_; }
    int GetOwnerId() const { return owner_id_; }
    void SetPollTimer(wxTimer* timer) { poll_timer_ = timer; }
    wxTimer* GetPollTimer() const { return poll_timer_; }
    bool IsPolling() const { return poll_; }
    // The grid row being converted, -1 when none.
    int GetCurrentRow() const { return current_row_.load(); }

    // Starting the work on a new TaskThread (UI thread). Each returns false
    // when the thread could not be started; nothing is queued then.
    bool StartLoadFiles(const wxString& paths);
    bool StartLoadFolder(const wxString& folder);
    // Copies ConvertOptions, sets the job state to JobRunning and starts the job.
    bool StartJob(RowTable rows);

    // The functions a TaskThread runs; each takes ownership of its item.
    static void LoadFilesProcedure(void* load_item);
    static void LoadFolderProcedure(void* load_item);
    // Log "Begin", Run, log "Finish", job state back to idle, EVT_CONVERT_DONE
    // with the number of rows that succeeded.
    static void JobProcedure(void* job_item);

    // Reporting helpers for the job worker.
    // EVT_CONVERT_STATUS, kind StatusPercent, percent = done * 100 / total
    // (0 when total <= 0).
    void ReportProgress(int done, int total, int row, int column);
    // EVT_CONVERT_STATUS with `kind` (StatusStopped, StatusFailed) and percent 0.
    void ReportStatus(int row, int column, int kind);
    // Log entry "<text> [<detail>] [<code>]\n".
    void WriteJobLog(const wxString& text, const wxString& detail, int code);

    // The percent ReportProgress sends.
    static int ProgressPercent(int done, int total);

protected:
    wxTimer* poll_timer_ = nullptr;     // not owned
    std::atomic<int> current_row_{-1};
    bool poll_ = true;
    wxEvtHandler* owner_ = nullptr;     // not owned
    int owner_id_ = 0;
};

#endif
