// Writes the benchmark corpus: PDFs shaped like the files people extract from.
//
//   kestran_bench_corpus OUTPUT-FOLDER [SCALE]
//
// SCALE (default 1.0) multiplies the page counts of the many-page files, for a
// quick smaller run; the single-page giants keep their size. Every file is the
// same on every run (fixed seeds), so figures from two machines compare.
// Files (one file per benchmark class):
//   scan-color.pdf    50 pages, one RGB JPEG of 1700 x 2200 per page (a colour scan)
//   scan-bw.pdf       60 pages, one 1-bit Flate image of 2480 x 3508 per page (a B/W scan)
//   report.pdf        40 pages, the same logo on every page, six small Flate charts
//                     per page (one with a soft mask), one small gray photo
//   posters.pdf       4 pages, one large RGB image of 3000 x 2000 with PNG predictors
//   print-cmyk.pdf    12 pages from a print workflow: an ICCBased CMYK Flate photo of
//                     2000 x 1500, a DeviceCMYK Flate image of 1000 x 750 with PNG
//                     predictors under the page's /DefaultCMYK and an Adobe CMYK JPEG
//                     of 1200 x 900 per page
//   text-1000.pdf     1,000 pages of text in a standard font, three figures in all
//                     (a manual: nearly every page's content draws no image)
//   ccitt-35000.pdf   one 35000 x 35000 1-bit CCITT G4 page (a large-format drawing)
//   ccitt-stencil.pdf one 9000 x 12000 CCITT G4 stencil (/ImageMask) painted in a colour
//   flate-20000.pdf   one 20000 x 20000 Flate RGB image (a map: flat colours, lines)
//   jpx-6000.pdf      one 6000 x 6000 RGB JPEG 2000 photograph (lossy, /JPXDecode)
//   inline-4000.pdf   4 pages of 1,000 small inline images each (BI ... ID ... EI),
//                     RGB pictures and 1-bit glyph-like masks
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

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

// A small deterministic generator (xorshift), so that every class is the same
// bytes on every run.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 1) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }

private:
    uint32_t state_;
};

// Fills one packed 1-bit row, bit 1 = black (the encoder's convention).
using BitRowFunction = std::function<void(int y, unsigned char* row)>;

