// The PNG and JPEG output types: every image kind comes out in the file
// format the type asks for, its colours those lcms2 gives for the same
// samples (read back with libpng and libjpeg), its transparency kept in a
// PNG, also under the JPEG type.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>

#include <csetjmp>
#include <cstdlib>

#include "pdf/image_extractor.h"
#include "pdf/srgb_transform.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;
using kestran::pdf::OutputType;

namespace {

constexpr int kW = 37;  // odd sizes, so that row padding mistakes show
constexpr int kH = 26;

std::string Hex(const std::string& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string s = "<";
    for (unsigned char c : bytes)
        s += {digits[c >> 4], digits[c & 15]};
    return s + ">";
}

// An RGB profile that is not sRGB: sRGB's primaries under a 1.8 gamma.
std::string MakeGamma18Profile()
{
    cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(cmsD50_xyY(), &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    return bytes;
}

// Smooth samples (a JPEG of noise would say nothing about its colours):
// ramps up and down that differ per component and reach both ends of the range.
std::string SmoothSamples(int components, int bpc)
{
    std::string s;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < components; ++c) {
                const int t = ((c % 2 == 0 ? x * 255 / (kW - 1) : y * 255 / (kH - 1)) + 60 * c) % 510;
                const int v = t < 256 ? t : 510 - t;
                s += static_cast<char>(v);
                if (bpc == 16)
                    s += static_cast<char>(v ^ 0x5a);
            }
    return s;
}

const uint8_t kPalette[4][3] = {{250, 20, 20}, {20, 200, 40}, {30, 30, 220}, {240, 240, 240}};

struct TypeCase {
    const char* name;
    std::string colorspace;  // PDF text; "$P" stands for the profile stream
    std::string profile;     // with /N profile_n
    int profile_n = 0;
    int components = 3;
    int bpc = 8;
    bool masked = false;     // an 8-bit soft mask of the image's size
    // lcms2's own conversion of one pixel: the profile (empty: the press
    // profile), the input type, flags; or none for device colours.
    enum class Expect { Device, Profile, Press, Lab, Palette } expect = Expect::Device;
    bool gray_out = false;   // a gray file
};

struct Output {
    std::string ext;
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;  // 8-bit
    bool gray = false;
    bool srgb_chunk = false;
    bool iccp = false;
};

bool DecodeJpeg(const std::string& bytes, Output& out)
{
    struct Error {
        jpeg_error_mgr mgr;
        std::jmp_buf jump;
    } error;
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Error*>(c->err)->jump, 1); };
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    std::vector<uint8_t> row(cinfo.output_width * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
        for (size_t x = 0; x < cinfo.output_width; ++x)
            out.rgba.insert(out.rgba.end(), {row[3 * x], row[3 * x + 1], row[3 * x + 2], 255});
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

// Extracts page 1 of dir/doc.pdf into dir/out (made here) under `type`.
int ExtractTyped(const fs::path& dir, OutputType type)
{
    fs::create_directory(dir / "out");
    kestran::pdf::ExtractOptions options;
    options.output_type = type;
    options.log = [](const std::string&) {};
    return kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1", (dir / "out").c_str(), nullptr,
                                               nullptr, nullptr, options);
}

