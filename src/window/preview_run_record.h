// What the preview window and its render thread share.
//
// Drawing a page can take a second or more (a 600 dpi scan, a damaged file),
// so the preview never draws on the window's thread: it hands each request to
// a render thread and shows the picture when it arrives; the previous picture
// stays meanwhile. Requests supersede one another: a request not yet taken is
// replaced by a newer one, and the page being drawn for an older request is
// cut short and its picture dropped.
//
// The window owns the record through a std::shared_ptr and the render thread
// holds another one while it runs, so the record, and the document its
// renderer keeps open between pages, lives until both are done with it. The
// window calls Detach() in its destructor; after that nothing is queued to it.
//
//   record_ = std::make_shared<PreviewRunRecord>(this);
//   Bind(EVT_PREVIEW_RENDERED, [this](wxThreadEvent&) { if (auto p = record_->TakePicture()) Show(*p); });
//   record_->Request(path, page, box);
//   ~Window() { record_->Detach(); record_->Close(); }
#ifndef KESTRAN_WINDOW_PREVIEW_RUN_RECORD_H
#define KESTRAN_WINDOW_PREVIEW_RUN_RECORD_H

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <wx/event.h>
#include <wx/gdicmn.h>
#include <wx/image.h>

#include "domain/event_target_record.h"
#include "pdf/preview_renderer.h"

// Queued to the window when the picture of its newest request is ready (or
// could not be drawn). Carries nothing: the picture waits in the record.
wxDECLARE_EVENT(EVT_PREVIEW_RENDERED, wxThreadEvent);

// A drawn page, scaled to fit the requested box with its proportions kept.
// `image` is not valid when the page could not be drawn.
struct PreviewPicture {
    unsigned generation = 0;
    int page = 0;
    wxImage image;
};

// The target and its detaching are EventTargetRecord's, as for every worker
// that reports to a window.
class PreviewRunRecord : public EventTargetRecord, public std::enable_shared_from_this<PreviewRunRecord> {
public:
    // `target` receives EVT_PREVIEW_RENDERED until Detach().
    explicit PreviewRunRecord(wxEvtHandler* target) : EventTargetRecord(target) {}

    // Asks for `page` (1-based) of the PDF at `path`, fitted into `box`;
    // starts the render thread when none runs. Returns the request's
    // generation; exactly one EVT_PREVIEW_RENDERED follows for the newest
    // request unless another request, Close or Detach comes first. UI thread.
    unsigned Request(const wxString& path, int page, const wxSize& box);
    // Drops the requests not yet answered and closes the kept document,
    // releasing the file: at once when no render runs, otherwise on the
    // render thread after the page it is drawing. Never waits. UI thread.
    void Close();
    // The picture of the newest request, once; nullopt when it is not ready
    // or was superseded. UI thread.
    std::optional<PreviewPicture> TakePicture();

    // The time one page may take before the renderer shows what it has drawn.
    void SetTimeBudget(std::chrono::milliseconds budget) { renderer_.SetTimeBudget(budget); }

private:
    struct Job {
        unsigned generation = 0;
        std::string path;  // UTF-8
        int page = 0;
        wxSize box;
    };
    static void Run(void* holder);  // TaskThread callback
    void Work();
    PreviewPicture Draw(const Job& job);

    std::mutex mutex_;
    // Under mutex_.
    std::optional<Job> pending_;
    std::optional<PreviewPicture> picture_;
    unsigned generation_ = 0;  // of the newest request
    bool running_ = false;     // a render thread owns the renderer
    bool close_ = false;       // the render thread closes the document next
    bool drawing_ = false;     // the render thread has taken a job and not yet answered
    // Used by the render thread while running_, by the UI thread otherwise.
    kestran::pdf::PreviewRenderer renderer_;
};

#endif
