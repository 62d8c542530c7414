#include "pdf/preview_renderer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// Previews never exceed this many pixels, whatever the page size or the box
// asked for; without a box the window scales the picture down, so it stays
// sharp at the sizes the preview shows.
constexpr double kMaxPreviewPixels = 4.0 * 1000 * 1000;
// ... nor, without a box, more than this many pixels per point (216 dpi).
constexpr double kMaxPreviewZoom = 3.0;
// ... nor a side longer than this.
constexpr double kMaxPreviewSide = 16384.0;
// MuPDF opens every stream of a page's content array before it reads the
// first operator, and nothing interrupts that: a page naming one stream a
// few hundred thousand times takes seconds and gigabytes before the
// deadline can act. The preview draws this many of them at most (about
// 25 MB and 50 ms to open); real pages come nowhere near it.
constexpr int kMaxContentStreams = 2000;
// MuPDF's finest anti-aliasing (256 levels): a page shrunk into a small box
// is mostly edges, and this is what keeps text and lines legible there.
constexpr int kAntiAliasBits = 8;

struct Geometry {
    fz_matrix ctm = fz_identity;
    fz_irect box = fz_empty_irect;
};

// Without a box: the page as large as the caps allow.
Geometry CappedGeometry(fz_rect bounds)
{
    double pw = std::max(1.0, static_cast<double>(bounds.x1 - bounds.x0));
    double ph = std::max(1.0, static_cast<double>(bounds.y1 - bounds.y0));
    double zoom = std::min(kMaxPreviewZoom, std::sqrt(kMaxPreviewPixels / (pw * ph)));
    // A page of absurd proportions (1 x 10^7 points) would still make a
    // strip millions of pixels long: the long side has a cap of its own.
    zoom = std::min(zoom, kMaxPreviewSide / std::max(pw, ph));
    // Rounding out to the pixel grid adds up to a row and a column, which
    // doubles a one-pixel-wide strip: shrink until the grid fits the cap.
    Geometry g;
    for (int attempt = 0; attempt < 8; ++attempt) {
        g.ctm = fz_scale(static_cast<float>(zoom), static_cast<float>(zoom));
        g.box = fz_round_rect(fz_transform_rect(bounds, g.ctm));
        const double pixels = static_cast<double>(g.box.x1 - g.box.x0) * static_cast<double>(g.box.y1 - g.box.y0);
        if (pixels <= kMaxPreviewPixels)
            break;
        zoom *= 0.98 * kMaxPreviewPixels / pixels;
    }
    return g;
}

// Into a box: one zoom for both directions, the largest at which the whole
// page fits, within the same caps. The page's corner goes to pixel (0, 0) and
// the picture is cut to whole pixels, so it never exceeds the box even for a
// page whose box starts at a fraction of a point.
Geometry FitGeometry(fz_rect bounds, int fit_width, int fit_height)
{
    // MuPDF replaces unusable page boxes; a side that is still not a finite
    // number must not reach the conversions to whole pixels below.
    const auto extent = [](float from, float to) {
        const double d = static_cast<double>(to) - static_cast<double>(from);
        return std::isfinite(d) ? std::max(1.0, d) : 1.0;
    };
    const double pw = extent(bounds.x0, bounds.x1);
    const double ph = extent(bounds.y0, bounds.y1);
    const double max_w = std::min(static_cast<double>(fit_width), kMaxPreviewSide);
    const double max_h = std::min(static_cast<double>(fit_height), kMaxPreviewSide);
    double zoom = std::min(max_w / pw, max_h / ph);
    zoom = std::min(zoom, std::sqrt(kMaxPreviewPixels / (pw * ph)));
    double w = 1;
    double h = 1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        w = std::clamp(std::round(pw * zoom), 1.0, max_w);
        h = std::clamp(std::round(ph * zoom), 1.0, max_h);
        if (w * h <= kMaxPreviewPixels)
            break;
        zoom *= 0.98 * kMaxPreviewPixels / (w * h);
    }
    Geometry g;
    g.ctm = fz_concat(fz_translate(-bounds.x0, -bounds.y0),
                      fz_scale(static_cast<float>(zoom), static_cast<float>(zoom)));
    g.box = fz_make_irect(0, 0, static_cast<int>(w), static_cast<int>(h));
    return g;
}

