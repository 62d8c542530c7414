// Times the preview as the window shows a page: RenderPage into the preview's
// box (142 x 196) through the P2X service, the picture scaled into the box
// with wxImage (wxIMAGE_QUALITY_HIGH) when it is not already that size, and,
// when a display is there, converted to a bitmap and drawn into a
// wxMemoryDC. Every page of every file, in order, the way a user walks a
// file; the first page of a file includes opening it (the kept document is
// closed before each file), the others reuse the open document.
//
//   kestran_preview_bench CORPUS-FOLDER SCAN-FOLDER [SCAN-PAGES] [--no-box]
//
// CORPUS-FOLDER: the PDFs of kestran_bench_corpus. SCAN-FOLDER: where the two
// A4 600 dpi scans (4961 x 7016) are written on the first run and reused:
// scan600-bw.pdf (1-bit Flate) and scan600-color.pdf (RGB JPEG), SCAN-PAGES
// pages each (default 4). --no-box renders as the preview did before it had
// a box (up to 4 megapixels, then scaled down), for comparison.
// Not part of the tests: timings belong here (bench/preview.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/init.h>

#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBoxWidth = 142;
constexpr int kBoxHeight = 196;
constexpr double kTargetMedianMs = 50;
constexpr double kTargetWorstMs = 300;

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A4 at 600 dpi, drawn over the whole page.
constexpr int kScanW = 4961;
constexpr int kScanH = 7016;

std::string Scan600Bw(int pages) {
    PdfWriter w;
    for (int p = 0; p < pages; ++p) {
        ImageObject img = FlateImageFromSamples(kScanW, kScanH, "/DeviceGray", 1, 1, MakeScanBits(kScanW, kScanH, 7000 + p));
        int num = w.AddStream(img.dict, img.stream);
        w.AddPage(XObjectResources({{"Scan", num}}), DrawXObject("Scan", 0, 0, 595.28, 841.89), 595.28, 841.89);
    }
    return w.Build();
}

std::string Scan600Color(int pages) {
    PdfWriter w;
    for (int p = 0; p < pages; ++p) {
        std::string jpeg = EncodeJpeg(kScanW, kScanH, 3, MakePhotoSamples(kScanW, kScanH, 3, 8000 + p), false, 85);
        int num = w.AddStream("/Type /XObject /Subtype /Image /Width " + std::to_string(kScanW) + " /Height " +
                                  std::to_string(kScanH) +
                                  " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode",
                              jpeg);
        w.AddPage(XObjectResources({{"Scan", num}}), DrawXObject("Scan", 0, 0, 595.28, 841.89), 595.28, 841.89);
    }
    return w.Build();
}

struct Sample {
    double render = 0;  // RenderPage, with the open for a first page
    double scale = 0;   // wxImage around the buffer, Rescale when needed
    double blit = 0;    // wxBitmap and DrawBitmap, when there is a display
    double Total() const { return render + scale + blit; }
};

struct FileResult {
    std::string name;
    int pages = 0;
    int failed = 0;
    Sample first;
    std::vector<Sample> next;
};

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// The largest size of `image` that fits in the box, proportions kept.
wxSize FitInBox(int w, int h) {
    const double zoom = std::min(static_cast<double>(kBoxWidth) / w, static_cast<double>(kBoxHeight) / h);
    return wxSize(std::max(1, static_cast<int>(w * zoom + 0.5)), std::max(1, static_cast<int>(h * zoom + 0.5)));
}

class PreviewBench {
public:
    PreviewBench(Pdf2xxService* service, bool box, bool blit) : service_(service), box_(box), blit_(blit) {
        if (blit_) {
            target_ = std::make_unique<wxBitmap>(kBoxWidth, kBoxHeight, 24);
            dc_ = std::make_unique<wxMemoryDC>(*target_);
        }
    }
    ~PreviewBench() {
        if (dc_)
            dc_->SelectObject(wxNullBitmap);
    }

    FileResult Walk(const fs::path& file) {
        FileResult r;
        r.name = file.filename().string();
        P2xClosePreview(service_);  // the first page opens the file
        r.pages = service_->GetPageCount(service_, file.c_str(), 0);
        for (int page = 1; page <= r.pages; ++page) {
            Sample s;
            if (!Show(file, page, s))
                ++r.failed;
            if (page == 1)
                r.first = s;
            else
                r.next.push_back(s);
        }
        return r;
    }

private:
    bool Show(const fs::path& file, int page, Sample& s) {
        int w = 0, h = 0;
        const auto t0 = Clock::now();
        unsigned char* rgb = service_->RenderPage(service_, file.c_str(), page, box_ ? kBoxWidth : 0,
                                                  box_ ? kBoxHeight : 0, &w, &h);
        const auto t1 = Clock::now();
        s.render = Ms(t0, t1);
        if (rgb == nullptr)
            return false;
        wxImage image(w, h, rgb, false);  // takes the buffer, frees it with free()
        const wxSize fitted = FitInBox(w, h);
        if (fitted != image.GetSize())
            image.Rescale(fitted.x, fitted.y, wxIMAGE_QUALITY_HIGH);
        const auto t2 = Clock::now();
        s.scale = Ms(t1, t2);
        if (dc_) {
            wxBitmap bitmap(image);
            dc_->SetBackground(*wxWHITE_BRUSH);
            dc_->Clear();
            dc_->DrawBitmap(bitmap, (kBoxWidth - fitted.x) / 2, (kBoxHeight - fitted.y) / 2, false);
            s.blit = Ms(t2, Clock::now());
        }
        return true;
    }

