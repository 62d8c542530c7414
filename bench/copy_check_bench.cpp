// What the copy rule's decode check costs (bench/copy_check.sh).
//
// 1. JPEG: the check (libjpeg at 1/8 scale, every scan read) against a full
//    libjpeg decode of the same bytes, in ms per MB of JPEG data, on
//    photograph-like JPEGs of real sizes (and on any JPEG files named on the
//    command line).
// 2. With --jpx-pdfs DIR: writes PDFs holding one large image each, for
//    bench/copy_check.sh to measure the peak memory of extracting them: a
//    JPEG 2000 image that is copied, the same under a /Decode array (which
//    must be decoded), and large baseline and progressive JPEGs (copied).
#include <chrono>
#include <cstdio>
#include <csetjmp>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "pdf/cancel_flag.h"
#include "pdf/copy_rule.h"
#include "pdf/image_extractor.h"
#include "support/pdf_fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FullError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void FullExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<FullError*>(cinfo->err)->jump, 1); }

bool FullDecodeInner(jpeg_decompress_struct* cinfo, FullError* err, const std::string* bytes)
{
    if (setjmp(err->jump) != 0)
        return false;
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<unsigned long>(bytes->size()));
    jpeg_read_header(cinfo, TRUE);
    jpeg_start_decompress(cinfo);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * cinfo->output_components, 1);
    while (cinfo->output_scanline < cinfo->output_height)
        jpeg_read_scanlines(cinfo, row, 1);
    jpeg_finish_decompress(cinfo);
    return true;
}

// A full-size decode with libjpeg's default settings, as MuPDF asks for it.
bool FullDecode(const std::string& bytes)
{
    jpeg_decompress_struct cinfo{};
    FullError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = FullExit;
    const bool ok = FullDecodeInner(&cinfo, &err, &bytes);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

bool CoefficientsInner(jpeg_decompress_struct* cinfo, FullError* err, const std::string* bytes)
{
    if (setjmp(err->jump) != 0)
        return false;
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<unsigned long>(bytes->size()));
    jpeg_read_header(cinfo, TRUE);
    jpeg_read_coefficients(cinfo);
    jpeg_finish_decompress(cinfo);
    return true;
}

// Entropy decoding alone (every coefficient into memory, no inverse DCT):
// the floor under any check that reads all of the data.
bool ReadCoefficients(const std::string& bytes)
{
    jpeg_decompress_struct cinfo{};
    FullError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = FullExit;
    const bool ok = CoefficientsInner(&cinfo, &err, &bytes);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

void WriteOneImagePdf(const std::string& path, const std::string& dict, const std::string& stream)
{
    fixtures::PdfWriter writer;
    const int num = writer.AddStream(dict, stream);
    writer.AddPage(fixtures::XObjectResources({{"Im", num}}), fixtures::DrawXObject("Im", 0, 0, 400, 300));
    fixtures::WriteFile(path, writer.Build());
}

template <typename F>
double BestMs(int runs, F&& f)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

void TimeJpeg(const std::string& name, const std::string& bytes)
{
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    bool whole = false;
    const double check = BestMs(5, [&] {
        whole = kestran::pdf::JpegDecodesWhole(kestran::pdf::MemoryBlocks(
                                                   reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                                               nullptr, nullptr, nullptr);
    });
    const double full = BestMs(5, [&] { FullDecode(bytes); });
    const double entropy = BestMs(5, [&] { ReadCoefficients(bytes); });
    std::printf("%-24s %6.2f MB  check %6.1f ms/MB  full decode %6.1f ms/MB  (check/full %.2f)  "
                "entropy decoding alone %6.1f ms/MB%s\n",
                name.c_str(), mb, check / mb, full / mb, check / full, entropy / mb, whole ? "" : "  [damaged]");
}

}  // namespace

int main(int argc, char** argv)
{
    std::printf("JPEG decode check against a full decode (best of 5)\n");
    struct Size {
        int w, h, components;
        bool progressive;
    };
    const Size sizes[] = {{4000, 3000, 3, false}, {6000, 4000, 3, false}, {5000, 7000, 1, false}, {3000, 2000, 4, false}};
    for (const Size& s : sizes) {
        const std::string samples = fixtures::MakePhotoSamples(s.w, s.h, s.components, 7);
        const std::string jpeg = fixtures::EncodeJpeg(s.w, s.h, s.components, samples, false, 90);
        TimeJpeg(std::to_string(s.w) + "x" + std::to_string(s.h) + "x" + std::to_string(s.components) + " q90", jpeg);
    }
    std::string jpx_dir;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--jpx-pdfs" && i + 1 < argc)
            jpx_dir = argv[++i];
        else
            TimeJpeg(argv[i], fixtures::ReadFile(argv[i]));
    }

    if (!jpx_dir.empty()) {
        // One large JPEG 2000 image, once as it may be copied, once with a
        // /Decode array, which must be decoded; bench/copy_check.sh measures
        // the peak memory of extracting each.
        const int w = 4000, h = 3000;
        const std::string jp2 = fixtures::EncodeJp2(w, h, 3, fixtures::MakePhotoSamples(w, h, 3, 9));
        const std::string dict = "/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
                                 std::to_string(h) + " /Filter /JPXDecode";
        const std::filesystem::path folder(jpx_dir);
        WriteOneImagePdf(folder / "jpx-copied.pdf", dict, jp2);
        WriteOneImagePdf(folder / "jpx-decoded.pdf", dict + " /Decode [0 1 0 1 0 1] /ColorSpace /DeviceRGB", jp2);
        std::printf("\n%dx%d RGB JPEG 2000, %.1f MB, written to %s\n", w, h, jp2.size() / 1e6, jpx_dir.c_str());
        // Large JPEGs copied from the file in blocks: the check reads them in
        // blocks too; a progressive one holds its coefficients while checked.
        const int jw = 9000, jh = 7000;
        const std::string photo = fixtures::MakePhotoSamples(jw, jh, 3, 11);
        const std::string jdict = "/Type /XObject /Subtype /Image /Width " + std::to_string(jw) + " /Height " +
                                  std::to_string(jh) + " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode";
        const std::string baseline = fixtures::EncodeJpeg(jw, jh, 3, photo, false, 97);
        WriteOneImagePdf(folder / "jpeg-baseline.pdf", jdict, baseline);
        const std::string progressive = fixtures::EncodeJpeg(jw, jh, 3, photo, false, 92, true);
        WriteOneImagePdf(folder / "jpeg-progressive.pdf", jdict, progressive);
        std::printf("%dx%d RGB JPEG, baseline %.1f MB, progressive %.1f MB\n", jw, jh, baseline.size() / 1e6,
                    progressive.size() / 1e6);
    }
    return 0;
}
