// Writes the PDF files of the cluster tests into a folder:
//
//   kestran_cluster_pdfs FOLDER [SLOW]
//
// 40 files of the usual kinds (JPEG, Flate in many colour spaces, masks,
// many pages, many images), one damaged beyond repair and one locked by a
// user password. SLOW (default 0) adds that many files of many large images,
// so that a run lasts long enough to be interrupted or to lose a worker.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/pdf_fixtures.h"

using namespace fixtures;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kestran_cluster_pdfs FOLDER [SLOW]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int slow = argc > 2 ? std::atoi(argv[2]) : 0;
    std::filesystem::create_directories(folder);
    int n = 0;
    const auto put = [&](const std::string& kind, const std::string& bytes) {
        char name[64];
        std::snprintf(name, sizeof name, "%02d-%s.pdf", ++n, kind.c_str());
        WriteFile(folder / name, bytes);
    };
    const JpegKind jpegs[] = {JpegKind::Gray, JpegKind::Rgb, JpegKind::CmykAdobe, JpegKind::CmykPlain};
    const FlateKind flates[] = {FlateKind::Rgb,      FlateKind::Rgb16,    FlateKind::Gray1,        FlateKind::Gray4,
                                FlateKind::Gray8,    FlateKind::Indexed8, FlateKind::Cmyk,         FlateKind::Lab,
                                FlateKind::DeviceN,  FlateKind::ColorKey, FlateKind::RgbPredictor, FlateKind::Indexed2};
    for (int round = 0; n < 38; ++round) {
        for (JpegKind kind : jpegs)
            if (n < 38)
                put("jpeg", MakeJpegPdf(kind, 64 + 16 * round, 48 + 8 * round).bytes);
        for (FlateKind kind : flates)
            if (n < 38)
                put("flate", MakeFlatePdf(kind, 33 + round, 21 + round).bytes);
        if (n < 38)
            put("pages", MakeMultiPagePdf(6 + round).bytes);
        if (n < 38)
            put("logo", MakeLogoPdf(3 + round).bytes);
        if (n < 38)
            put("softmask", MakeSoftMaskPdf(round % 2 == 1).bytes);
    }
    put("damaged", "%PDF-1.7\n% cut off by a failed upload: no objects, no trailer\n");
    put("locked", MakeEncryptedPdf("user-secret").bytes);
    const std::string many = slow > 0 ? MakeManyImagesPdf(1000, 128).bytes : std::string();
    for (int i = 0; i < slow; ++i)
        put("many", many);
    return 0;
}
