// JPEG 2000 files are copied only when their header says what their colours
// are in words every viewer reads alike (gray, RGB, sYCC); CMYK ones become a
// CMYK TIFF with the inks as stored. A colour-keyed image keeps the colour of
// its transparent pixels.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>

#include "pdf/copy_rule.h"
#include "pdf/image_extractor.h"
#include "pdf/large_image.h"
#include "pdf/pdf_service.h"
#include "support/pdf_fixtures.h"

namespace fs = std::filesystem;
using namespace fixtures;
using kestran::pdf::CopyVerdict;

namespace {

constexpr int kW = 19;
constexpr int kH = 13;

std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string Box(const char* type, const std::string& body) {
    return Be32(static_cast<uint32_t>(8 + body.size())) + type + body;
}
std::string Ihdr(int components) {
    return Box("ihdr", Be32(kH) + Be32(kW) + std::string{0, static_cast<char>(components), 7, 7, 0, 0});
}
std::string Enumerated(uint32_t space) { return Box("colr", std::string{1, 0, 0} + Be32(space)); }
// A restricted ICC colour box: only the profile header's colour space matters here.
std::string IccColour(const char* space) {
    std::string profile(128, '\0');
    profile.replace(16, 4, space);
    return Box("colr", std::string{2, 0, 0} + profile);
}

// `jp2` with its header box replaced by one holding `boxes`.
std::string WithHeader(const std::string& jp2, const std::string& boxes) {
    size_t pos = 0;
    std::string out;
    while (pos + 8 <= jp2.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(jp2.data() + pos);
        size_t length = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
        if (length == 0)
            length = jp2.size() - pos;
        const std::string type = jp2.substr(pos + 4, 4);
        out += type == "jp2h" ? Box("jp2h", boxes) : jp2.substr(pos, length);
        pos += length;
    }
    return out;
}
// The codestream of a JP2 file (its 'jp2c' box body).
std::string CodestreamOf(const std::string& jp2) {
    const size_t at = jp2.find("jp2c");
    return at == std::string::npos ? std::string() : jp2.substr(at + 4);
}

struct HeaderCase {
    const char* name;
    int components;   // in the codestream
    std::string boxes;  // header boxes; "bare" copies the codestream alone
    bool copied;
};

class JpxColourHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(JpxColourHeader, CopiedOnlyWhenTheHeaderStatesGrayOrRgb) {
    const HeaderCase& c = GetParam();
    const std::string jp2 = EncodeJp2(kW, kH, c.components, MakeSamples(kW, kH, c.components, 8, 3), 0, false);
    const std::string file = c.boxes == "bare" ? CodestreamOf(jp2) : WithHeader(jp2, c.boxes);
    kestran::pdf::JpxLook look;
    look.stored_as_is = true;
    look.faithful = true;
    std::string extension;
    std::string why;
    const CopyVerdict verdict = kestran::pdf::JpxCopyVerdict(look, reinterpret_cast<const uint8_t*>(file.data()),
                                                             file.size(), false, extension, &why);
    EXPECT_EQ(verdict, c.copied ? CopyVerdict::Copy : CopyVerdict::Look) << why;
    if (c.copied) {
        EXPECT_EQ(extension, c.boxes == "bare" ? "j2k" : "jp2");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, JpxColourHeader,
    ::testing::Values(HeaderCase{"Srgb", 3, Ihdr(3) + Enumerated(16), true},
                      HeaderCase{"Gray", 1, Ihdr(1) + Enumerated(17), true},
                      HeaderCase{"Sycc", 3, Ihdr(3) + Enumerated(18), true},
                      HeaderCase{"IccGray", 1, Ihdr(1) + IccColour("GRAY"), true},
                      HeaderCase{"IccRgb", 3, Ihdr(3) + IccColour("RGB "), true},
                      HeaderCase{"BareGray", 1, "bare", true},
                      HeaderCase{"BareRgb", 3, "bare", true},
                      HeaderCase{"Cmyk", 4, Ihdr(4) + Enumerated(12), false},
                      HeaderCase{"BareCmyk", 4, "bare", false},
                      HeaderCase{"Lab", 3, Ihdr(3) + Enumerated(14), false},
                      HeaderCase{"SrgbOverGray", 1, Ihdr(1) + Enumerated(16), false},
                      HeaderCase{"IccCmyk", 4, Ihdr(4) + IccColour("CMYK"), false},
                      HeaderCase{"NoColourBox", 3, Ihdr(3), false}),
    [](const auto& info) { return std::string(info.param.name); });

// Extracts a one-image page and returns the one file written.
std::string ExtractOne(const fs::path& dir, const std::string& dict, const std::string& stream, const std::string& ext) {
    PdfWriter w;
    const int num = w.AddStream(dict, stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 200, 150));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directory(dir / "out");
    EXPECT_EQ(RunExtract((dir / "doc.pdf").string(), "1", (dir / "out").string()).result, KESTRAN_EXTRACT_OK);
    const std::vector<std::string> files = ListFiles(dir / "out");
    EXPECT_EQ(files, std::vector<std::string>{"doc-001-01." + ext});
    return files.size() == 1 ? ReadFile(dir / "out" / files[0]) : std::string();
}

std::string JpxDict(const std::string& extra = std::string()) {
    return "/Type /XObject /Subtype /Image /Width " + std::to_string(kW) + " /Height " + std::to_string(kH) +
           " /Filter /JPXDecode" + extra;
}

// A CMYK JPEG 2000 would be shown by many viewers with its black as alpha:
// the inks go to a TIFF, exactly as stored (lossless), none taken as alpha.
TEST(JpxColourOutput, CmykGoesToTiffWithTheInks) {
    TempDir dir;
    const std::string inks = MakeSamples(kW, kH, 4, 8, 7);
    const std::string jp2 = WithHeader(EncodeJp2(kW, kH, 4, inks, 0, false), Ihdr(4) + Enumerated(12));
    const std::string file = ExtractOne(dir.path(), JpxDict(), jp2, "tif");
    TiffImage tiff;
    std::string error;
    ASSERT_TRUE(DecodeTiff(file, &tiff, &error)) << error;
    EXPECT_EQ(tiff.photometric, PHOTOMETRIC_SEPARATED);
    EXPECT_EQ(tiff.samples_per_pixel, 4) << "an ink taken as alpha";
    ASSERT_EQ(tiff.samples.size(), inks.size());
    size_t wrong = 0;
    for (size_t i = 0; i < inks.size(); ++i)
        wrong += tiff.samples[i] != static_cast<uint8_t>(inks[i]);
    EXPECT_EQ(wrong, 0u) << "inks changed or inverted";
}

// Gray and RGB files that say so are still copied byte for byte.
TEST(JpxColourOutput, GrayAndRgbStillCopied) {
    for (int n : {1, 3}) {
        TempDir dir;
        const std::string jp2 = EncodeJp2(kW, kH, n, MakeSamples(kW, kH, n, 8, 9));
        EXPECT_EQ(ExtractOne(dir.path(), JpxDict(), jp2, "jp2"), jp2) << n << " components";
    }
}

// Files openjpeg decodes from the codestream alone: a palette file stays a
// palette (MuPDF would expand it to RGB), and a header openjpeg and MuPDF
// refuse (a 'cmap' box before the 'pclr' box, or one without a palette)
// does not lose an intact codestream.
struct OwnDecodeCase {
    const char* name;
    int components;     // in the codestream
    bool palette;       // the samples are indices into kPalette
    bool cmap_first;    // 'cmap' before 'pclr'
    bool stray_cmap;    // a 'cmap' box and no palette
    bool pdf_indexed = false;  // kPalette is the PDF's /Indexed colour space, not a 'pclr' box
};

const uint8_t kPalette[5][3] = {{0, 0, 0}, {255, 0, 0}, {12, 200, 34}, {250, 250, 10}, {9, 8, 7}};

std::string PaletteBoxes(bool cmap_first) {
    std::string pclr = std::string{0, 5, 3, 7, 7, 7};
    for (const auto& entry : kPalette)
        pclr.append(reinterpret_cast<const char*>(entry), 3);
    const std::string cmap = Box("cmap", std::string{0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 2});
    return cmap_first ? cmap + Box("pclr", pclr) : Box("pclr", pclr) + cmap;
}

class JpxOwnDecode : public ::testing::TestWithParam<OwnDecodeCase> {};

TEST_P(JpxOwnDecode, WritesTheCodestreamsPixels) {
    const OwnDecodeCase& c = GetParam();
    std::string samples = MakeSamples(kW, kH, c.components, 8, 13);
    if (c.palette)
        for (char& v : samples)
            v = static_cast<char>(static_cast<uint8_t>(v) % 5);
    std::string boxes = Ihdr(c.components) + Enumerated(c.components == 1 && !c.palette ? 17 : 16);
    std::string dict = JpxDict();
    if (c.pdf_indexed) {
        boxes = Ihdr(1) + Enumerated(17);
        std::string hex;
        char digits[3];
        for (const auto& entry : kPalette)
            for (uint8_t v : entry) {
                std::snprintf(digits, sizeof digits, "%02x", v);
                hex += digits;
            }
        dict = JpxDict(" /ColorSpace [/Indexed /DeviceRGB 4 <" + hex + ">]");
    } else if (c.palette) {
        boxes += PaletteBoxes(c.cmap_first);
    }
    if (c.stray_cmap)
        boxes += Box("cmap", std::string{0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0});
    const std::string jp2 = WithHeader(EncodeJp2(kW, kH, c.components, samples), boxes);
    TempDir dir;
    const std::string file = ExtractOne(dir.path(), dict, jp2, "png");
    PngImage png;
    ASSERT_TRUE(DecodePng(file, &png));
    ASSERT_EQ(png.rgba.size(), size_t(kW) * kH * 4);
    if (c.palette) {
        EXPECT_EQ(png.color_type, 3) << "not a palette PNG";
        // The PDF's palette is written whole, 2^8 entries as MuPDF reads indices.
        EXPECT_EQ(png.palette_size, c.pdf_indexed ? 256 : 5);
    }
    size_t wrong = 0;
    for (int i = 0; i < kW * kH; ++i)
        for (int k = 0; k < 3; ++k) {
            const uint8_t index = static_cast<uint8_t>(samples[i]);
            const uint8_t expected = c.palette ? kPalette[index][k]
                                               : static_cast<uint8_t>(samples[c.components * i +
                                                                               (c.components == 3 ? k : 0)]);
            wrong += png.rgba[4 * i + k] != expected;
        }
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, JpxOwnDecode,
                         ::testing::Values(OwnDecodeCase{"Palette", 1, true, false, false},
                                           OwnDecodeCase{"PaletteCmapFirst", 1, true, true, false},
                                           OwnDecodeCase{"RgbStrayCmap", 3, false, false, true},
                                           OwnDecodeCase{"PdfIndexed", 1, true, false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The same files wherever they appear: beside another image, with a soft
// mask or a /Decode of their own, held or streamed.
struct PlacedCase {
    std::string name;
    bool refused_header;  // a 'cmap' before the 'pclr' (MuPDF and openjpeg refuse the header), else a PDF /Indexed
    const char* extra;    // "smask", "decode" (leaving the colours), "invert" (refused header only) or ""
    bool beside;          // a JPEG on the same page
    bool streamed;        // stream_bytes 0
};

class JpxPlaced : public ::testing::TestWithParam<PlacedCase> {};

TEST_P(JpxPlaced, KeepsTheCodestreamsColours) {
    const PlacedCase& c = GetParam();
    std::string samples = MakeSamples(kW, kH, 1, 8, 13);
    for (char& v : samples)
        v = static_cast<char>(static_cast<uint8_t>(v) % 5);
    std::string hex;
    char digits[3];
    for (const auto& entry : kPalette)
        for (uint8_t v : entry) {
            std::snprintf(digits, sizeof digits, "%02x", v);
            hex += digits;
        }
    const std::string boxes = c.refused_header ? Ihdr(1) + Enumerated(16) + PaletteBoxes(true) : Ihdr(1) + Enumerated(17);
    const std::string jp2 = WithHeader(EncodeJp2(kW, kH, 1, samples), boxes);
    PdfWriter w;
    std::string dict = JpxDict(c.refused_header ? "" : " /ColorSpace [/Indexed /DeviceRGB 4 <" + hex + ">]");
    const std::string extra = c.extra;
    if (extra == "smask") {
        const ImageObject mask = SoftMaskImage(kW, kH, 2);
        dict += " /SMask " + std::to_string(w.AddStream(mask.dict, mask.stream)) + " 0 R";
    } else if (extra == "decode") {
        dict += c.refused_header ? " /Decode [0 1 0 1 0 1]" : " /Decode [0 255]";
    } else if (extra == "invert") {
        dict += " /Decode [1 0 1 0 1 0]";
    }
    const int jpx = w.AddStream(dict, jp2);
    const int jpeg = w.AddStream("/Type /XObject /Subtype /Image /Width 32 /Height 24 /ColorSpace /DeviceRGB "
                                 "/BitsPerComponent 8 /Filter /DCTDecode",
                                 EncodeJpeg(32, 24, 3, MakeSamples(32, 24, 3, 8, 4)));
    w.AddPage(XObjectResources({{"Im1", jpx}, {"Im2", jpeg}}),
              DrawXObject("Im1", 0, 0, 300, 300) + (c.beside ? DrawXObject("Im2", 300, 300, 32, 24) : ""));
    TempDir dir;
    WriteFile(dir.path() / "doc.pdf", w.Build());
    fs::create_directory(dir.path() / "out");
    kestran::pdf::ExtractOptions options;
    options.workers = 1;
    options.stream_bytes = c.streamed ? 0 : kestran::pdf::kDefaultStandInBytes;
    std::vector<std::string> lines;
    options.log = [&](const std::string& line) { lines.push_back(line); };
    EXPECT_EQ(kestran::pdf::ExtractImagesFromFile((dir.path() / "doc.pdf").c_str(), "1-",
                                                  (dir.path() / "out").c_str(), nullptr, nullptr, nullptr, options),
              KESTRAN_EXTRACT_OK);
    const std::vector<std::string> files = ListFiles(dir.path() / "out");
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    ASSERT_FALSE(files.empty()) << all;
    EXPECT_EQ(files[0], "doc-001-01.png") << all;
    PngImage png;
    ASSERT_TRUE(DecodePng(ReadFile(dir.path() / "out" / files[0]), &png));
    ASSERT_EQ(png.rgba.size(), size_t(kW) * kH * 4);
    // A soft mask needs an alpha channel beside the colours.
    const bool alpha = extra == "smask";
    const bool invert = extra == "invert";
    EXPECT_EQ(png.color_type, alpha ? 6 : invert ? 2 : 3) << all;
    if (alpha) {
        const std::string mask = Inflate(SoftMaskImage(kW, kH, 2).stream);
        size_t alpha_wrong = 0;
        for (int i = 0; i < kW * kH; ++i)
            alpha_wrong += png.rgba[4 * i + 3] != static_cast<uint8_t>(mask[i]);
        EXPECT_EQ(alpha_wrong, 0u);
    }
    size_t wrong = 0;
    for (int i = 0; i < kW * kH; ++i)
        for (int k = 0; k < 3; ++k)
            wrong += png.rgba[4 * i + k] != (invert ? 255 - kPalette[static_cast<uint8_t>(samples[i])][k]
                                                    : kPalette[static_cast<uint8_t>(samples[i])][k]);
    EXPECT_EQ(wrong, 0u) << all;
}

std::vector<PlacedCase> PlacedCases() {
    std::vector<PlacedCase> cases;
    for (bool refused : {false, true})
        for (const char* extra : {"", "smask", "decode", "invert"})
            for (bool beside : {false, true})
                for (bool streamed : {false, true}) {
                    if (!refused && std::string(extra) == "invert")
                        continue;
                    const std::string name = std::string(refused ? "Refused" : "Indexed") + (*extra ? extra : "plain") +
                                             (beside ? "Beside" : "Alone") + (streamed ? "Streamed" : "Held");
                    cases.push_back(PlacedCase{name, refused, extra, beside, streamed});
                }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Pages, JpxPlaced, ::testing::ValuesIn(PlacedCases()),
                         [](const auto& info) { return info.param.name; });

// MuPDF blanks a keyed pixel (premultiplied: colour and alpha 0); the file
// written keeps the pixel's own colour under the zero alpha.
TEST(ColourKey, TransparentPixelsKeepTheirColour) {
    struct KeyCase {
        const char* colorspace;
        int components;
        const char* ext;
    };
    for (const KeyCase& c : {KeyCase{"/DeviceRGB", 3, "png"}, KeyCase{"/DeviceCMYK", 4, "tif"}}) {
        TempDir dir;
        const std::string key = c.components == 3 ? "/Mask [0 120 0 255 0 255]" : "/Mask [0 120 0 255 0 255 0 255]";
        const std::string samples = MakeSamples(kW, kH, c.components, 8, 11);
        const ImageObject img = FlateImageFromSamples(kW, kH, c.colorspace, c.components, 8, samples, 0, key);
        const std::string file = ExtractOne(dir.path(), img.dict, img.stream, c.ext);
        size_t keyed = 0;
        size_t wrong = 0;
        if (c.components == 3) {
            PngImage png;
            ASSERT_TRUE(DecodePng(file, &png));
            ASSERT_EQ(png.rgba.size(), size_t(kW) * kH * 4);
            for (int i = 0; i < kW * kH; ++i) {
                const bool transparent = static_cast<uint8_t>(samples[3 * i]) <= 120;
                keyed += transparent;
                wrong += png.rgba[4 * i + 3] != (transparent ? 0 : 255);
                for (int k = 0; k < 3; ++k)
                    wrong += png.rgba[4 * i + k] != static_cast<uint8_t>(samples[3 * i + k]);
            }
        } else {
            TiffImage tiff;
            ASSERT_TRUE(DecodeTiff(file, &tiff));
            ASSERT_EQ(tiff.samples_per_pixel, 5);
            ASSERT_EQ(tiff.samples.size(), size_t(kW) * kH * 5);
            for (int i = 0; i < kW * kH; ++i) {
                const bool transparent = static_cast<uint8_t>(samples[4 * i]) <= 120;
                keyed += transparent;
                wrong += tiff.samples[5 * i + 4] != (transparent ? 0 : 255);
                for (int k = 0; k < 4; ++k)
                    wrong += tiff.samples[5 * i + k] != static_cast<uint8_t>(samples[4 * i + k]);
            }
        }
        EXPECT_GT(keyed, 0u) << c.colorspace;
        EXPECT_EQ(wrong, 0u) << c.colorspace;
    }
}

}  // namespace