class ExtractOutputType : public ::testing::TestWithParam<std::tuple<TypeCase, OutputType>> {
protected:
    Output Run(const TypeCase& c, OutputType type, const std::string& samples)
    {
        PdfWriter w;
        std::string cs = c.colorspace;
        if (!c.profile.empty())
            cs.replace(cs.find("$P"), 2, Ref(w.AddStream("/N " + std::to_string(c.profile_n), c.profile)));
        std::string extra;
        if (c.masked) {
            const ImageObject mask = SoftMaskImage(kW, kH);
            extra = "/SMask " + Ref(w.AddStream(mask.dict, mask.stream));
        }
        const ImageObject img = FlateImageFromSamples(kW, kH, cs, c.components, c.bpc, samples, 0, extra);
        w.AddPage(XObjectResources({{"Im1", w.AddStream(img.dict, img.stream)}}), DrawXObject("Im1", 72, 400, 200, 150));
        WriteFile(dir_ / "doc.pdf", w.Build());
        EXPECT_EQ(ExtractTyped(dir_.path(), type), KESTRAN_EXTRACT_OK);
        const std::vector<std::string> files = ListFiles(dir_ / "out");
        Output out;
        if (files.size() != 1) {
            ADD_FAILURE() << files.size() << " files";
            return out;
        }
        out.ext = fs::path(files[0]).extension().string().substr(1);
        const std::string bytes = ReadFile(dir_ / "out" / files[0]);
        if (out.ext == "jpg") {
            EXPECT_TRUE(DecodeJpeg(bytes, out));
            return out;
        }
        PngImage png;
        EXPECT_TRUE(DecodePng(bytes, &png));
        out.width = png.width;
        out.height = png.height;
        out.rgba = png.rgba;
        out.gray = png.color_type == 0 || png.color_type == 4;
        out.srgb_chunk = PngHasSrgbChunk(bytes);
        out.iccp = !PngIccProfile(bytes).empty();
        return out;
    }

    TempDir dir_;
};

// The colour lcms2 gives each pixel (RGB, 8 bits), computed here apart from
// the engine's transforms.
std::vector<uint8_t> ExpectedRgb(const TypeCase& c, const std::string& samples)
{
    const size_t n = size_t(kW) * kH;
    std::vector<uint8_t> rgb(n * 3);
    const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
    if (c.expect == TypeCase::Expect::Device) {
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                rgb[3 * i + k] = c.components == 1 ? s[i * (c.bpc / 8)] : s[(3 * i + k) * (c.bpc / 8)];
        return rgb;
    }
    if (c.expect == TypeCase::Expect::Palette) {
        for (size_t i = 0; i < n; ++i)
            std::copy(kPalette[s[i] % 4], kPalette[s[i] % 4] + 3, &rgb[3 * i]);
        return rgb;
    }
    cmsHPROFILE in = nullptr;
    std::string press;
    cmsUInt32Number format = 0;
    // The samples at their own depth (16 bits in machine order).
    std::vector<uint16_t> wide;
    if (c.bpc == 16)
        for (size_t i = 0; i < samples.size() / 2; ++i)
            wide.push_back(static_cast<uint16_t>((s[2 * i] << 8) | s[2 * i + 1]));
    switch (c.expect) {
    case TypeCase::Expect::Lab: {
        in = cmsCreateLab4Profile(cmsD50_xyY());
        // The default /Decode: L* 0..100, a* and b* -100..100.
        std::vector<double> lab(n * 3);
        for (size_t i = 0; i < n * 3; ++i)
            lab[i] = i % 3 == 0 ? s[i] * 100.0 / 255 : s[i] * 200.0 / 255 - 100;
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_Lab_DBL, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
        cmsDoTransform(t, lab.data(), rgb.data(), static_cast<cmsUInt32Number>(n));
        cmsDeleteTransform(t);
        cmsCloseProfile(srgb);
        cmsCloseProfile(in);
        return rgb;
    }
    case TypeCase::Expect::Press:
        press = ReadFile(kestran::pdf::PressProfilePath());
        in = cmsOpenProfileFromMem(press.data(), static_cast<cmsUInt32Number>(press.size()));
        format = TYPE_CMYK_8;
        break;
    default:
        in = cmsOpenProfileFromMem(c.profile.data(), static_cast<cmsUInt32Number>(c.profile.size()));
        format = c.components == 1 ? TYPE_GRAY_8 : c.components == 3 ? TYPE_RGB_8 : TYPE_CMYK_8;
        break;
    }
    if (c.bpc == 16)
        format = (format & ~BYTES_SH(7)) | BYTES_SH(2);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const cmsUInt32Number flags = c.components == 4 ? cmsFLAGS_BLACKPOINTCOMPENSATION : 0;
    cmsHTRANSFORM t = cmsCreateTransform(in, format, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, flags);
    cmsDoTransform(t, c.bpc == 16 ? static_cast<const void*>(wide.data()) : s, rgb.data(),
                   static_cast<cmsUInt32Number>(n));
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(in);
    return rgb;
}