    Pdf2xxService* service_;
    bool box_;
    bool blit_;
    std::unique_ptr<wxBitmap> target_;
    std::unique_ptr<wxMemoryDC> dc_;
};

void PrintLine(const char* label, const std::vector<double>& v) {
    std::printf("  %-34s %5zu pages  median %7.1f ms  worst %7.1f ms\n", label, v.size(), Median(v), Worst(v));
}

int Run(const fs::path& corpus, const fs::path& scans, int scan_pages, bool box, bool blit) {
    std::error_code ec;
    fs::create_directories(scans, ec);
    struct Generated {
        const char* name;
        std::string (*make)(int);
    } generated[] = {{"scan600-bw.pdf", Scan600Bw}, {"scan600-color.pdf", Scan600Color}};
    for (const Generated& g : generated) {
        const fs::path p = scans / g.name;
        if (!fs::exists(p)) {
            std::printf("generating %s (%d pages)...\n", p.c_str(), scan_pages);
            std::fflush(stdout);
            WriteFile(p, g.make(scan_pages));
        }
    }
    std::vector<fs::path> files;
    for (const fs::path& dir : {corpus, scans})
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file() && e.path().extension() == ".pdf")
                files.push_back(e.path());
    std::sort(files.begin(), files.end());

    Pdf2xxService* service = CreatePdf2xxService("");
    if (service == nullptr) {
        std::fprintf(stderr, "preview_bench: no P2X service\n");
        return 1;
    }
    std::vector<FileResult> results;
    {
        PreviewBench bench(service, box, blit);
        for (const fs::path& f : files)
            results.push_back(bench.Walk(f));
    }
    FreePdf2xxService(service);

    std::printf("preview of every page into %d x %d (%s), scale with wxIMAGE_QUALITY_HIGH, %s\n", kBoxWidth,
                kBoxHeight, box ? "rendered into the box" : "rendered without a box, then scaled",
                blit ? "blit into a wxMemoryDC" : "no blit (no display)");
    std::printf("%-18s %5s  %-10s  %-27s  %s\n", "file", "pages", "first (ms)", "next pages: median / worst",
                "render / scale / blit medians of next pages");
    std::vector<double> first_all, next_all, first_render, next_render, next_scale, next_blit;
    int failed = 0;
    for (const FileResult& r : results) {
        std::vector<double> totals, render, scale, blit_ms;
        for (const Sample& s : r.next) {
            totals.push_back(s.Total());
            render.push_back(s.render);
            scale.push_back(s.scale);
            blit_ms.push_back(s.blit);
        }
        std::printf("%-18s %5d  %10.1f  %11.1f / %7.1f        %6.2f / %6.2f / %6.2f\n", r.name.c_str(), r.pages,
                    r.first.Total(), Median(totals), Worst(totals), Median(render), Median(scale), Median(blit_ms));
        if (r.failed)
            std::printf("  %d page(s) gave no picture\n", r.failed);
        failed += r.failed;
        first_all.push_back(r.first.Total());
        first_render.push_back(r.first.render);
        next_all.insert(next_all.end(), totals.begin(), totals.end());
        next_render.insert(next_render.end(), render.begin(), render.end());
        next_scale.insert(next_scale.end(), scale.begin(), scale.end());
        next_blit.insert(next_blit.end(), blit_ms.begin(), blit_ms.end());
    }
    std::printf("all files:\n");
    PrintLine("first page of a file (with open)", first_all);
    PrintLine("next pages (document kept open)", next_all);
    PrintLine("  of which RenderPage", next_render);
    PrintLine("  of which wxImage + scale", next_scale);
    if (blit)
        PrintLine("  of which bitmap + blit", next_blit);
    std::vector<double> every(first_all);
    every.insert(every.end(), next_all.begin(), next_all.end());
    const bool met = Median(every) < kTargetMedianMs && Worst(every) < kTargetWorstMs;
    std::printf("every page: median %.1f ms (target < %.0f), worst %.1f ms (target < %.0f): %s\n", Median(every),
                kTargetMedianMs, Worst(every), kTargetWorstMs, met ? "met" : "NOT met");
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool box = std::find(args.begin(), args.end(), "--no-box") == args.end();
    args.erase(std::remove(args.begin(), args.end(), "--no-box"), args.end());
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER SCAN-FOLDER [SCAN-PAGES] [--no-box]\n", argv[0]);
        return 2;
    }
    const int scan_pages = args.size() == 3 ? std::atoi(args[2].c_str()) : 4;
    if (scan_pages < 1) {
        std::fprintf(stderr, "SCAN-PAGES must be a positive number\n");
        return 2;
    }
    // A bitmap and a memory DC need the toolkit, which needs a display; the
    // rest needs wxWidgets' base only.
    const bool display = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    int result = 1;
    try {
        if (display) {
            wxApp::SetInstance(new wxApp);  // wxEntryCleanup deletes it
            int wx_argc = 1;
            char* wx_argv[] = {argv[0], nullptr};
            if (!wxEntryStart(wx_argc, wx_argv)) {
                std::fprintf(stderr, "preview_bench: the toolkit did not start\n");
                return 1;
            }
            result = Run(args[0], args[1], scan_pages, box, true);
            wxEntryCleanup();
        } else {
            wxInitializer init;
            if (!init.IsOk()) {
                std::fprintf(stderr, "preview_bench: wxWidgets did not start\n");
                return 1;
            }
            result = Run(args[0], args[1], scan_pages, box, false);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "preview_bench: %s\n", e.what());
        return 1;
    }
    return result;
}
