// Writes the files bench/stop.sh measures: decoders that run away, a Flate
// bomb, a tint function that is long for every pixel, an image whose data
// asks for more memory than it declares, small images with page-sized soft
// masks, and a huge damaged file (sparse).
//
//   kestran_stop_fixtures FOLDER
#include <cstdio>
#include <filesystem>

#include "support/bomb_fixtures.h"

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
    return 0;
}
