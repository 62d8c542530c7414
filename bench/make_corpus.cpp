// Writes the benchmark corpus: PDFs shaped like the files people extract from.
//
//   kestran_bench_corpus OUTPUT-FOLDER [SCALE]
//
// SCALE (default 1.0) multiplies the page counts, for a quick smaller run.
// Files:
//   scan-color.pdf  50 pages, one RGB JPEG of 1700 x 2200 per page (a colour scan)
//   scan-bw.pdf     60 pages, one 1-bit Flate image of 2480 x 3508 per page (a B/W scan)
//   report.pdf      40 pages, the same logo on every page, six small Flate charts
//                   per page (one with a soft mask), one small gray photo
//   posters.pdf     4 pages, one large RGB image of 3000 x 2000 with PNG predictors
//   print-cmyk.pdf  12 pages from a print workflow: an ICCBased CMYK Flate photo of
//                   2000 x 1500, a DeviceCMYK Flate image of 1000 x 750 with PNG
//                   predictors under the page's /DefaultCMYK and an Adobe CMYK JPEG
//                   of 1200 x 900 per page
//   text-book.pdf   1,000 pages of compressed text set like TeX output, three images
//   text-book.pdf   1,000 pages of compressed text set like TeX output, three images
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

int Scaled(int n, double scale) {
    int v = static_cast<int>(n * scale + 0.5);
    return v < 1 ? 1 : v;
}

// A bar chart: white background, grid lines, flat bars; compresses like real
// charts. Every seed gives different bars, so no two charts are identical
// (identical images would be merged into one file, which would flatter us).
std::string ChartSamples(int width, int height, uint32_t seed) {
    std::string s(static_cast<size_t>(width) * height * 3, '\xff');
    const int bars = 5 + static_cast<int>(seed % 4);
    const int bar_w = width / (bars * 2 + 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* px = reinterpret_cast<unsigned char*>(&s[(static_cast<size_t>(y) * width + x) * 3]);
            if (y % (height / 5) == 0) {
                px[0] = px[1] = px[2] = 200;
                continue;
            }
            int slot = x / std::max(1, bar_w);
            if (slot % 2 == 1 && slot / 2 < bars) {
                int bar = slot / 2;
                uint32_t mix = (seed * 2654435761u) ^ (static_cast<uint32_t>(bar) * 40503u + seed);
                mix ^= mix >> 13;
                mix *= 0x5bd1e995u;
                mix ^= mix >> 15;
                int top = height - 10 - static_cast<int>(mix % static_cast<uint32_t>(height - 20));
                if (y >= top) {
                    px[0] = static_cast<unsigned char>(40 + bar * 40);
                    px[1] = static_cast<unsigned char>(90 + (seed % 5) * 30);
                    px[2] = static_cast<unsigned char>(200 - bar * 25);
                }
            }
        }
    return s;
}

std::string ColorScan(int pages) {
    PdfWriter w;
    const int iw = 1700, ih = 2200;
    for (int p = 0; p < pages; ++p) {
        std::string jpeg = EncodeJpeg(iw, ih, 3, MakePhotoSamples(iw, ih, 3, 1000 + p), false, 85);
        int img = w.AddStream("/Type /XObject /Subtype /Image /Width 1700 /Height 2200 /ColorSpace /DeviceRGB "
                              "/BitsPerComponent 8 /Filter /DCTDecode",
                              jpeg);
        w.AddPage(XObjectResources({{"Scan", img}}), DrawXObject("Scan", 0, 0, 612, 792));
    }
    return w.Build();
}

std::string BwScan(int pages) {
    PdfWriter w;
    const int iw = 2480, ih = 3508;
    for (int p = 0; p < pages; ++p) {
        ImageObject img = FlateImageFromSamples(iw, ih, "/DeviceGray", 1, 1, MakeScanBits(iw, ih, 2000 + p));
        int num = w.AddStream(img.dict, img.stream);
        w.AddPage(XObjectResources({{"Scan", num}}), DrawXObject("Scan", 0, 0, 595, 842));
    }
    return w.Build();
}

std::string Report(int pages) {
    PdfWriter w;
    ImageObject logo = FlateImageFromSamples(240, 80, "/DeviceRGB", 3, 8, MakePhotoSamples(240, 80, 3, 7));
    int logo_num = w.AddStream(logo.dict, logo.stream);
    for (int p = 0; p < pages; ++p) {
        std::map<std::string, int> res{{"Logo", logo_num}};
        std::string content = DrawXObject("Logo", 40, 760, 120, 40);
        for (int c = 0; c < 6; ++c) {
            uint32_t seed = 3000 + p * 10 + c;
            std::string extra;
            if (c == 5) {
                ImageObject mask = SoftMaskImage(320, 200, seed);
                extra = "/SMask " + Ref(w.AddStream(mask.dict, mask.stream));
            }
            ImageObject chart = FlateImageFromSamples(320, 200, "/DeviceRGB", 3, 8, ChartSamples(320, 200, seed), 0, extra);
            std::string name = "Chart" + std::to_string(c);
            res[name] = w.AddStream(chart.dict, chart.stream);
            content += DrawXObject(name, 40 + (c % 2) * 270, 520 - (c / 2) * 190, 240, 150);
        }
        ImageObject photo = FlateImageFromSamples(200, 150, "/DeviceGray", 1, 8, MakePhotoSamples(200, 150, 1, 4000 + p));
        res["Photo"] = w.AddStream(photo.dict, photo.stream);
        content += DrawXObject("Photo", 400, 700, 120, 90);
        w.AddPage(XObjectResources(res), content);
    }
    return w.Build();
}

