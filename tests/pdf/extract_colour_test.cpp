// Each image keeps its own colours and the profile that says what they mean:
// inks in a CMYK TIFF with the file's ICC profile (the image's own or the
// page's /DefaultCMYK), gray and RGB in a PNG with the profile as iCCP, Lab
// converted to sRGB by lcms2. Read back with libtiff, libpng and lcms2.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <png.h>
#include <tiffio.h>

#include <cmath>

#include "pdf/pdf_service.h"
#include "pdf/tiff_writer.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;

namespace {

constexpr int kW = 23;  // odd sizes, so that row padding mistakes show
constexpr int kH = 17;

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s = "<";
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s + ">";
}

// The parts of a one-image page: the image's colour space and samples, what
// the page resources add, and what must come out.
struct ColourCase {
    const char* name;
    std::string colorspace;        // PDF text; "$P" stands for the profile stream, "$Q" for the second one
    std::string profile;           // stream of $P (with /N profile_n)
    int profile_n = 0;
    std::string profile2;          // stream of $Q (with /N 4), used as /DefaultCMYK when set
    bool default_cmyk = false;     // the page resources give /DefaultCMYK [/ICCBased $Q]
    int components = 0;            // samples per pixel in the file
    int bpc = 8;
    std::string extra;             // more image dictionary entries
    bool inline_image = false;
    std::string ext;               // "tif" or "png"
    std::string expected_profile;  // in the output; empty: none
    int pdf_predictor = 0;         // Flate predictor of the stored samples
    int tiff_predictor = PREDICTOR_HORIZONTAL;  // NONE: the Flate stream is the TIFF strip as stored
};

class ExtractColour : public ::testing::TestWithParam<ColourCase> {
protected:
    // Builds the page, extracts it and returns the one file written.
    std::string Run(const ColourCase& c, std::string* samples_out) {
        PdfWriter w;
        std::string cs = c.colorspace;
        auto substitute = [&](const std::string& key, int num) {
            for (size_t at; (at = cs.find(key)) != std::string::npos;)
                cs.replace(at, key.size(), Ref(num));
        };
        if (!c.profile.empty())
            substitute("$P", w.AddStream("/N " + std::to_string(c.profile_n), c.profile));
        std::string resources_extra;
        if (!c.profile2.empty()) {
            const int q = w.AddStream("/N 4", c.profile2);
            substitute("$Q", q);
            if (c.default_cmyk)
                resources_extra = "/ColorSpace << /DefaultCMYK [/ICCBased " + Ref(q) + "] >>";
        }
        std::string samples = MakeSamples(kW, kH, c.components, c.bpc, 5);
        if (cs.compare(0, 9, "[/Indexed") == 0)
            for (char& v : samples)
                v = static_cast<char>(static_cast<uint8_t>(v) % 4);  // within the palette
        *samples_out = samples;
        if (c.inline_image) {
            const std::string content = "q 200 0 0 150 72 400 cm BI /W " + std::to_string(kW) + " /H " +
                                        std::to_string(kH) + " /CS " + cs + " /BPC " + std::to_string(c.bpc) +
                                        " ID\n" + samples + "\nEI Q\n";
            w.AddPage("<< " + resources_extra + " >>", content);
        } else {
            ImageObject img = FlateImageFromSamples(kW, kH, cs, c.components, c.bpc, samples, c.pdf_predictor, c.extra);
            const int num = w.AddStream(img.dict, img.stream);
            w.AddPage(XObjectResources({{"Im1", num}}, resources_extra), DrawXObject("Im1", 72, 400, 200, 150));
        }
        WriteFile(dir_ / "doc.pdf", w.Build());
        fs::create_directory(dir_ / "out");
        EXPECT_EQ(RunExtract((dir_ / "doc.pdf").string(), "1", (dir_ / "out").string()).result, KESTRAN_EXTRACT_OK);
        const std::vector<std::string> files = ListFiles(dir_ / "out");
        EXPECT_EQ(files, std::vector<std::string>{"doc-001-01." + c.ext});
        return files.size() == 1 ? ReadFile(dir_ / "out" / files[0]) : std::string();
    }

    TempDir dir_;
};

