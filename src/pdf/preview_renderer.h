// Page rendering for the preview of the P2X service, with the one document it
// keeps open between calls.
//
// The window previews one file at a time and walks its pages, so the renderer
// keeps the last previewed document open (and repaired, when it needed that)
// until another file is previewed, the file changes on disk, or the window
// closes it. Page counting, open tests and extraction never touch this
// document: they open their own.
//
// Used by the P2X service, by the preview window's render thread, which owns
// one so that no other thread ever waits on its document, and by the tests
// and benchmarks that need to look inside (the time budget, the number of
// opens).
#ifndef KESTRAN_PDF_PREVIEW_RENDERER_H
#define KESTRAN_PDF_PREVIEW_RENDERER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "pdf/mu_context.h"
#include "pdf/pdf_open.h"

struct Pdf2xxService;

namespace kestran::pdf {

// How long one page may take to draw before the preview shows what it has.
// Long enough for any real page at preview size, short enough that a page
// built to never end does not freeze the window that waits for it.
constexpr std::chrono::milliseconds kDefaultPreviewBudget{2000};

// Raises the abort field of a MuPDF cookie when a deadline passes. MuPDF
// polls that field between content operators and form XObjects and then ends
// the page run quietly, keeping what it drew; nothing inside MuPDF looks at a
// clock, so a thread of our own has to. The thread starts with the first
// render and ends with the object.
class RenderDeadline {
public:
    RenderDeadline() = default;
    ~RenderDeadline();
    RenderDeadline(const RenderDeadline&) = delete;
    RenderDeadline& operator=(const RenderDeadline&) = delete;

    // Watches `cookie` (one at a time) until Disarm. False when the watching
    // thread cannot be started; the cookie is then not watched.
    bool Arm(fz_cookie* cookie, std::chrono::steady_clock::time_point deadline);
    // Raises the abort of the watched cookie now; nothing when none is watched.
    void StrikeNow();
    // Stops watching; the cookie is never touched again once this returns.
    // True when the deadline had passed and the abort was raised.
    bool Disarm();

private:
    void Watch();

    std::mutex mutex_;
    std::condition_variable wake_;
    fz_cookie* cookie_ = nullptr;
    std::chrono::steady_clock::time_point deadline_{};
    bool struck_ = false;
    bool quit_ = false;
    std::thread thread_;
};

class PreviewRenderer {
public:
    PreviewRenderer() = default;
    ~PreviewRenderer();
    PreviewRenderer(const PreviewRenderer&) = delete;
    PreviewRenderer& operator=(const PreviewRenderer&) = delete;

    // RenderPage of the P2X service (see pdf_service.h). Any thread; calls
    // run one at a time.
    unsigned char* Render(const char* path, int page, int fit_width, int fit_height, int* width, int* height);
    // Closes the kept document; waits for a render running on another thread.
    void Close();

    // Ends the page being drawn as if its time were up, or the next one
    // drawn when none is (its run stops at once). Any thread, without
    // waiting; the caller that owns the renderer clears it with ClearCut
    // between pages, so that a cut meant for one page never reaches the next.
    void CutShort();
    void ClearCut() { cut_.store(false); }
    // The time one page run may take; for tests that cannot wait seconds.
    void SetTimeBudget(std::chrono::milliseconds budget) { budget_ms_.store(budget.count()); }
    // How many times a document has been opened for previews.
    int DocumentOpens() const { return opens_.load(); }

private:
    // What identifies one version of a file on disk.
    struct FileStamp {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long size = -1;
        long long mtime_sec = 0;
        long long mtime_nsec = 0;
        bool operator==(const FileStamp& other) const;
    };
    static bool StampOf(const std::string& path, FileStamp& stamp);

    // Makes pdf_ the document at `path` as it is on disk now. Needs mutex_.
    bool Prepare(const std::string& path);
    void CloseLocked();
    unsigned char* RenderLocked(int page, int fit_width, int fit_height, int* width, int* height);

    std::mutex mutex_;
    // Used only under mutex_, so by one thread at a time, whichever calls;
    // declared before pdf_ so that the document is dropped first.
    MuContextPtr ctx_;
    OpenedPdf pdf_;
    std::string path_;
    FileStamp stamp_;
    std::atomic<long long> budget_ms_{kDefaultPreviewBudget.count()};
    std::atomic<int> opens_{0};
    std::atomic<bool> cut_{false};
    RenderDeadline deadline_;
};

// The preview renderer behind a P2X service; null for null.
PreviewRenderer* PreviewRendererOf(Pdf2xxService* service);

}  // namespace kestran::pdf

#endif
