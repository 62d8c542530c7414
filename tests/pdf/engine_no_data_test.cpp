// An image none of whose rows decode is skipped ("no image data could be
// decoded"), never written as a flat rectangle of padding; one cut part way
// is written and said to be incomplete; a picture that really is flat is
// written as any other. Decided from what the decoders deliver, held and
// streamed alike.
#include <gtest/gtest.h>

#include "pdf/image_extractor.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

constexpr int kW = 240;
constexpr int kH = 160;

enum class Result { Skipped, Incomplete, Written };

struct NoDataCase {
    const char* name;
    std::function<ImageObject()> image;
    Result result;
};

ImageObject FlateWith(const std::string& stream)
{
    ImageObject img = FlateImageFromSamples(kW, kH, "/DeviceRGB", 3, 8, std::string());
    img.stream = stream;
    return img;
}

std::vector<NoDataCase> Cases()
{
    const auto deflated = [] { return Deflate(MakePhotoSamples(kW, kH, 3, 7)); };
    return {
        {"FlateEmpty", [] { return FlateWith(std::string()); }, Result::Skipped},
        {"FlateNotZlib", [] { return FlateWith(std::string(3000, '\x5a')); }, Result::Skipped},
        {"FlateCutBeforeFirstRow", [=] { return FlateWith(deflated().substr(0, 12)); }, Result::Skipped},
        {"FlateCutHalfway", [=] { return FlateWith(deflated().substr(0, deflated().size() / 2)); }, Result::Incomplete},
        {"FlatFlate", [] { return FlateImageFromSamples(kW, kH, "/DeviceRGB", 3, 8, std::string(kW * kH * 3, '\x40')); },
         Result::Written},
        {"FlatJpeg",
         [] {
             ImageObject img = JpegImage(JpegKind::Rgb, kW, kH, 3);
             img.stream = EncodeJpeg(kW, kH, 3, std::string(kW * kH * 3, '\x40'));
             return img;
         },
         Result::Written},
    };
}

class NoImageData : public ::testing::TestWithParam<NoDataCase> {};

TEST_P(NoImageData, SkippedOnlyWhenNoRowDecodes)
{
    const ImageObject img = GetParam().image();
    PdfWriter pdf;
    const int num = pdf.AddStream(img.dict, img.stream);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 300, 240, 160));
    for (size_t stream_bytes : {kestran::pdf::kDefaultStandInBytes, size_t(0)}) {
        SCOPED_TRACE("stream_bytes " + std::to_string(stream_bytes));
        TempDir dir("kestran-no-data");
        WriteFile(dir / "doc.pdf", pdf.Build());
        fs::create_directory(dir / "out");
        kestran::pdf::ExtractOptions options;
        options.workers = 1;
        options.stream_bytes = stream_bytes;
        std::string log;
        options.log = [&](const std::string& line) { log += line + "\n"; };
        kestran::pdf::ExtractStats stats;
        ASSERT_EQ(kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1-", (dir / "out").c_str(), nullptr,
                                                      nullptr, &stats, options),
                  KESTRAN_EXTRACT_OK);
        const Result result = GetParam().result;
        EXPECT_EQ(ListFiles(dir / "out").size(), result == Result::Skipped ? 0u : 1u) << log;
        EXPECT_EQ(stats.images_skipped, result == Result::Skipped ? 1 : 0) << log;
        EXPECT_EQ(log.find("image skipped: no image data could be decoded") != std::string::npos,
                  result == Result::Skipped)
            << log;
        EXPECT_EQ(log.find("is incomplete") != std::string::npos, result == Result::Incomplete) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NoImageData, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<NoDataCase>& info) { return info.param.name; });

}  // namespace