// Cuts a content array longer than kMaxContentStreams to its first streams,
// in the preview's own copy of the document only. Throws like MuPDF does.
void LimitContentStreams(fz_context* ctx, pdf_page* page)
{
    if (page == nullptr)
        return;
    pdf_obj* contents = pdf_dict_get(ctx, page->obj, PDF_NAME(Contents));
    if (!pdf_is_array(ctx, contents) || pdf_array_len(ctx, contents) <= kMaxContentStreams)
        return;
    pdf_obj* kept = pdf_new_array(ctx, page->doc, kMaxContentStreams);
    fz_try(ctx)
    {
        for (int i = 0; i < kMaxContentStreams; ++i)
            pdf_array_push(ctx, kept, pdf_array_get(ctx, contents, i));
        pdf_dict_put(ctx, page->obj, PDF_NAME(Contents), kept);
    }
    fz_always(ctx)
    {
        pdf_drop_obj(ctx, kept);
    }
    fz_catch(ctx)
    {
        fz_rethrow(ctx);
    }
}

// True when nothing was drawn on the white pixmap.
bool IsBlank(fz_context* ctx, fz_pixmap* pix)
{
    const int h = fz_pixmap_height(ctx, pix);
    const size_t row = static_cast<size_t>(fz_pixmap_width(ctx, pix)) * fz_pixmap_components(ctx, pix);
    const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx, pix));
    const unsigned char* s = fz_pixmap_samples(ctx, pix);
    for (int y = 0; y < h; ++y, s += stride)
        if (std::any_of(s, s + row, [](unsigned char v) { return v != 0xff; }))
            return false;
    return true;
}

// The pixmap's pixels in memory from malloc, which the window hands to an
// image that frees them with free(). Null when out of memory.
unsigned char* CopyRgb(fz_context* ctx, fz_pixmap* pix, int* width, int* height)
{
    if (fz_pixmap_components(ctx, pix) != 3)
        return nullptr;
    const int w = fz_pixmap_width(ctx, pix);
    const int h = fz_pixmap_height(ctx, pix);
    const size_t row = static_cast<size_t>(w) * 3;
    auto* rgb = static_cast<unsigned char*>(std::malloc(row * static_cast<size_t>(h)));
    if (rgb == nullptr)
        return nullptr;
    const unsigned char* s = fz_pixmap_samples(ctx, pix);
    const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx, pix));
    for (int y = 0; y < h; ++y)
        std::memcpy(rgb + row * static_cast<size_t>(y), s + stride * static_cast<size_t>(y), row);
    if (width != nullptr)
        *width = w;
    if (height != nullptr)
        *height = h;
    return rgb;
}

}  // namespace

RenderDeadline::~RenderDeadline()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}

bool RenderDeadline::Arm(fz_cookie* cookie, std::chrono::steady_clock::time_point deadline)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&RenderDeadline::Watch, this);
        } catch (const std::system_error&) {
            return false;
        }
    }
    cookie_ = cookie;
    deadline_ = deadline;
    struck_ = false;
    wake_.notify_all();
    return true;
}

void RenderDeadline::StrikeNow()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (cookie_ == nullptr)
        return;
    deadline_ = std::chrono::steady_clock::now();
    wake_.notify_all();
}

void PreviewRenderer::CutShort()
{
    cut_.store(true);
    deadline_.StrikeNow();
}

bool RenderDeadline::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex_);
    cookie_ = nullptr;
    return std::exchange(struck_, false);
}

void RenderDeadline::Watch()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (cookie_ == nullptr) {
            wake_.wait(lock);
        } else if (std::chrono::steady_clock::now() >= deadline_) {
            // MuPDF reads the field as a plain int on the rendering thread;
            // an atomic store keeps the write whole and unmerged.
            __atomic_store_n(&cookie_->abort, 1, __ATOMIC_RELAXED);
            struck_ = true;
            cookie_ = nullptr;
        } else {
            wake_.wait_until(lock, deadline_);
        }
    }
}

bool PreviewRenderer::FileStamp::operator==(const FileStamp& other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           mtime_sec == other.mtime_sec && mtime_nsec == other.mtime_nsec;
}

bool PreviewRenderer::StampOf(const std::string& path, FileStamp& stamp)
{
    struct stat st {};
    // Only regular files: opening a FIFO would wait for a writer forever.
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    stamp.device = static_cast<unsigned long long>(st.st_dev);
    stamp.inode = static_cast<unsigned long long>(st.st_ino);
    stamp.size = static_cast<long long>(st.st_size);
    stamp.mtime_sec = static_cast<long long>(st.st_mtim.tv_sec);
    stamp.mtime_nsec = static_cast<long long>(st.st_mtim.tv_nsec);
    return true;
}

