// The end of a job that did not go through on every file: how many files are
// done, how many images were written, each failed or stopped file with its
// reason, and a way to the output folder. Modeless: the window stays usable
// while it is open, and the next job closes it.
#ifndef KESTRAN_WINDOW_JOB_SUMMARY_DIALOG_H
#define KESTRAN_WINDOW_JOB_SUMMARY_DIALOG_H

#include <vector>

#include <wx/dialog.h>

class wxTextCtrl;

class JobSummaryDialog : public wxDialog {
public:
    struct Outcome {
        int files = 0;           // rows the job was started on
        int done = 0;            // rows that ended at 100 %
        long images = 0;         // image files written
        long skipped = 0;        // images left out
        long already_there = 0;  // written by an earlier job, not written again
        int not_started = 0;     // rows left untouched after a stop
        wxArrayString problems;  // "<file name>: <status>: <reason>", one per failed or stopped row
        wxString folder;         // where the images went
    };

    JobSummaryDialog(wxWindow* parent, const Outcome& outcome);

    // The summary as shown, one line per entry (for the log of a test).
    wxString GetText() const;
    const wxString& GetFolder() const { return folder_; }

    enum : int { OpenFolderId = 8101 };

private:
    wxTextCtrl* text_ = nullptr;
    wxString folder_;
};

#endif