// The CMYK values the page paints for each pixel of the case's samples.
std::vector<int> ExpectedInks(const ColourCase& c, const std::string& samples) {
    std::vector<int> inks;
    const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
    for (int i = 0; i < kW * kH; ++i) {
        if (c.components == 4) {
            const bool inverted = c.extra.find("/Decode [1 0") != std::string::npos;
            for (int k = 0; k < 4; ++k)
                inks.push_back(inverted ? 255 - s[4 * i + k] : s[4 * i + k]);
        } else if (std::string(c.name) == "IndexedOverCmyk") {
            const int index = s[i];
            static const int palette[4][4] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {10, 200, 30, 40}, {0, 0, 0, 255}};
            for (int k = 0; k < 4; ++k)
                inks.push_back(palette[index][k]);
        } else {
            // Separation, tint t: C0 + t (C1 - C0) with C0 = 0 and C1 = (0.1 0.9 0.8 0).
            static const double c1[4] = {0.1, 0.9, 0.8, 0};
            for (int k = 0; k < 4; ++k)
                inks.push_back(static_cast<int>(std::lround(s[i] / 255.0 * c1[k] * 255.0)));
        }
    }
    return inks;
}

TEST_P(ExtractColour, KeepsTheColoursAndTheProfile) {
    const ColourCase& c = GetParam();
    std::string samples;
    const std::string file = Run(c, &samples);
    ASSERT_FALSE(file.empty());
    if (c.ext == "png") {
        EXPECT_EQ(PngIccProfile(file) == c.expected_profile, true) << "iCCP differs from the file's profile";
        PngImage png;
        ASSERT_TRUE(DecodePng(file, &png));
        ASSERT_EQ(png.width, kW);
        ASSERT_EQ(png.height, kH);
        // Samples unchanged: the profile says what they mean, nothing converts them.
        const int n = c.components;
        size_t wrong = 0;
        for (int i = 0; i < kW * kH; ++i)
            for (int k = 0; k < 3; ++k)
                wrong += png.rgba[4 * i + k] != static_cast<uint8_t>(samples[n * i + (n == 3 ? k : 0)]);
        EXPECT_EQ(wrong, 0u);
        return;
    }
    TiffImage tiff;
    std::string error;
    ASSERT_TRUE(DecodeTiff(file, &tiff, &error)) << error;
    EXPECT_EQ(tiff.photometric, PHOTOMETRIC_SEPARATED);
    EXPECT_EQ(tiff.inkset, INKSET_CMYK);
    EXPECT_EQ(tiff.compression, COMPRESSION_ADOBE_DEFLATE);
    EXPECT_EQ(tiff.predictor, c.tiff_predictor);
    EXPECT_EQ(tiff.samples_per_pixel, 4);
    EXPECT_EQ(tiff.bits, c.bpc);
    ASSERT_EQ(tiff.width, kW);
    ASSERT_EQ(tiff.height, kH);
    EXPECT_TRUE(tiff.icc_profile == c.expected_profile)
        << "profile of " << tiff.icc_profile.size() << " bytes, expected " << c.expected_profile.size();
    if (c.bpc == 16) {
        const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
        size_t wrong = 0;
        for (size_t i = 0; i < tiff.samples.size(); ++i)
            wrong += tiff.samples[i] != ((s[2 * i] << 8) | s[2 * i + 1]);
        EXPECT_EQ(wrong, 0u) << "16-bit inks cut or changed";
        return;
    }
    const std::vector<int> inks = ExpectedInks(c, samples);
    ASSERT_EQ(inks.size(), tiff.samples.size());
    int worst = 0;
    for (size_t i = 0; i < inks.size(); ++i)
        worst = std::max(worst, std::abs(inks[i] - tiff.samples[i]));
    // Exact for stored samples and palettes; a tint transform may round by one.
    EXPECT_LE(worst, c.components == 1 && std::string(c.name) != "IndexedOverCmyk" ? 1 : 0);
}

const std::string kCmyk = MakeCmykProfile("image's own");
const std::string kDefaultCmyk = MakeCmykProfile("page default");
const std::string kSrgb = MakeSrgbProfile();
const std::string kGray = MakeGrayProfile();

// The test profiles themselves: readable by lcms2, of the colour space they claim.
TEST(ColourTestProfiles, AreValidProfiles) {
    const std::pair<const std::string*, cmsColorSpaceSignature> profiles[] = {
        {&kCmyk, cmsSigCmykData}, {&kDefaultCmyk, cmsSigCmykData}, {&kSrgb, cmsSigRgbData}, {&kGray, cmsSigGrayData}};
    for (const auto& [bytes, space] : profiles) {
        ASSERT_FALSE(bytes->empty());
        cmsHPROFILE p = cmsOpenProfileFromMem(bytes->data(), static_cast<cmsUInt32Number>(bytes->size()));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(cmsGetColorSpace(p), space);
        cmsCloseProfile(p);
    }
    EXPECT_NE(kCmyk, kDefaultCmyk);
}