PreviewRenderer::~PreviewRenderer()
{
    Close();
}

void PreviewRenderer::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
}

void PreviewRenderer::CloseLocked()
{
    pdf_ = OpenedPdf();
    ctx_.reset();
    path_.clear();
    stamp_ = FileStamp();
}

bool PreviewRenderer::Prepare(const std::string& path)
{
    FileStamp now;
    if (!StampOf(path, now)) {
        CloseLocked();
        return false;
    }
    if (pdf_.doc && path == path_ && now == stamp_)
        return true;
    // Another file, or this one rewritten: offsets read from the old bytes
    // would point anywhere in the new ones.
    CloseLocked();
    ctx_ = NewThreadContext();
    if (!ctx_)
        return false;
    fz_set_aa_level(ctx_.get(), kAntiAliasBits);
    opens_.fetch_add(1);
    OpenedPdf opened;
    if (OpenPdf(ctx_.get(), path, opened) != OpenStatus::Ok)
        return false;
    pdf_ = std::move(opened);
    path_ = path;
    stamp_ = now;
    return true;
}

unsigned char* PreviewRenderer::Render(const char* path, int page, int fit_width, int fit_height, int* width,
                                       int* height)
{
    if (width != nullptr)
        *width = 0;
    if (height != nullptr)
        *height = 0;
    if (path == nullptr || *path == '\0')
        return nullptr;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Prepare(path) || page < 1 || page > pdf_.page_count)
            return nullptr;
        return RenderLocked(page, fit_width, fit_height, width, height);
    } catch (...) {
        // Out of memory or no more threads: no preview, and nothing may
        // cross the C interface.
        return nullptr;
    }
}

unsigned char* PreviewRenderer::RenderLocked(int page, int fit_width, int fit_height, int* width, int* height)
{
    fz_context* c = ctx_.get();
    fz_document* doc = &pdf_.doc.get()->super;
    fz_page* page_ptr = nullptr;
    fz_pixmap* pix_ptr = nullptr;
    fz_device* dev_ptr = nullptr;
    const bool fit = fit_width > 0 && fit_height > 0;
    const bool ready = MuTry(c, [&] {
        page_ptr = fz_load_page(c, doc, page - 1);
        LimitContentStreams(c, pdf_page_from_fz_page(c, page_ptr));
        const fz_rect bounds = fz_bound_page(c, page_ptr);
        const Geometry g = fit ? FitGeometry(bounds, fit_width, fit_height) : CappedGeometry(bounds);
        pix_ptr = fz_new_pixmap_with_bbox(c, fz_device_rgb(c), g.box, nullptr, 0);
        fz_clear_pixmap_with_value(c, pix_ptr, 0xff);
        dev_ptr = fz_new_draw_device(c, g.ctm, pix_ptr);
    });
    // Declared so that the device goes before the pixmap it draws into.
    PixmapHandle pix(c, pix_ptr);
    PageHandle fzpage(c, page_ptr);
    DeviceHandle dev(c, dev_ptr);
    if (!ready)
        return nullptr;

    // A cookie of its own, never registered with the job's stop: stopping an
    // extraction must not blank the page the user is looking at.
    fz_cookie cookie{};
    const long long budget = std::max(0LL, budget_ms_.load());
    if (!deadline_.Arm(&cookie, std::chrono::steady_clock::now() + std::chrono::milliseconds(budget)))
        return nullptr;
    if (cut_.load())  // cut before the watch began
        deadline_.StrikeNow();
    // A page that fails part way (a broken image, a damaged stream) or runs
    // out of time still shows what was drawn up to there, as viewers do.
    MuTry(c, [&] { fz_run_page(c, fzpage.get(), dev.get(), fz_identity, &cookie); });
    const bool out_of_time = deadline_.Disarm();
    MuTry(c, [&] { fz_close_device(c, dev.get()); });
    dev.reset();
    fzpage.reset();
    // Stopped before anything showed: a blank page would pass for the real
    // one. (The cookie's progress cannot tell: MuPDF restarts it at every
    // form it enters.)
    if (out_of_time && IsBlank(c, pix.get()))
        return nullptr;
    return CopyRgb(c, pix.get(), width, height);
}

}  // namespace kestran::pdf
