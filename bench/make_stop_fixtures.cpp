// Writes the files bench/stop.sh measures: decoders that run away, a Flate
// bomb, a tint function that is long for every pixel, an image whose data
// asks for more memory than it declares, small images with page-sized soft
// masks, a huge damaged file (sparse), and JPEG 2000 images: one declaring
// 16000 x 16000, one with a damaged width of 2^31, and a large one decoded by
// windows.
//
//   kestran_stop_fixtures FOLDER
#include <cstdio>
#include <filesystem>

#include "support/bomb_fixtures.h"
#include "support/pdf_fixtures.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestran_stop_fixtures FOLDER\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    using namespace fixtures;
    WriteFile(dir / "jbig2-regions.pdf", MakeJbig2RegionBombPdf(2000, 20000).bytes);
    WriteFile(dir / "jbig2-oversize.pdf", MakeJbig2OversizePagePdf(100, 40000).bytes);
    WriteFile(dir / "flate-gray-900m.pdf", MakeFlateBombPdf(30000, 30000, "/DeviceGray", 1).bytes);
    WriteFile(dir / "flate-cmyk-1g.pdf", MakeFlateBombPdf(16000, 16000, "/DeviceCMYK", 4).bytes);
    WriteFile(dir / "tint-devicen-20k.pdf", MakeTintFunctionPdf(400, 20000, 4).bytes);
    WriteFile(dir / "masks-page-sized.pdf", MakePageMaskPdf().bytes);
    WriteSparseDamagedPdf(dir / "zeros-4g.pdf", uint64_t(4) << 30);
    // JPEG 2000 that MuPDF would decode whole (a /Decode of its own), beside
    // a JPEG that is still to be written.
    Jp2Layout huge;
    huge.tile = 1024;
    huge.flat = true;
    WriteFile(dir / "jpx-16000.pdf",
              MakeJpxBesideJpegPdf(EncodeJp2Layout(16000, 16000, huge),
                                   "/Width 16000 /Height 16000 /ColorSpace /DeviceRGB /Decode [0 1 0 1 0 1]"));
    const std::string small = EncodeJp2Layout(64, 64, Jp2Layout());
    WriteFile(dir / "jpx-width-2g.pdf",
              MakeJpxBesideJpegPdf(WithJp2DeclaredSize(small, 0x80000000u, 500),
                                   "/Width 500 /Height 500 /ColorSpace /DeviceRGB /Decode [0 1 0 1 0 1]"));
    // Printing inks, which are decoded (not copied): 4000 x 4000, lossy.
    Jp2Layout inks;
    inks.components = 4;
    inks.compression_ratio = 8;
    WriteFile(dir / "jpx-cmyk-4000.pdf",
              MakeJpxBesideJpegPdf(EncodeJp2Layout(4000, 4000, inks), "/Width 4000 /Height 4000 /ColorSpace /DeviceCMYK"));
    return 0;
}