std::vector<ColourCase> Cases() {
    const std::string indexed_cmyk =
        "[/Indexed /DeviceCMYK 3 " + Hex(std::string("\x00\x00\x00\x00\xff\x00\x00\x00\x0a\xc8\x1e\x28\x00\x00\x00\xff", 16)) + "]";
    const std::string separation =
        "[/Separation /Spot /DeviceCMYK << /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0.1 0.9 0.8 0] /N 1 >>]";
    std::vector<ColourCase> cases;
    auto add = [&](ColourCase c) { cases.push_back(std::move(c)); };
    auto stored = [&] { cases.back().tiff_predictor = PREDICTOR_NONE; };
    // name, colour space, profile, n, profile2, default, components, bpc, extra, inline, ext, expected profile
    add({"DeviceCmyk", "/DeviceCMYK", "", 0, "", false, 4, 8, "", false, "tif", ""});
    stored();
    add({"DeviceCmykWithDefaultCmyk", "/DeviceCMYK", "", 0, kDefaultCmyk, true, 4, 8, "", false, "tif", kDefaultCmyk});
    stored();
    add({"IccCmyk", "[/ICCBased $P]", kCmyk, 4, "", false, 4, 8, "", false, "tif", kCmyk});
    stored();
    // The image's own profile wins over the page's default.
    add({"IccCmykOverDefault", "[/ICCBased $P]", kCmyk, 4, kDefaultCmyk, true, 4, 8, "", false, "tif", kCmyk});
    stored();
    // 16-bit stored rows are big-endian, which Pillow does not read: written again.
    add({"Cmyk16", "[/ICCBased $P]", kCmyk, 4, "", false, 4, 16, "", false, "tif", kCmyk});
    // Stored rows that are not the TIFF's data: decoded and compressed again.
    add({"CmykPngPredictor", "/DeviceCMYK", "", 0, kDefaultCmyk, true, 4, 8, "", false, "tif", kDefaultCmyk, 15});
    add({"CmykInvertedDecode", "/DeviceCMYK", "", 0, "", false, 4, 8, "/Decode [1 0 1 0 1 0 1 0]", false, "tif", ""});
    add({"IndexedOverCmyk", indexed_cmyk, "", 0, kDefaultCmyk, true, 1, 8, "", false, "tif", kDefaultCmyk});
    add({"SeparationCmykAlternate", separation, "", 0, "", false, 1, 8, "", false, "tif", ""});
    add({"SeparationIccAlternate",
         "[/Separation /Spot [/ICCBased $P] << /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0.1 0.9 0.8 0] /N 1 >>]",
         kCmyk, 4, "", false, 1, 8, "", false, "tif", kCmyk});
    // An inline image names no object: the page's default applies, since no
    // other CMYK space is named that it could be in.
    add({"InlineCmykWithDefault", "/CMYK", "", 0, kDefaultCmyk, true, 4, 8, "", true, "tif", kDefaultCmyk});
    add({"IccRgb", "[/ICCBased $P]", kSrgb, 3, "", false, 3, 8, "", false, "png", kSrgb});
    add({"IccGray", "[/ICCBased $P]", kGray, 1, "", false, 1, 8, "", false, "png", kGray});
    // A profile of the wrong colour space or a damaged one is left out; the image is still written.
    add({"IccRgbWithGrayProfile", "[/ICCBased $P]", kGray, 3, "", false, 3, 8, "", false, "png", ""});
    add({"IccRgbDamagedProfile", "[/ICCBased $P]", kSrgb.substr(0, kSrgb.size() / 2), 3, "", false, 3, 8, "", false,
         "png", ""});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractColour, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ColourCase>& info) { return std::string(info.param.name); });

TEST(ExtractColourPalette, IndexedOverIccRgbIsAPaletteWithTheProfile) {
    TempDir dir;
    PdfWriter w;
    const int icc = w.AddStream("/N 3", kSrgb);
    std::string lookup;
    for (int i = 0; i < 16; ++i)
        lookup += {static_cast<char>(i * 16), static_cast<char>(255 - i * 16), static_cast<char>(i * 7)};
    ImageObject img = FlateImage(kW, kH, "[/Indexed [/ICCBased " + Ref(icc) + "] 15 " + Hex(lookup) + "]", 1, 4);
    const int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    ASSERT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    const std::string file = ReadFile(dir / "out" / "doc-001-01.png");
    PngImage png;
    ASSERT_TRUE(DecodePng(file, &png));
    EXPECT_EQ(png.color_type, PNG_COLOR_TYPE_PALETTE);
    EXPECT_TRUE(PngIccProfile(file) == kSrgb);
}

