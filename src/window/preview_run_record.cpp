#include "window/preview_run_record.h"

#include <algorithm>
#include <cstdlib>

#include "common/task_thread.h"

wxDEFINE_EVENT(EVT_PREVIEW_RENDERED, wxThreadEvent);

namespace {

// `size` scaled to fit inside `box` with its proportions kept.
wxSize ScaledToFit(const wxSize& size, const wxSize& box)
{
    if (size.x <= 0 || size.y <= 0 || box.x <= 0 || box.y <= 0)
        return wxSize();
    const double scale = std::min(static_cast<double>(box.x) / size.x, static_cast<double>(box.y) / size.y);
    return wxSize(std::max(1, static_cast<int>(size.x * scale + 0.5)), std::max(1, static_cast<int>(size.y * scale + 0.5)));
}

}  // namespace

unsigned PreviewRunRecord::Request(const wxString& path, int page, const wxSize& box)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = Job{++generation_, path.utf8_string(), page, box};
    picture_.reset();
    if (drawing_)
        renderer_.CutShort();  // its picture would be dropped anyway
    if (!running_) {
        // The thread keeps the record alive until it has finished with it.
        auto* holder = new std::shared_ptr<PreviewRunRecord>(shared_from_this());
        running_ = true;
        if (!(new TaskThread(holder, &PreviewRunRecord::Run))->Start()) {
            delete holder;
            running_ = false;
            pending_.reset();
            // No thread: the page is drawn here, late rather than never.
            picture_ = Draw(Job{generation_, path.utf8_string(), page, box});
            Queue(std::make_unique<wxThreadEvent>(EVT_PREVIEW_RENDERED));
        }
    }
    return generation_;
}

void PreviewRunRecord::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;  // whatever is being drawn is no longer wanted
    pending_.reset();
    picture_.reset();
    if (drawing_)
        renderer_.CutShort();
    if (running_)
        close_ = true;
    else
        renderer_.Close();
}

std::optional<PreviewPicture> PreviewRunRecord::TakePicture()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!picture_ || picture_->generation != generation_)
        return std::nullopt;
    std::optional<PreviewPicture> picture = std::move(picture_);
    picture_.reset();
    return picture;
}

void PreviewRunRecord::Run(void* holder)
{
    std::unique_ptr<std::shared_ptr<PreviewRunRecord>> self(static_cast<std::shared_ptr<PreviewRunRecord>*>(holder));
    (*self)->Work();
}

void PreviewRunRecord::Work()
{
    for (;;) {
        Job job;
        bool close = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (close_) {
                close_ = false;
                close = true;
            } else if (pending_) {
                job = std::move(*pending_);
                pending_.reset();
                drawing_ = true;
            } else {
                running_ = false;
                return;
            }
        }
        if (close) {
            renderer_.Close();
            continue;
        }
        PreviewPicture picture = Draw(job);
        std::lock_guard<std::mutex> lock(mutex_);
        drawing_ = false;
        renderer_.ClearCut();
        // wxImage counts its references without atomics: this thread lets go
        // of its own one under the mutex, before the window can take it.
        if (job.generation == generation_) {  // else superseded while it was drawn
            picture_ = picture;
            Queue(std::make_unique<wxThreadEvent>(EVT_PREVIEW_RENDERED));
        }
        picture.image = wxImage();
    }
}

PreviewPicture PreviewRunRecord::Draw(const Job& job)
{
    PreviewPicture picture;
    picture.generation = job.generation;
    picture.page = job.page;
    int width = 0, height = 0;
    unsigned char* rgb = renderer_.Render(job.path.c_str(), job.page, job.box.x, job.box.y, &width, &height);
    if (rgb == nullptr)
        return picture;
    if (width <= 0 || height <= 0) {
        std::free(rgb);
        return picture;
    }
    // wxImage takes the buffer and frees it with free(). The scaling is done
    // here too: on a big box it is the slow part after the drawing.
    picture.image = wxImage(width, height, rgb, false);
    const wxSize fitted = ScaledToFit(picture.image.GetSize(), job.box);
    if (fitted.IsFullySpecified() && fitted != picture.image.GetSize())
        picture.image.Rescale(fitted.x, fitted.y, wxIMAGE_QUALITY_HIGH);
    return picture;
}