TEST_P(ExtractOutputType, FormatColoursAndAlpha)
{
    const auto& [c, type] = GetParam();
    if (c.expect == TypeCase::Expect::Press && !kestran::pdf::PressProfileAvailable())
        GTEST_SKIP() << "no press profile at " << kestran::pdf::PressProfilePath();
    std::string samples = c.bpc == 8 && c.expect == TypeCase::Expect::Palette
                              ? std::string(size_t(kW) * kH, '\0') : SmoothSamples(c.components, c.bpc);
    if (c.expect == TypeCase::Expect::Palette)
        for (int i = 0; i < kW * kH; ++i)
            samples[i] = static_cast<char>((i % kW) * 4 / kW);  // bands of one entry each
    const Output out = Run(c, type, samples);
    ASSERT_EQ(out.width, kW);
    ASSERT_EQ(out.height, kH);
    // JPEG has no transparency: a masked image is a PNG under either type.
    const bool jpeg = type == OutputType::Jpeg && !c.masked;
    EXPECT_EQ(out.ext, jpeg ? "jpg" : "png");
    if (out.ext == "png") {
        EXPECT_TRUE(out.srgb_chunk);
        EXPECT_FALSE(out.iccp);
    }
    EXPECT_EQ(out.gray, c.gray_out);
    const std::vector<uint8_t> want = ExpectedRgb(c, samples);
    const std::string mask = c.masked ? SoftMaskImage(kW, kH).stream : std::string();
    const std::string alpha = c.masked ? Inflate(mask) : std::string();
    // Lossless: within one level of lcms2. JPEG: colour at half resolution
    // moves single pixels where the hue turns fast, but not the average,
    // which stays within two levels.
    const int tolerance = jpeg ? 32 : 1;
    int worst = 0;
    long long drift[3] = {0, 0, 0};
    for (int i = 0; i < kW * kH; ++i) {
        for (int k = 0; k < 3; ++k) {
            const int d = out.rgba[4 * i + k] - want[3 * i + k];
            worst = std::max(worst, std::abs(d));
            drift[k] += d;
        }
        if (c.masked) {
            ASSERT_EQ(out.rgba[4 * i + 3], static_cast<uint8_t>(alpha[i])) << "pixel " << i;
        }
    }
    EXPECT_LE(worst, tolerance);
    for (long long d : drift)
        EXPECT_LE(std::abs(d) / (kW * kH), jpeg ? 2 : 1);
}

const std::string kGamma18 = MakeGamma18Profile();
const std::string kGray22 = MakeGrayProfile();
const std::string kCmyk = MakeCmykProfile();

std::string PaletteSpace()
{
    std::string table;
    for (const auto& e : kPalette)
        table.append(reinterpret_cast<const char*>(e), 3);
    return "[/Indexed /DeviceRGB 3 " + Hex(table) + "]";
}