// The same stored samples under two profiles are two images: each file keeps its own profile.
TEST(ExtractColourKey, SameBytesUnderAnotherProfileAreAnotherImage) {
    TempDir dir;
    PdfWriter w;
    const int own = w.AddStream("/N 4", kCmyk);
    const int other = w.AddStream("/N 4", kDefaultCmyk);
    ImageObject a = FlateImage(kW, kH, "[/ICCBased " + Ref(own) + "]", 4, 8);
    ImageObject b = FlateImage(kW, kH, "[/ICCBased " + Ref(other) + "]", 4, 8);
    ASSERT_EQ(a.stream, b.stream);
    const int na = w.AddStream(a.dict, a.stream);
    const int nb = w.AddStream(b.dict, b.stream);
    w.AddPage(XObjectResources({{"Im1", na}, {"Im2", nb}}),
              DrawXObject("Im1", 72, 400, 200, 150) + DrawXObject("Im2", 72, 100, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    ASSERT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    TiffImage first, second;
    ASSERT_TRUE(DecodeTiff(ReadFile(dir / "out" / "doc-001-01.tif"), &first));
    ASSERT_TRUE(DecodeTiff(ReadFile(dir / "out" / "doc-001-02.tif"), &second));
    EXPECT_TRUE(first.icc_profile == kCmyk);
    EXPECT_TRUE(second.icc_profile == kDefaultCmyk);
}

// A soft mask becomes the TIFF's unassociated alpha, the inks stay as stored.
TEST(ExtractColourMask, SoftMaskBecomesUnassociatedAlpha) {
    TempDir dir;
    PdfWriter w;
    ImageObject mask = SoftMaskImage(kW, kH, 3);
    const int mask_num = w.AddStream(mask.dict, mask.stream);
    const std::string samples = MakeSamples(kW, kH, 4, 8, 9);
    ImageObject img = FlateImageFromSamples(kW, kH, "/DeviceCMYK", 4, 8, samples, 0, "/SMask " + Ref(mask_num));
    const int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    ASSERT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    TiffImage tiff;
    ASSERT_TRUE(DecodeTiff(ReadFile(dir / "out" / "doc-001-01.tif"), &tiff));
    ASSERT_EQ(tiff.samples_per_pixel, 5);
    EXPECT_TRUE(tiff.unassociated_alpha);
    const std::string alpha = Inflate(mask.stream);
    size_t wrong = 0;
    for (int i = 0; i < kW * kH; ++i) {
        for (int k = 0; k < 4; ++k)
            wrong += tiff.samples[5 * i + k] != static_cast<uint8_t>(samples[4 * i + k]);
        wrong += tiff.samples[5 * i + 4] != static_cast<uint8_t>(alpha[i]);
    }
    EXPECT_EQ(wrong, 0u);
}

// ---------------------------------------------------------------------------
// Lab

struct LabCase {
    const char* name;
    int bpc;
    double white[3];
    double range[4];
    std::string decode;  // /Decode entry or empty
    double decode_values[6];
};

class ExtractLab : public ::testing::TestWithParam<LabCase> {};

TEST_P(ExtractLab, ConvertedToSrgbAsLcmsDoes) {
    const LabCase& c = GetParam();
    TempDir dir;
    PdfWriter w;
    char cs[256];
    std::snprintf(cs, sizeof cs, "[/Lab << /WhitePoint [%g %g %g] /Range [%g %g %g %g] >>]", c.white[0], c.white[1],
                  c.white[2], c.range[0], c.range[1], c.range[2], c.range[3]);
    const std::string samples = MakeSamples(kW, kH, 3, c.bpc, 4);
    ImageObject img = FlateImageFromSamples(kW, kH, cs, 3, c.bpc, samples, 0, c.decode);
    const int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    ASSERT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    const std::string file = ReadFile(dir / "out" / "doc-001-01.png");
    EXPECT_TRUE(PngHasSrgbChunk(file));
    PngImage png;
    ASSERT_TRUE(DecodePng(file, &png));
    ASSERT_EQ(png.color_type, PNG_COLOR_TYPE_RGB);

    // The reference: each sample mapped through /Decode to L*a*b*, clipped to
    // the range, and converted by lcms2 from a Lab profile of the white point.
    cmsCIEXYZ xyz = {c.white[0], c.white[1], c.white[2]};
    cmsCIExyY white;
    cmsXYZ2xyY(&white, &xyz);
    cmsHPROFILE lab = cmsCreateLab4Profile(&white);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(lab, TYPE_Lab_DBL, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    ASSERT_NE(t, nullptr);
    const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
    const double max = c.bpc == 16 ? 65535 : 255;
    int worst = 0;
    for (int i = 0; i < kW * kH; ++i) {
        cmsCIELab v;
        double d[3];
        for (int k = 0; k < 3; ++k) {
            const int idx = 3 * i + k;
            const double raw = c.bpc == 16 ? (s[2 * idx] << 8) | s[2 * idx + 1] : s[idx];
            d[k] = c.decode_values[2 * k] + raw * (c.decode_values[2 * k + 1] - c.decode_values[2 * k]) / max;
        }
        v.L = std::clamp(d[0], 0.0, 100.0);
        v.a = std::clamp(d[1], c.range[0], c.range[1]);
        v.b = std::clamp(d[2], c.range[2], c.range[3]);
        uint8_t rgb[3];
        cmsDoTransform(t, &v, rgb, 1);
        for (int k = 0; k < 3; ++k)
            worst = std::max(worst, std::abs(rgb[k] - png.rgba[4 * i + k]));
    }
    cmsDeleteTransform(t);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    EXPECT_LE(worst, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractLab,
    ::testing::Values(LabCase{"D65DefaultRange", 8, {0.9505, 1, 1.089}, {-100, 100, -100, 100}, "", {0, 100, -100, 100, -100, 100}},
                      LabCase{"D50NarrowRange", 8, {0.9642, 1, 0.8249}, {-60, 40, -20, 90}, "", {0, 100, -60, 40, -20, 90}},
                      LabCase{"Decode16", 16, {0.9505, 1, 1.089}, {-128, 127, -128, 127}, "/Decode [0 100 -50 50 -128 127]",
                              {0, 100, -50, 50, -128, 127}}),
    [](const ::testing::TestParamInfo<LabCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The TIFF writer on its own

struct TiffWriterCase {
    const char* name;
    uint32_t width;
    uint32_t height;
    int bits;
    bool alpha;
    bool flat = false;  // one value throughout, without a profile: a file of a few bytes
};

class TiffWriter : public ::testing::TestWithParam<TiffWriterCase> {};

TEST_P(TiffWriter, WritesEveryRowOfEveryStrip) {
    const TiffWriterCase& c = GetParam();
    kestran::pdf::TiffFormat format;
    format.width = c.width;
    format.height = c.height;
    format.bits = c.bits;
    format.alpha = c.alpha;
    if (!c.flat)
        format.icc_profile.assign(kCmyk.begin(), kCmyk.end());
    const int spp = c.alpha ? 5 : 4;
    auto value = [&](uint32_t x, uint32_t y, int k) {
        return static_cast<uint16_t>(((c.flat ? 1 : x * 131 + y * 977) + k * 4099) & (c.bits == 16 ? 0xffff : 0xff));
    };
    std::vector<uint8_t> out;
    ASSERT_TRUE(kestran::pdf::EncodeCmykTiff(format, [&](uint32_t y, uint32_t count, uint8_t* rows) {
        for (uint32_t r = 0; r < count; ++r)
            for (uint32_t x = 0; x < c.width; ++x)
                for (int k = 0; k < spp; ++k) {
                    const size_t i = (static_cast<size_t>(r) * c.width + x) * spp + k;
                    if (c.bits == 16)
                        reinterpret_cast<uint16_t*>(rows)[i] = value(x, y + r, k);
                    else
                        rows[i] = static_cast<uint8_t>(value(x, y + r, k));
                }
        return true;
    }, out));
    // ImageMagick refuses a file shorter than one uncompressed row.
    EXPECT_GE(out.size(), static_cast<size_t>(c.width) * spp * (c.bits / 8));
    TiffImage tiff;
    std::string error;
    ASSERT_TRUE(DecodeTiff(std::string(out.begin(), out.end()), &tiff, &error)) << error;
    EXPECT_EQ(tiff.unassociated_alpha, c.alpha);
    EXPECT_TRUE(tiff.icc_profile == (c.flat ? std::string() : kCmyk));
    size_t wrong = 0;
    for (uint32_t y = 0; y < c.height; ++y)
        for (uint32_t x = 0; x < c.width; ++x)
            for (int k = 0; k < spp; ++k)
                wrong += tiff.samples[(static_cast<size_t>(y) * c.width + x) * spp + k] != value(x, y, k);
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TiffWriter,
                         ::testing::Values(TiffWriterCase{"OnePixel", 1, 1, 8, false},
                                           TiffWriterCase{"ManyStrips8", 301, 257, 8, false},
                                           TiffWriterCase{"ManyStrips16Alpha", 97, 401, 16, true},
                                           TiffWriterCase{"WideRowOneStripEach", 20000, 3, 8, true},
                                           TiffWriterCase{"OnePixel16Alpha", 1, 1, 16, true},
                                           TiffWriterCase{"OneColumn8Alpha", 1, 7, 8, true},
                                           TiffWriterCase{"Tiny16", 2, 2, 16, false},
                                           TiffWriterCase{"FlatWideOneRow8", 500, 1, 8, false, true},
                                           TiffWriterCase{"FlatWideFewRows16Alpha", 3000, 3, 16, true, true}),
                         [](const ::testing::TestParamInfo<TiffWriterCase>& info) { return std::string(info.param.name); });

// A stored stream becomes the TIFF's strip only when it holds exactly the
// samples: a shorter, longer, cut or foreign stream would give a broken file.
TEST(TiffWriterStoredStrip, OnlyAStreamOfExactlyTheSamplesIsWrapped) {
    kestran::pdf::TiffFormat format;
    format.width = 5;
    format.height = 3;
    const std::string samples = MakeSamples(5, 3, 4, 8, 6);
    const struct {
        const char* name;
        std::string stream;
        bool wrapped;
    } cases[] = {{"exact", Deflate(samples), true},
                 {"one byte short", Deflate(samples.substr(1)), false},
                 {"one byte more", Deflate(samples + "x"), false},
                 {"cut", Deflate(samples).substr(0, 10), false},
                 {"not zlib", samples, false}};
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        const auto* data = reinterpret_cast<const uint8_t*>(c.stream.data());
        EXPECT_EQ(kestran::pdf::WrapCmykTiffStrip(format, data, c.stream.size(), out), c.wrapped) << c.name;
        if (!c.wrapped) {
            EXPECT_TRUE(out.empty()) << c.name;
            continue;
        }
        TiffImage tiff;
        ASSERT_TRUE(DecodeTiff(std::string(out.begin(), out.end()), &tiff)) << c.name;
        EXPECT_EQ(std::string(tiff.samples.begin(), tiff.samples.end()), samples) << c.name;
    }
}

TEST(TiffWriterFailure, ASourceThatGivesUpLeavesNothing) {
    kestran::pdf::TiffFormat format;
    format.width = 300;
    format.height = 300;
    std::vector<uint8_t> out;
    EXPECT_FALSE(kestran::pdf::EncodeCmykTiff(format, [](uint32_t y, uint32_t, uint8_t*) { return y < 100; }, out));
    EXPECT_TRUE(out.empty());
    format.bits = 12;
    EXPECT_FALSE(kestran::pdf::EncodeCmykTiff(format, [](uint32_t, uint32_t, uint8_t*) { return true; }, out));
}

}  // namespace

namespace {

// A large RGB image whose stored rows become the PNG's data unchanged (copied
// from the file in blocks, never loaded whole) keeps its profile too.
TEST(ExtractColourLarge, StoredRowsCopiedWithTheProfile) {
    TempDir dir;
    PdfWriter w;
    const int icc = w.AddStream("/N 3", kSrgb);
    const int width = 800, height = 600;
    ImageObject img = FlateImageFromSamples(width, height, "[/ICCBased " + Ref(icc) + "]", 3, 8,
                                            MakePhotoSamples(width, height, 3, 2), 15);
    ASSERT_GT(img.stream.size(), size_t(256) << 10) << "too small to be copied from the file";
    const int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    ASSERT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    const std::string file = ReadFile(dir / "out" / "doc-001-01.png");
    EXPECT_TRUE(PngIccProfile(file) == kSrgb);
    PngImage png;
    EXPECT_TRUE(DecodePng(file, &png));
}

}  // namespace