std::string Posters(int pages) {
    PdfWriter w;
    const int iw = 3000, ih = 2000;
    for (int p = 0; p < pages; ++p) {
        // PNG-style rows with the per-row filter choice PNG encoders make.
        std::string rows = PngPredict(MakePhotoSamples(iw, ih, 3, 5000 + p), iw, ih, 3, 8, -2);
        int num = w.AddStream("/Type /XObject /Subtype /Image /Width 3000 /Height 2000 /ColorSpace /DeviceRGB "
                              "/BitsPerComponent 8 /Filter /FlateDecode /DecodeParms << /Predictor 15 /Colors 3 "
                              "/BitsPerComponent 8 /Columns 3000 >>",
                              Deflate(rows));
        w.AddPage(XObjectResources({{"Poster", num}}), DrawXObject("Poster", 0, 0, 1500, 1000), 1500, 1000);
    }
    return w.Build();
}

// CMYK images with profiles, as a print workflow exports them: each page has
// an ICCBased photo, a DeviceCMYK image given a profile by the page's
// /DefaultCMYK, and a CMYK JPEG with the Adobe marker (decoded, since its
// default /Decode makes its bytes alone show inverted inks).
std::string PrintWorkflow(int pages) {
    PdfWriter w;
    const int profile = w.AddStream("/N 4", MakeCmykProfile("print workflow"));
    const std::string icc = "[/ICCBased " + Ref(profile) + "]";
    for (int p = 0; p < pages; ++p) {
        ImageObject photo = FlateImageFromSamples(2000, 1500, icc, 4, 8, MakePhotoSamples(2000, 1500, 4, 6000 + p));
        // With PNG predictors, as Distiller's ZIP compression of 8-bit images writes them.
        ImageObject plain =
            FlateImageFromSamples(1000, 750, "/DeviceCMYK", 4, 8, MakePhotoSamples(1000, 750, 4, 7000 + p), 15);
        const int jw = 1200, jh = 900;
        std::string jpeg = EncodeJpeg(jw, jh, 4, MakePhotoSamples(jw, jh, 4, 8000 + p), true, 85);
        const int j = w.AddStream("/Type /XObject /Subtype /Image /Width 1200 /Height 900 /ColorSpace /DeviceCMYK "
                                  "/BitsPerComponent 8 /Filter /DCTDecode",
                                  jpeg);
        w.AddPage(XObjectResources({{"Photo", w.AddStream(photo.dict, photo.stream)},
                                    {"Plain", w.AddStream(plain.dict, plain.stream)},
                                    {"Jpeg", j}},
                                   "/ColorSpace << /DefaultCMYK " + icc + " >>"),
                  DrawXObject("Photo", 30, 400, 540, 405) + DrawXObject("Plain", 30, 30, 260, 195) +
                      DrawXObject("Jpeg", 310, 30, 260, 195));
    }
    return w.Build();
}

// TeX-like text: 1,000 pages of compressed text, three images in all.
std::string TextBook(int pages) {
    return MakeTextBookPdf(pages).bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER [SCALE]\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    const double scale = argc == 3 ? std::atof(argv[2]) : 1.0;
    if (scale <= 0) {
        std::fprintf(stderr, "SCALE must be a positive number\n");
        return 2;
    }
    std::error_code ec;
    fs::create_directories(out, ec);
    struct Item {
        const char* name;
        std::string (*make)(int);
        int pages;
    } items[] = {{"scan-color.pdf", ColorScan, 50}, {"scan-bw.pdf", BwScan, 60}, {"report.pdf", Report, 40},
                 {"posters.pdf", Posters, 4}, {"print-cmyk.pdf", PrintWorkflow, 12},
                 {"text-book.pdf", TextBook, 1000}};
    try {
        for (const Item& item : items) {
            auto start = std::chrono::steady_clock::now();
            int pages = Scaled(item.pages, scale);
            std::string bytes = item.make(pages);
            WriteFile(out / item.name, bytes);
            double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%-16s %4d pages %10zu bytes  (%.1f s)\n", item.name, pages, bytes.size(), secs);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corpus: %s\n", e.what());
        return 1;
    }
    return 0;
}