using E = TypeCase::Expect;
const TypeCase kKinds[] = {
    {"Gray", "/DeviceGray", "", 0, 1, 8, false, E::Device, true},
    {"Rgb", "/DeviceRGB", "", 0, 3, 8, false, E::Device, false},
    {"GrayIcc", "[/ICCBased $P]", kGray22, 1, 1, 8, false, E::Profile, true},
    {"RgbIcc", "[/ICCBased $P]", kGamma18, 3, 3, 8, false, E::Profile, false},
    {"CmykIcc", "[/ICCBased $P]", kCmyk, 4, 4, 8, false, E::Profile, false},
    {"CmykPress", "/DeviceCMYK", "", 0, 4, 8, false, E::Press, false},
    {"Indexed", PaletteSpace(), "", 0, 1, 8, false, E::Palette, false},
    {"Lab", "[/Lab << /WhitePoint [0.9642 1 0.8249] >>]", "", 0, 3, 8, false, E::Lab, false},
    {"Rgb16Icc", "[/ICCBased $P]", kGamma18, 3, 3, 16, false, E::Profile, false},
    {"Cmyk16Press", "/DeviceCMYK", "", 0, 4, 16, false, E::Press, false},
    {"RgbMasked", "/DeviceRGB", "", 0, 3, 8, true, E::Device, false},
    {"CmykIccMasked", "[/ICCBased $P]", kCmyk, 4, 4, 8, true, E::Profile, false},
};

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExtractOutputType, ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(OutputType::Png, OutputType::Jpeg)),
    [](const ::testing::TestParamInfo<std::tuple<TypeCase, OutputType>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == OutputType::Png ? "Png" : "Jpeg");
    });

// Without the press profile the program still converts CMYK, by MuPDF's formula.
TEST(ExtractOutputTypePress, MissingProfileFallsBackToTheFormula)
{
    kestran::pdf::ResetSrgbTransforms("/nonexistent/press.icc");
    TempDir dir;
    PdfWriter w;
    const std::string samples = SmoothSamples(4, 8);
    const ImageObject img = FlateImageFromSamples(kW, kH, "/DeviceCMYK", 4, 8, samples);
    w.AddPage(XObjectResources({{"Im1", w.AddStream(img.dict, img.stream)}}), DrawXObject("Im1", 0, 0, 100, 100));
    WriteFile(dir / "doc.pdf", w.Build());
    const int result = ExtractTyped(dir.path(), OutputType::Png);
    kestran::pdf::ResetSrgbTransforms();
    ASSERT_EQ(result, KESTRAN_EXTRACT_OK);
    PngImage png;
    ASSERT_TRUE(DecodePng(ReadFile(dir / "out" / "doc-001-01.png"), &png));
    const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
    for (int i = 0; i < kW * kH; ++i)
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(png.rgba[4 * i + k], 255 - std::min(255, s[4 * i + k] + s[4 * i + 3])) << "pixel " << i;
}

}  // namespace

namespace {

// Under JPEG, a stored gray or RGB JPEG that shows the page's colours is
// copied byte for byte; every other JPEG (printing inks, an inverting
// /Decode, JPEG 2000) is decoded and written again. Under PNG none is copied.
TEST(ExtractOutputTypeJpeg, CopiesOnlyJpegsThatAreAlreadySrgb)
{
    for (int k = static_cast<int>(JpegKind::Gray); k <= static_cast<int>(JpegKind::RgbNoTransform); ++k) {
        const JpegKind kind = static_cast<JpegKind>(k);
        const FixturePdf pdf = MakeJpegPdf(kind);
        const bool copied = kind == JpegKind::Gray || kind == JpegKind::Rgb;
        for (const OutputType type : {OutputType::Png, OutputType::Jpeg}) {
            TempDir dir;
            WriteFile(dir / "doc.pdf", pdf.bytes);
            ASSERT_EQ(ExtractTyped(dir.path(), type), KESTRAN_EXTRACT_OK);
            const std::string ext = type == OutputType::Png ? "png" : "jpg";
            ASSERT_EQ(ListFiles(dir / "out"), std::vector<std::string>{"doc-001-01." + ext}) << JpegKindName(kind);
            const bool same = ReadFile(dir / "out" / ("doc-001-01." + ext)) == pdf.images[0].stream;
            EXPECT_EQ(same, copied && type == OutputType::Jpeg) << JpegKindName(kind);
        }
    }
}

}  // namespace