// CCITT G4 data of a 1-bit image, as a PDF stores it under /CCITTFaxDecode with
// /K -1 and the default /BlackIs1 false. libtiff encodes it row by row into a
// one-strip TIFF in the temporary folder, whose strip is exactly that data;
// no whole image is ever held in memory.
std::string EncodeG4(int width, int height, const BitRowFunction& row_bits) {
    const fs::path path = fs::temp_directory_path() / ("kestran-corpus-" + std::to_string(::getpid()) + ".tif");
    struct Remove {
        fs::path path;
        ~Remove() {
            std::error_code ec;
            fs::remove(path, ec);
        }
    } remove{path};
    using Tiff = std::unique_ptr<TIFF, void (*)(TIFF*)>;
    {
        Tiff out(TIFFOpen(path.c_str(), "w"), TIFFClose);
        if (!out)
            throw std::runtime_error("cannot create " + path.string());
        TIFFSetField(out.get(), TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
        TIFFSetField(out.get(), TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
        TIFFSetField(out.get(), TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(out.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(out.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(out.get(), TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
        TIFFSetField(out.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(out.get(), TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
        std::vector<unsigned char> row((width + 7) / 8);
        for (int y = 0; y < height; ++y) {
            std::fill(row.begin(), row.end(), 0);
            row_bits(y, row.data());
            if (TIFFWriteScanline(out.get(), row.data(), static_cast<uint32_t>(y), 0) < 0)
                throw std::runtime_error("G4 encoding failed");
        }
    }
    Tiff in(TIFFOpen(path.c_str(), "r"), TIFFClose);
    uint64_t* counts = nullptr;
    if (!in || !TIFFGetField(in.get(), TIFFTAG_STRIPBYTECOUNTS, &counts) || !counts)
        throw std::runtime_error("cannot read back " + path.string());
    std::string data(static_cast<size_t>(counts[0]), '\0');
    if (TIFFReadRawStrip(in.get(), 0, data.data(), static_cast<tmsize_t>(data.size())) !=
        static_cast<tmsize_t>(data.size()))
        throw std::runtime_error("cannot read the G4 strip of " + path.string());
    return data;
}

std::string CcittDict(int width, int height, const std::string& extra) {
    const std::string w = std::to_string(width), h = std::to_string(height);
    return "/Type /XObject /Subtype /Image /Width " + w + " /Height " + h + " " + extra +
           " /Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns " + w + " /Rows " + h + " >>";
}

void SetBits(unsigned char* row, int from, int to) {  // [from, to)
    for (int x = std::max(0, from); x < to; ++x)
        row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
}

// A large-format drawing: a frame, a grid, long diagonals and a text block;
// white nearly everywhere, as such pages are.
std::string CcittPage(int) {
    const int size = 35000;
    auto rows = [](int y, unsigned char* row) {
        const int margin = 600;
        if (y < margin || y >= size - margin)
            return;
        if (y < margin + 8 || y >= size - margin - 8 || y % 1750 < 3) {
            SetBits(row, margin, size - margin);
            return;
        }
        SetBits(row, margin, margin + 8);
        SetBits(row, size - margin - 8, size - margin);
        for (int x = margin + 2100; x < size - margin; x += 2100)
            SetBits(row, x, x + 3);
        for (int k = 0; k < 4; ++k) {  // diagonals at different slopes
            int x = margin + static_cast<int>((static_cast<long long>(y - margin) * (k + 1)) % (size - 2 * margin));
            SetBits(row, x, std::min(x + 4, size - margin));
        }
        // A title block of "text" in the lower right corner: short dashes per line.
        if (y > size - 4000 && y < size - margin - 200 && (y / 40) % 3 != 0) {
            Random r(static_cast<uint32_t>(y / 40) * 7919u + 11);
            for (int x = size - 9000; x < size - margin - 300;) {
                int len = 10 + r.Below(60);
                if (r.Below(5) != 0)
                    SetBits(row, x, x + len);
                x += len + 8 + r.Below(20);
            }
        }
    };
    PdfWriter w;
    int img = w.AddStream(CcittDict(size, size, "/ColorSpace /DeviceGray /BitsPerComponent 1"), EncodeG4(size, size, rows));
    // 35000 pixels at 400 dpi: 87.5 inches square.
    w.AddPage(XObjectResources({{"Drawing", img}}), DrawXObject("Drawing", 0, 0, 6300, 6300), 6300, 6300);
    return w.Build();
}

// A scanned text page kept as a stencil painted in dark blue over a coloured page.
std::string CcittStencil(int) {
    const int iw = 9000, ih = 12000;
    const std::string bits = MakeScanBits(iw, ih, 6001);  // bit 1 = white
    const size_t row_bytes = (iw + 7) / 8;
    auto rows = [&](int y, unsigned char* row) {
        for (size_t i = 0; i < row_bytes; ++i)
            row[i] = static_cast<unsigned char>(~bits[static_cast<size_t>(y) * row_bytes + i]);
        if (iw % 8)  // padding bits stay white
            row[row_bytes - 1] &= static_cast<unsigned char>(0xff << (8 - iw % 8));
    };
    PdfWriter w;
    int img = w.AddStream(CcittDict(iw, ih, "/ImageMask true"), EncodeG4(iw, ih, rows));
    std::string content = "0.95 0.93 0.85 rg 0 0 612 792 re f\n0.1 0.1 0.5 rg\n" + DrawXObject("Text", 0, 0, 612, 792);
    w.AddPage(XObjectResources({{"Text", img}}), content);
    return w.Build();
}

// A 20000 x 20000 map: flat coloured regions, roads and a grid, deflated row by
// row (the samples, 1.2 GB, are never held whole).
std::string FlateMap(int) {
    const int size = 20000;
    z_stream z{};
    if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&z, deflateEnd);
    std::string out;
    std::vector<unsigned char> row(static_cast<size_t>(size) * 3);
    std::vector<unsigned char> chunk(1 << 20);
    auto pump = [&](int flush) {
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            if (deflate(&z, flush) == Z_STREAM_ERROR)
                throw std::runtime_error("deflate failed");
            out.append(reinterpret_cast<char*>(chunk.data()), chunk.size() - z.avail_out);
        } while (z.avail_out == 0);
    };
    for (int y = 0; y < size; ++y) {
        const int cell_y = y / 500;
        for (int x = 0; x < size; ++x) {
            unsigned char* px = &row[static_cast<size_t>(x) * 3];
            const int cell_x = x / 500;
            uint32_t h = static_cast<uint32_t>(cell_x * 73856093) ^ static_cast<uint32_t>(cell_y * 19349663);
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            // Land use: a few flat colours, with shading steps of 25 pixels.
            int shade = ((x / 25 + y / 25) % 4) * 6;
            px[0] = static_cast<unsigned char>(120 + (h & 0x3f) + shade);
            px[1] = static_cast<unsigned char>(140 + ((h >> 6) & 0x3f) + shade);
            px[2] = static_cast<unsigned char>(100 + ((h >> 12) & 0x3f));
            if (x % 500 < 3 || y % 500 < 3)  // grid
                px[0] = px[1] = px[2] = 90;
            int road = (x + y / 3) % 2600;  // slanted roads
            if (road < 14)
                px[0] = 250, px[1] = 200, px[2] = 60;
        }
        z.next_in = row.data();
        z.avail_in = static_cast<uInt>(row.size());
        pump(Z_NO_FLUSH);
    }
    pump(Z_FINISH);
    PdfWriter w;
    int img = w.AddStream("/Type /XObject /Subtype /Image /Width 20000 /Height 20000 /ColorSpace /DeviceRGB "
                          "/BitsPerComponent 8 /Filter /FlateDecode",
                          out);
    w.AddPage(XObjectResources({{"Map", img}}), DrawXObject("Map", 0, 0, 2400, 2400), 2400, 2400);
    return w.Build();
}

std::string JpxPhoto(int) {
    const int size = 6000;
    std::string jp2 = EncodeJp2(size, size, 3, MakePhotoSamples(size, size, 3, 7001), 20);
    PdfWriter w;
    // No /ColorSpace and no /BitsPerComponent: the JP2 header carries them.
    int img = w.AddStream("/Type /XObject /Subtype /Image /Width 6000 /Height 6000 /Filter /JPXDecode", jp2);
    w.AddPage(XObjectResources({{"Photo", img}}), DrawXObject("Photo", 0, 0, 1440, 1440), 1440, 1440);
    return w.Build();
}

// A manual: every page a full column of text in a standard font, and three
// figures in the whole document, so nearly every page draws no image.
std::string TextDocument(int pages) {
    static const char* const words[] = {"the", "image", "page", "stream", "object", "of", "a", "filter",
                                        "decode", "and", "is", "written", "to", "each", "file", "when",
                                        "colour", "space", "mask", "resource", "form", "in", "table", "with"};
    const int word_count = static_cast<int>(sizeof words / sizeof words[0]);
    PdfWriter w;
    int font = w.AddObject("<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman /Encoding /WinAnsiEncoding >>");
    const std::string font_res = "/Font << /F1 " + Ref(font) + " >>";
    int text_res = w.AddObject("<< " + font_res + " /ProcSet [/PDF /Text] >>");
    // The figures: a photo near the start, a chart in the middle, a diagram near the end.
    std::map<int, std::pair<std::string, int>> figures;
    {
        std::string jpeg = EncodeJpeg(1200, 900, 3, MakePhotoSamples(1200, 900, 3, 8001), false, 85);
        figures[std::min(pages, 3)] = {"Fig1", w.AddStream("/Type /XObject /Subtype /Image /Width 1200 /Height 900 "
                                                           "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode",
                                                           jpeg)};
        ImageObject chart = FlateImageFromSamples(800, 500, "/DeviceRGB", 3, 8, ChartSamples(800, 500, 8002));
        figures[std::max(1, pages / 2)] = {"Fig2", w.AddStream(chart.dict, chart.stream)};
        ImageObject diagram = FlateImageFromSamples(1000, 700, "/DeviceGray", 1, 1, MakeScanBits(1000, 700, 8003));
        figures[std::max(1, pages - 5)] = {"Fig3", w.AddStream(diagram.dict, diagram.stream)};
    }
    Random r(8000);
    for (int p = 1; p <= pages; ++p) {
        std::string content = "BT /F1 10 Tf 12 TL 72 740 Td\n";
        auto fig = figures.find(p);
        const int lines = fig == figures.end() ? 54 : 24;
        // Word by word with the spacing in a TJ array, as TeX writes its lines.
        for (int l = 0; l < lines; ++l) {
            std::string line = "[";
            for (int chars = 0; chars < 80;) {
                const char* word = words[r.Below(word_count)];
                line += std::string("(") + word + ")-" + std::to_string(250 + r.Below(120));
                chars += static_cast<int>(std::strlen(word)) + 1;
            }
            content += line + "] TJ T*\n";
        }
        content += "ET\nBT /F1 9 Tf 300 40 Td (" + std::to_string(p) + ") Tj ET\n";
        if (fig == figures.end()) {
            w.AddPage(Ref(text_res), content);
            continue;
        }
        const std::string& name = fig->second.first;
        content += DrawXObject(name, 100, 80, 412, 300);
        w.AddPage(XObjectResources({{name, fig->second.second}}, font_res), content);
    }
    return w.Build();
}

// Pages of small inline images, as some producers write glyphs, icons and
// table shading: RGB pictures, and every third one a 1-bit mask (/IM true).
// Each differs from the others, so none is merged as a duplicate.
std::string InlineImages(int pages) {
    PdfWriter w;
    uint32_t seed = 9000;
    for (int p = 0; p < pages; ++p) {
        std::string content;
        for (int i = 0; i < 1000; ++i, ++seed) {
            const int iw = 12 + static_cast<int>(seed % 13), ih = 10 + static_cast<int>(seed % 11);
            const double x = 20 + (i % 40) * 14.3, y = 20 + (i / 40) * 30.0;
            content += "q " + std::to_string(iw / 2) + " 0 0 " + std::to_string(ih / 2) + " " + std::to_string(x) +
                       " " + std::to_string(y) + " cm\n";
            if (i % 3 == 2) {
                content += "0.2 0.2 0.6 rg BI /W " + std::to_string(iw) + " /H " + std::to_string(ih) +
                           " /IM true ID\n" + MakeSamples(iw, ih, 1, 1, seed) + "\nEI Q\n";
            } else {
                content += "BI /W " + std::to_string(iw) + " /H " + std::to_string(ih) + " /CS /RGB /BPC 8 ID\n" +
                           MakeSamples(iw, ih, 3, 8, seed) + "\nEI Q\n";
            }
        }
        w.AddPage("<< >>", content);
    }
    return w.Build();
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
        int pages;  // before scaling; 0: one page, never scaled
    } items[] = {{"scan-color.pdf", ColorScan, 50},   {"scan-bw.pdf", BwScan, 60},
                 {"report.pdf", Report, 40},          {"posters.pdf", Posters, 4},
                 {"print-cmyk.pdf", PrintWorkflow, 12},
                 {"text-1000.pdf", TextDocument, 1000}, {"ccitt-35000.pdf", CcittPage, 0},
                 {"ccitt-stencil.pdf", CcittStencil, 0}, {"flate-20000.pdf", FlateMap, 0},
                 {"jpx-6000.pdf", JpxPhoto, 0},         {"inline-4000.pdf", InlineImages, 4}};
    try {
        for (const Item& item : items) {
            auto start = std::chrono::steady_clock::now();
            int pages = item.pages == 0 ? 1 : Scaled(item.pages, scale);
            std::string bytes = item.make(pages);
            WriteFile(out / item.name, bytes);
            double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%-18s %4d pages %10zu bytes  (%.1f s)\n", item.name, pages, bytes.size(), secs);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corpus: %s\n", e.what());
        return 1;
    }
    return 0;
}
