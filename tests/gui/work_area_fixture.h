// The fixture of the work-area tests: the real main frame with the installed
// theme, real PDF files in a temporary folder, the real engine on its workers.
// The user's answers to dialogs come from a scripted responder.
#ifndef KESTRAN_TESTS_GUI_WORK_AREA_FIXTURE_H
#define KESTRAN_TESTS_GUI_WORK_AREA_FIXTURE_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

// Before any header that may bring X11's Status macro.
#include "domain/file_row_info.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <wx/dnd.h>
#include <wx/filename.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include "common/file_util.h"
#include "domain/convert_options.h"
#include "domain/domain_convert_kestran.h"
#include "domain/job_state.h"
#include "domain/kel_observer.h"
#include "gui_test_support.h"
#include "support/pdf_fixtures.h"
#include "support/temp_home.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/base/mox_tool_bar.h"
#include "window/base/ruv_grid.h"
#include "window/base/tav_radio_button.h"
#include "window/base/tav_word_button.h"
#include "window/base/user_prompt.h"
#include "window/main_frame_kestran.h"
#include "window/output_window.h"
#include "window/select_window.h"

namespace workarea {

// The shown top-level window of type T (a dialog the test opened), or null.
template <typename T>
T* OpenTopLevel()
{
    for (wxWindow* top : wxTopLevelWindows)
        if (auto* found = dynamic_cast<T*>(top); found != nullptr && found->IsShown())
            return found;
    return nullptr;
}


namespace fs = std::filesystem;
using guitest::PumpUntil;

inline wxArrayString Paths(std::initializer_list<wxString> paths)
{
    wxArrayString array;
    for (const wxString& path : paths)
        array.Add(path);
    return array;
}

const wxString kThemeDir = wxString::FromUTF8(KESTRAN_STAGE_DIR) + "/Themes";
const wxColour kAmber(252, 156, 0);

// Steps run one after the other from a timer, so that they also run while a
// pop-up menu holds its own event loop. An action runs once (and may not
// return until the menu it opened has closed: the steps after it go on from
// the menu's loop); a wait is tried on every tick until it holds.
struct Step {
    enum Kind { Act, Wait } kind;
    std::function<bool()> body;
};
inline Step Do(std::function<void()> action)
{
    return {Step::Act, [action] {
                action();
                return true;
            }};
}
inline Step Until(std::function<bool()> condition)
{
    return {Step::Wait, std::move(condition)};
}
// Waits until what the X server had sent when the step was reached has been
// handled: SyncEvents for a step, which must not pump a loop of its own.
inline Step UntilSynced()
{
    return Until([marker = 0u]() mutable {
        if (marker == 0)
            marker = guitest::SendServerMarker();
        return guitest::ServerMarkerBack(marker);
    });
}
// A pop-up menu is open and holds the pointer and the keyboard.
inline bool PopupMenuOpen()
{
    return gtk_grab_get_current() != nullptr;
}

// A GLib source rather than a wxTimer: it also fires inside a yield that a
// pop-up menu's loop runs in.
class Script {
public:
    explicit Script(std::vector<Step> steps) : steps_(std::move(steps))
    {
        source_ = g_timeout_add(40, reinterpret_cast<GSourceFunc>(&Script::OnTick), this);
    }
    ~Script() { g_source_remove(source_); }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;
    bool Done() const { return next_ >= steps_.size(); }
    size_t Reached() const { return next_; }

private:
    static int OnTick(void* self)
    {
        static_cast<Script*>(self)->Tick();
        return G_SOURCE_CONTINUE;
    }
    void Tick()
    {
        if (Done())
            return;
        Step& step = steps_[next_];
        if (step.kind == Step::Act) {
            ++next_;  // before it runs: it may open a loop that ticks again
            step.body();
        } else if (step.body()) {
            ++next_;
        }
    }
    std::vector<Step> steps_;
    unsigned source_ = 0;
    size_t next_ = 0;
};

class Recorder : public KelObserver {
public:
    void Update(KelSubject* subject, void* payload) override
    {
        codes.push_back(subject->GetCode());
        if (subject->GetCode() == RowsRemoved)
            removed.push_back(static_cast<FileCellInfo*>(payload)->row_);
    }
    std::vector<int> codes;
    std::vector<int> removed;
};

// The product frame with the process end replaced by a record.
class WatchedFrame : public MainFrameKESTRAN {
public:
    int ended_with = -1;
    bool really_end = false;  // for a child process that ends as the program does
    // Deletes the frame instead, and the process goes on: what a close
    // leaves running (workers) can then be watched.
    bool destroy_at_end = false;

protected:
    void EndProcess(int status) override
    {
        ended_with = status;
        if (really_end)
            MainFrameKESTRAN::EndProcess(status);
        else if (destroy_at_end)
            Destroy();
    }
};

class WorkArea : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConvertOptions.clear();
        g_job_state.store(JobIdle);
        theme_ = std::make_unique<guitest::ScopedThemeDir>(kThemeDir);
        ASSERT_EQ(LoadFace(kThemeDir + "/face.xml"), 0);
        src_ = dir_.Path() + "/in";
        out_ = dir_.Path() + "/out";
        ASSERT_TRUE(wxFileName::Mkdir(src_) && wxFileName::Mkdir(out_));
        ConvertOptions[LAST_OUTPUT_DIR] = out_;
        frame_ = new WatchedFrame;
        ASSERT_TRUE(frame_->Build(2000, "Olvarin Kestran"));
        wxTheApp->SetTopWindow(frame_);
        ASSERT_TRUE(guitest::ShowAndWait(frame_));
        list_ = frame_->GetSelectWindow();
        output_ = frame_->GetOutputWindow();
        ASSERT_NE(list_, nullptr);
        ASSERT_NE(output_, nullptr);
    }
    void TearDown() override
    {
        sim_.MouseUp();
        // Nothing may still write into the frame being destroyed.
        if (list_ != nullptr) {
            EXPECT_TRUE(PumpUntil([&] { return !list_->IsConverting() && !list_->IsLoading(); }, 60000));
        }
        guitest::DestroyAllTopLevels();
        theme_.reset();
    }

    wxString WritePdf(const wxString& name, const fixtures::FixturePdf& pdf, const wxString& folder = wxString())
    {
        const wxString path = (folder.empty() ? src_ : folder) + "/" + name;
        fixtures::WriteFile(fs::path(path.utf8_string()), pdf.bytes);
        return path;
    }
    // Closes the window as the user does, but deletes it instead of ending
    // the process; true once it is gone and every worker it started has
    // finished (they hold the conversion object until then).
    // `worker_outlived` tells whether a worker was still running when the
    // window had gone.
    bool CloseAndOutlive(bool* worker_outlived)
    {
        const std::weak_ptr<DomainConvert> conversion = frame_->GetConversion()->weak_from_this();
        frame_->destroy_at_end = true;
        frame_->Close(true);
        // The frame goes now, not at the next idle time: a stopped job winds
        // down within milliseconds, and the window must be gone before it has.
        guitest::App().DeletePendingObjects();
        list_ = nullptr;
        output_ = nullptr;
        frame_ = nullptr;
        if (!PumpUntil([] { return wxTopLevelWindows.empty(); }, 10000))
            return false;
        *worker_outlived = !conversion.expired();
        // Events the worker still sends would reach freed windows now, if any did.
        return PumpUntil([&] { return conversion.expired() && g_job_state.load() == JobIdle; }, 60000);
    }
    bool WaitIdle(int ms = 60000)
    {
        return PumpUntil([&] { return !list_->IsLoading() && !list_->IsConverting(); }, ms);
    }
    void AddThroughDialog(const wxArrayString& paths)
    {
        prompt_.files.push_back(paths);
        frame_->GetMoxToolBar()->Send(AddFiles);
        ASSERT_TRUE(WaitIdle());
    }
    void AddFolderThroughDialog(const wxString& folder)
    {
        prompt_.folders.push_back(folder);
        frame_->GetMoxToolBar()->Send(NotifyCode::AddFolder);
        ASSERT_TRUE(WaitIdle());
    }
    void StartAndWait()
    {
        output_->Send(StartAll);
        ASSERT_TRUE(WaitIdle());
    }
    wxString LastMessage() const { return prompt_.messages.empty() ? wxString() : prompt_.messages.back(); }
    std::vector<wxString> Column(int column) const
    {
        std::vector<wxString> cells;
        for (int row = 0; row < list_->GetRowCount(); ++row)
            cells.push_back(list_->GetCellText(row, column));
        return cells;
    }
    std::vector<wxString> Statuses() const
    {
        std::vector<wxString> texts;
        for (int row = 0; row < list_->GetRowCount(); ++row)
            texts.push_back(list_->GetStatusText(row));
        return texts;
    }
    std::vector<std::string> FilesIn(const wxString& folder) const
    {
        return fixtures::ListFiles(fs::path(folder.utf8_string()));
    }
    // The screen rectangle of a grid cell.
    wxRect CellOnScreen(int row, int column) const
    {
        RuvGrid* grid = list_->GetGrid();
        const wxRect cell = grid->CellToRect(row, column);
        int x = 0, y = 0;
        grid->CalcScrolledPosition(cell.x, cell.y, &x, &y);
        return wxRect(grid->GetGridWindow()->ClientToScreen(wxPoint(x, y)), cell.GetSize());
    }
    void Click(wxWindow* window, const wxPoint& local)
    {
        ASSERT_TRUE(guitest::SyncEvents());  // the pointer meets the layout as shown
        sim_.MouseMove(window->ClientToScreen(local));
        ASSERT_TRUE(guitest::SyncEvents());
        sim_.MouseClick();
        ASSERT_TRUE(guitest::SyncEvents());
    }
    // A real click on a row's first cell.
    void ClickRow(int row)
    {
        const wxRect cell = CellOnScreen(row, COL_FILE_NAME);
        Click(frame_, frame_->ScreenToClient(cell.GetPosition() + wxPoint(8, cell.height / 2)));
    }

    guitest::TempDir dir_;
    wxString src_, out_;
    std::unique_ptr<guitest::ScopedThemeDir> theme_;
    guitest::ScriptedPrompt prompt_;
    WatchedFrame* frame_ = nullptr;
    SelectWindow* list_ = nullptr;
    OutputWindow* output_ = nullptr;
    wxUIActionSimulator sim_;
};

}  // namespace workarea

#endif
