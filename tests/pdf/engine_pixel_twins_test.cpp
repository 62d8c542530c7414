// One file per picture: images of one file that show the same pixels in the
// same format are written once whatever bytes store them (another
// compression, predictor, junk after a row's last pixel); images that differ
// in anything the written file shows (mask, palette, profile, shape) are all
// written. The hash behind it is checked at the writers first: every way a
// PNG or a TIFF is made must hash the same picture the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "pdf/image_extractor.h"
#include "pdf/pixel_hash.h"
#include "pdf/png_writer.h"
#include "pdf/tiff_writer.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;
using kestran::pdf::PixelHash;
using kestran::pdf::PixelHasher;
using kestran::pdf::PngColor;
using kestran::pdf::PngFormat;
using kestran::pdf::TiffFormat;

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

PixelHash HashInPieces(const std::string& data, size_t piece)
{
    PixelHasher hasher;
    for (size_t at = 0; at < data.size(); at += piece)
        hasher.Add(Bytes(data) + at, std::min(piece, data.size() - at));
    return hasher.Finish();
}

TEST(PixelHasher, PiecesOfAnySizeHashLikeTheWhole)
{
    const std::string data = MakeSamples(25, 13, 3, 8, 3);  // 975 bytes
    const PixelHash whole = HashInPieces(data, data.size());
    for (size_t piece : {1, 5, 8, 31, 32, 33, 64, 100, 974})
        EXPECT_EQ(HashInPieces(data, piece), whole) << "pieces of " << piece;
}

TEST(PixelHasher, EveryChangeChangesBothHalves)
{
    const std::string data = MakeSamples(25, 13, 3, 8, 3);
    const PixelHash whole = HashInPieces(data, data.size());
    for (size_t at : {size_t(0), size_t(31), size_t(32), size_t(500), data.size() - 1}) {
        std::string changed = data;
        changed[at] = static_cast<char>(changed[at] ^ 1);
        const PixelHash other = HashInPieces(changed, 7);
        EXPECT_NE(other.first, whole.first) << "byte " << at;
        EXPECT_NE(other.second, whole.second) << "byte " << at;
    }
    EXPECT_NE(HashInPieces(data + std::string(1, '\0'), 7), whole) << "a zero byte more";
    EXPECT_NE(HashInPieces(data.substr(0, data.size() - 1), 7), whole) << "a byte less";
}

// ---- PNG: every way of making one hashes the same picture the same ----

struct PngHashCase {
    const char* name;
    PngColor color;
    int depth;
    uint32_t width;
    uint32_t height;
};

void PrintTo(const PngHashCase& c, std::ostream* os) { *os << c.name; }

PngFormat FormatOf(const PngHashCase& c)
{
    PngFormat format;
    format.width = c.width;
    format.height = c.height;
    format.bit_depth = c.depth;
    format.color = c.color;
    if (c.color == PngColor::Palette) {
        for (int i = 0; i < (1 << c.depth) * 3; ++i)
            format.palette.push_back(static_cast<uint8_t>(i * 37));
        format.transparency = {0, 128, 255};
    }
    return format;
}

class PngPixelHash : public ::testing::TestWithParam<PngHashCase> {};

TEST_P(PngPixelHash, HeldStreamedAndStoredRowsHashAlike)
{
    const PngHashCase& c = GetParam();
    const PngFormat format = FormatOf(c);
    const int channels = kestran::pdf::PngChannels(c.color);
    const size_t row_bytes = kestran::pdf::PngRowBytes(format);
    const std::string rows = MakeSamples(static_cast<int>(c.width), static_cast<int>(c.height), channels, c.depth, 9);
    ASSERT_EQ(rows.size(), row_bytes * c.height);

    std::vector<uint8_t> held;
    PixelHash from_held;
    ASSERT_TRUE(kestran::pdf::EncodePng(format, Bytes(rows), row_bytes, held, kestran::pdf::kDefaultPngLevel,
                                        nullptr, nullptr, &from_held));

    PixelHash from_stream;
    {
        kestran::pdf::PngStreamEncoder encoder(format, 1, [](const uint8_t*, size_t) { return true; }, &from_stream);
        for (uint32_t y = 0; y < c.height; y += 2)
            ASSERT_TRUE(encoder.AddRows(Bytes(rows) + row_bytes * y, row_bytes, std::min<uint32_t>(2, c.height - y)));
        ASSERT_TRUE(encoder.Finish());
    }
    EXPECT_EQ(from_stream, from_held);

    // Rows stored PNG-filtered, as a PDF's predictors store them: each filter
    // alone, cycled row by row, and chosen per row.
    for (int filter : {0, 1, 2, 3, 4, -1, -2}) {
        const std::string stored =
            Deflate(PngPredict(rows, static_cast<int>(c.width), static_cast<int>(c.height), channels, c.depth, filter));
        PixelHash from_stored;
        ASSERT_TRUE(kestran::pdf::IsPngFilteredStream(format, Bytes(stored), stored.size(), &from_stored))
            << "filter " << filter;
        EXPECT_EQ(from_stored, from_held) << "filter " << filter;
    }

    // Bits after a row's last pixel are not part of the picture.
    const size_t used_bits = static_cast<size_t>(c.width) * channels * c.depth % 8;
    if (used_bits != 0) {
        std::string junk = rows;
        for (size_t y = 0; y < c.height; ++y)
            junk[row_bytes * y + row_bytes - 1] |= static_cast<char>(0xff >> used_bits);
        PixelHash from_junk;
        ASSERT_TRUE(kestran::pdf::EncodePng(format, Bytes(junk), row_bytes, held, 1, nullptr, nullptr, &from_junk));
        EXPECT_EQ(from_junk, from_held);
        const std::string stored =
            Deflate(PngPredict(junk, static_cast<int>(c.width), static_cast<int>(c.height), channels, c.depth, -2));
        ASSERT_TRUE(kestran::pdf::IsPngFilteredStream(format, Bytes(stored), stored.size(), &from_junk));
        EXPECT_EQ(from_junk, from_held);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PngPixelHash,
                         ::testing::Values(PngHashCase{"Gray1", PngColor::Gray, 1, 13, 9},
                                           PngHashCase{"Gray2", PngColor::Gray, 2, 11, 7},
                                           PngHashCase{"Gray4", PngColor::Gray, 4, 9, 5},
                                           PngHashCase{"Gray8", PngColor::Gray, 8, 17, 6},
                                           PngHashCase{"Gray16", PngColor::Gray, 16, 7, 5},
                                           PngHashCase{"Rgb8", PngColor::Rgb, 8, 10, 9},
                                           PngHashCase{"Rgb16", PngColor::Rgb, 16, 5, 4},
                                           PngHashCase{"GrayAlpha8", PngColor::GrayAlpha, 8, 6, 6},
                                           PngHashCase{"Rgba16", PngColor::Rgba, 16, 6, 3},
                                           PngHashCase{"Palette4", PngColor::Palette, 4, 13, 5},
                                           PngHashCase{"Palette8", PngColor::Palette, 8, 7, 7}),
                         [](const ::testing::TestParamInfo<PngHashCase>& info) { return info.param.name; });

PixelHash HashOfPng(const PngFormat& format, const std::string& rows)
{
    std::vector<uint8_t> out;
    PixelHash hash;
    EXPECT_TRUE(kestran::pdf::EncodePng(format, Bytes(rows), kestran::pdf::PngRowBytes(format), out,
                                        kestran::pdf::kDefaultPngLevel, nullptr, nullptr, &hash));
    return hash;
}

// The same rows under another header show another picture; a profile that
// is not written changes nothing.
TEST(PngPixelHashFormat, WhatTheHeaderSaysIsPartOfThePicture)
{
    const PngFormat palette = FormatOf({"Palette4", PngColor::Palette, 4, 12, 8});
    const std::string indices = MakeSamples(12, 8, 1, 4, 4);
    const PixelHash base = HashOfPng(palette, indices);
    PngFormat other_entry = palette;
    other_entry.palette[5] ^= 1;
    EXPECT_NE(HashOfPng(other_entry, indices), base) << "another palette entry";
    PngFormat other_alpha = palette;
    other_alpha.transparency[1] = 129;
    EXPECT_NE(HashOfPng(other_alpha, indices), base) << "another transparency";
    PngFormat opaque = palette;
    opaque.transparency.clear();
    EXPECT_NE(HashOfPng(opaque, indices), base) << "no transparency";
    PngFormat gray = palette;
    gray.color = PngColor::Gray;
    gray.palette.clear();
    gray.transparency.clear();
    EXPECT_NE(HashOfPng(gray, indices), base) << "the indices as gray levels";

    PngFormat rgb;
    rgb.width = 12;
    rgb.height = 8;
    rgb.color = PngColor::Rgb;
    const std::string samples = MakeSamples(12, 8, 3, 8, 4);
    const PixelHash plain = HashOfPng(rgb, samples);
    PngFormat turned = rgb;
    std::swap(turned.width, turned.height);
    EXPECT_NE(HashOfPng(turned, samples), plain) << "8 x 12 instead of 12 x 8";
    PngFormat srgb = rgb;
    srgb.srgb = true;
    EXPECT_NE(HashOfPng(srgb, samples), plain) << "sRGB chunk";
    PngFormat profiled = rgb;
    const std::string profile = MakeSrgbProfile();
    profiled.icc_profile.assign(profile.begin(), profile.end());
    EXPECT_NE(HashOfPng(profiled, samples), plain) << "iCCP";
    PngFormat profiled_and_srgb = profiled;
    profiled_and_srgb.srgb = true;
    EXPECT_EQ(HashOfPng(profiled_and_srgb, samples), HashOfPng(profiled, samples))
        << "the sRGB chunk is not written beside a profile";
    PngFormat unusable = rgb;
    unusable.icc_profile.assign(200, 7);
    EXPECT_EQ(HashOfPng(unusable, samples), plain) << "a profile that is not written";
    PngFormat gray_profile = rgb;
    const std::string gray_icc = MakeGrayProfile();
    gray_profile.icc_profile.assign(gray_icc.begin(), gray_icc.end());
    EXPECT_EQ(HashOfPng(gray_profile, samples), plain) << "a gray profile is not written for RGB";
}

// ---- TIFF: encoded and wrapped strips ----

PixelHash HashOfEncodedTiff(const TiffFormat& format, const std::string& big_endian_samples)
{
    const size_t row = static_cast<size_t>(format.width) * 4 * (format.bits / 8);
    std::vector<uint8_t> out;
    PixelHash hash;
    EXPECT_TRUE(kestran::pdf::EncodeCmykTiff(
        format,
        [&](uint32_t y, uint32_t count, uint8_t* rows) {
            const uint8_t* src = Bytes(big_endian_samples) + row * y;
            if (format.bits == 8) {
                std::memcpy(rows, src, row * count);
                return true;
            }
            auto* dst = reinterpret_cast<uint16_t*>(rows);
            for (size_t i = 0; i < row * count / 2; ++i)
                dst[i] = static_cast<uint16_t>((src[2 * i] << 8) | src[2 * i + 1]);
            return true;
        },
        out, nullptr, nullptr, &hash));
    return hash;
}

TEST(TiffPixelHash, EncodedAndWrappedStripsHashAlike)
{
    for (int bits : {8, 16}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        TiffFormat format;
        format.width = 19;
        format.height = 300;  // several strips when encoded
        format.bits = bits;
        const std::string samples = MakeSamples(19, 300, 4, bits, 8);
        const PixelHash encoded = HashOfEncodedTiff(format, samples);
        for (int level : {1, 9}) {
            const std::string strip = Deflate(samples, level);
            std::vector<uint8_t> out;
            PixelHash wrapped;
            // 16-bit stored strips are big-endian, which not every reader takes: never wrapped.
            ASSERT_EQ(kestran::pdf::WrapCmykTiffStrip(format, Bytes(strip), strip.size(), out, &wrapped), bits == 8);
            if (bits == 8) {
                EXPECT_EQ(wrapped, encoded) << "level " << level;
            }
        }
        TiffFormat profiled = format;
        const std::string profile = MakeCmykProfile();
        profiled.icc_profile.assign(profile.begin(), profile.end());
        EXPECT_NE(HashOfEncodedTiff(profiled, samples), encoded) << "with a profile";
    }
}

// ---- Extraction: twins written once, lookalikes kept ----

struct TwinCase {
    std::string name;
    std::string colorspace;  // "$M1", "$M2", "$C1", "$C2", "$S" stand for masks and profiles
    int components = 3;
    int bpc = 8;
    int width = 21;
    int height = 13;
    Storage first = Storage::Flate;
    Storage second = Storage::PngPredictors;
    std::string first_extra;
    std::string second_extra;
    std::string second_colorspace;  // empty: the first's
    int second_width = 0;           // 0: the first's shape
    int second_height = 0;
    bool junk_after_rows = false;   // the second's bits after each row's last pixel set
    bool twins = true;              // one file; otherwise both are written
    std::string ext = "png";
};

void PrintTo(const TwinCase& c, std::ostream* os) { *os << c.name; }

TwinCase Twins(const std::string& name, const std::string& colorspace, int components, int bpc, Storage first,
               Storage second, const std::string& ext = "png")
{
    TwinCase c;
    c.name = name;
    c.colorspace = colorspace;
    c.components = components;
    c.bpc = bpc;
    c.first = first;
    c.second = second;
    c.ext = ext;
    return c;
}

std::vector<TwinCase> TwinCases()
{
    const std::string lab = "[/Lab << /WhitePoint [0.9505 1 1.089] /Range [-100 100 -100 100] >>]";
    std::vector<TwinCase> cases = {
        Twins("RgbFlateAndPngPredictors", "/DeviceRGB", 3, 8, Storage::Flate, Storage::PngPredictors),
        Twins("RgbFlateAndLzw", "/DeviceRGB", 3, 8, Storage::Flate, Storage::Lzw),
        Twins("RgbPngAndTiffPredictors", "/DeviceRGB", 3, 8, Storage::PngPredictors, Storage::TiffPredictor),
        Twins("RgbFlateLevelsAndRunLength", "/DeviceRGB", 3, 8, Storage::FlateFast, Storage::RunLength),
        Twins("GrayUncompressedAndHex", "/DeviceGray", 1, 8, Storage::Uncompressed, Storage::AsciiHex),
        Twins("Gray1FlateAndPngPredictors", "/DeviceGray", 1, 1, Storage::Flate, Storage::PngPredictors),
        Twins("Gray2LzwAndPngPredictors", "/DeviceGray", 1, 2, Storage::Lzw, Storage::PngPredictors),
        Twins("Gray4UncompressedAndPngPredictors", "/DeviceGray", 1, 4, Storage::Uncompressed,
              Storage::PngPredictors),
        Twins("Gray16FlateAndPngPredictors", "/DeviceGray", 1, 16, Storage::Flate, Storage::PngPredictors),
        Twins("Rgb16TiffPredictorAndUncompressed", "/DeviceRGB", 3, 16, Storage::TiffPredictor,
              Storage::Uncompressed),
        Twins("Indexed8FlateAndPngPredictors", IndexedColorspace(256), 1, 8, Storage::Flate, Storage::PngPredictors),
        Twins("Indexed4LzwAndPngPredictors", IndexedColorspace(16), 1, 4, Storage::Lzw, Storage::PngPredictors),
        Twins("CmykFlateAndLzw", "/DeviceCMYK", 4, 8, Storage::Flate, Storage::Lzw, "tif"),
        Twins("CmykFlateAndPngPredictors", "/DeviceCMYK", 4, 8, Storage::Flate, Storage::PngPredictors, "tif"),
        Twins("Cmyk16FlateAndUncompressed", "/DeviceCMYK", 4, 16, Storage::Flate, Storage::Uncompressed, "tif"),
        Twins("Cmyk16FlateAndTiffPredictor", "/DeviceCMYK", 4, 16, Storage::Flate, Storage::TiffPredictor, "tif"),
        Twins("CmykProfileFlateAndLzw", "[/ICCBased $C1]", 4, 8, Storage::Flate, Storage::Lzw, "tif"),
        Twins("RgbProfileFlateAndPngPredictors", "[/ICCBased $S]", 3, 8, Storage::Flate, Storage::PngPredictors),
        Twins("LabFlateAndLzw", lab, 3, 8, Storage::Flate, Storage::Lzw),
    };
    TwinCase junk = Twins("Gray1JunkAfterRows", "/DeviceGray", 1, 1, Storage::Uncompressed, Storage::PngPredictors);
    junk.junk_after_rows = true;
    cases.push_back(junk);
    TwinCase same_mask = Twins("SameSoftMask", "/DeviceRGB", 3, 8, Storage::Flate, Storage::PngPredictors);
    same_mask.first_extra = same_mask.second_extra = "/SMask $M1";
    cases.push_back(same_mask);

    // Lookalikes: the same samples, another picture.
    TwinCase masks = same_mask;
    masks.name = "OtherSoftMask";
    masks.second_extra = "/SMask $M2";
    masks.twins = false;
    cases.push_back(masks);
    TwinCase masked = same_mask;
    masked.name = "SoftMaskAndNone";
    masked.second_extra.clear();
    masked.twins = false;
    cases.push_back(masked);
    TwinCase stencil_mask = same_mask;
    stencil_mask.name = "SoftMaskAndColourKey";
    stencil_mask.second_extra = "/Mask [0 60 0 255 0 255]";
    stencil_mask.twins = false;
    cases.push_back(stencil_mask);
    TwinCase palette = Twins("OtherPalette", IndexedColorspace(16), 1, 4, Storage::Flate, Storage::PngPredictors);
    palette.second_colorspace = "[/Indexed /DeviceRGB 15 <" + std::string(96, 'c') + ">]";
    palette.twins = false;
    cases.push_back(palette);
    TwinCase cmyk_profile = Twins("OtherCmykProfile", "[/ICCBased $C1]", 4, 8, Storage::Flate, Storage::Lzw, "tif");
    cmyk_profile.second_colorspace = "[/ICCBased $C2]";
    cmyk_profile.twins = false;
    cases.push_back(cmyk_profile);
    TwinCase cmyk_no_profile = cmyk_profile;
    cmyk_no_profile.name = "CmykProfileAndNone";
    cmyk_no_profile.second_colorspace = "/DeviceCMYK";
    cases.push_back(cmyk_no_profile);
    TwinCase rgb_profile = Twins("RgbProfileAndNone", "[/ICCBased $S]", 3, 8, Storage::Flate, Storage::PngPredictors);
    rgb_profile.second_colorspace = "/DeviceRGB";
    rgb_profile.twins = false;
    cases.push_back(rgb_profile);
    TwinCase shape = Twins("OtherShape", "/DeviceRGB", 3, 8, Storage::Flate, Storage::Lzw);
    shape.width = 12;
    shape.height = 8;
    shape.second_width = 8;
    shape.second_height = 12;
    shape.twins = false;
    cases.push_back(shape);
    TwinCase shape1 = Twins("OtherShape1Bit", "/DeviceGray", 1, 1, Storage::Flate, Storage::PngPredictors);
    shape1.width = 16;
    shape1.height = 4;
    shape1.second_width = 8;
    shape1.second_height = 8;
    shape1.twins = false;
    cases.push_back(shape1);
    return cases;
}

// How the two images are placed and how large images must be to be streamed.
struct Layout {
    bool same_page;
    size_t stream_bytes;
    const char* name;
};

class PixelTwins : public ::testing::TestWithParam<TwinCase> {
protected:
    // Builds the file: the two images, and on the first one's page a third,
    // different image drawn last (its number shows whether a twin took one).
    std::string Build(const TwinCase& c, bool same_page)
    {
        PdfWriter w;
        std::map<std::string, int> objects;
        const ImageObject m1 = SoftMaskImage(c.width, c.height, 1);
        const ImageObject m2 = SoftMaskImage(c.width, c.height, 6);
        objects["$M1"] = w.AddStream(m1.dict, m1.stream);
        objects["$M2"] = w.AddStream(m2.dict, m2.stream);
        objects["$C1"] = w.AddStream("/N 4", MakeCmykProfile("Kestran twins A"));
        objects["$C2"] = w.AddStream("/N 4", MakeCmykProfile("Kestran twins B"));
        objects["$S"] = w.AddStream("/N 3", MakeSrgbProfile());
        auto resolve = [&](std::string text) {
            for (const auto& [key, num] : objects)
                for (size_t at; (at = text.find(key)) != std::string::npos;)
                    text.replace(at, key.size(), Ref(num));
            return text;
        };
        const std::string samples = MakeSamples(c.width, c.height, c.components, c.bpc, 21);
        const ImageObject first = StoredImage(c.width, c.height, resolve(c.colorspace), c.components, c.bpc, samples,
                                              c.first, resolve(c.first_extra));
        std::string second_samples = samples;
        const size_t row_bytes = (static_cast<size_t>(c.width) * c.components * c.bpc + 7) / 8;
        const size_t used_bits = static_cast<size_t>(c.width) * c.components * c.bpc % 8;
        if (c.junk_after_rows && used_bits != 0)
            for (size_t at = row_bytes - 1; at < second_samples.size(); at += row_bytes)
                second_samples[at] = static_cast<char>(second_samples[at] | (0xff >> used_bits));
        const int w2 = c.second_width > 0 ? c.second_width : c.width;
        const int h2 = c.second_height > 0 ? c.second_height : c.height;
        const ImageObject second =
            StoredImage(w2, h2, resolve(c.second_colorspace.empty() ? c.colorspace : c.second_colorspace),
                        c.components, c.bpc, second_samples, c.second, resolve(c.second_extra));
        const ImageObject other = FlateImage(9, 7, "/DeviceGray", 1, 8, 77);
        const int n1 = w.AddStream(first.dict, first.stream);
        const int n2 = w.AddStream(second.dict, second.stream);
        const int n3 = w.AddStream(other.dict, other.stream);
        const std::string draw1 = DrawXObject("A", 72, 600, 100, 60);
        const std::string draw2 = DrawXObject("B", 72, 400, 100, 60);
        const std::string draw3 = DrawXObject("C", 72, 200, 50, 40);
        if (same_page) {
            w.AddPage(XObjectResources({{"A", n1}, {"B", n2}, {"C", n3}}), draw1 + draw2 + draw3);
        } else {
            w.AddPage(XObjectResources({{"A", n1}, {"C", n3}}), draw1 + draw3);
            w.AddPage(XObjectResources({{"B", n2}}), draw2);
        }
        return w.Build();
    }
};

TEST_P(PixelTwins, SamePictureOnceLookalikesKept)
{
    const TwinCase& c = GetParam();
    for (const Layout& layout : {Layout{true, kestran::pdf::kDefaultStandInBytes, "one page, held"},
                                 Layout{false, kestran::pdf::kDefaultStandInBytes, "two pages, held"},
                                 Layout{true, 0, "one page, streamed"}, Layout{false, 0, "two pages, streamed"}}) {
        SCOPED_TRACE(layout.name);
        TempDir dir("kestran-twins");
        WriteFile(dir / "twins.pdf", Build(c, layout.same_page));
        const fs::path out = dir / "out";
        fs::create_directory(out);
        kestran::pdf::ExtractOptions options;
        options.workers = 1;
        options.stream_bytes = layout.stream_bytes;
        std::vector<std::string> lines;
        options.log = [&](const std::string& line) { lines.push_back(line); };
        kestran::pdf::ExtractStats stats;
        ASSERT_EQ(kestran::pdf::ExtractImagesFromFile((dir / "twins.pdf").c_str(), "1-", out.c_str(), nullptr, nullptr,
                                                      &stats, options),
                  KESTRAN_EXTRACT_OK);
        std::vector<std::string> expected = {"twins-001-01." + c.ext};
        if (c.twins)
            expected.push_back("twins-001-02.png");  // the third image takes the next number
        else if (layout.same_page)
            expected.insert(expected.end(), {"twins-001-02." + c.ext, "twins-001-03.png"});
        else
            expected.insert(expected.end(), {"twins-001-02.png", "twins-002-01." + c.ext});
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListFiles(out), expected);
        EXPECT_EQ(stats.images_written, static_cast<int>(expected.size()));
        EXPECT_EQ(stats.images_skipped, 0);
        EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    }
}

INSTANTIATE_TEST_SUITE_P(Storage, PixelTwins, ::testing::ValuesIn(TwinCases()),
                         [](const ::testing::TestParamInfo<TwinCase>& info) { return info.param.name; });

TEST(PixelTwinsFixture, WritesEachPictureOnce)
{
    const FixturePdf pdf = MakePixelTwinsPdf();
    for (size_t stream_bytes : {kestran::pdf::kDefaultStandInBytes, size_t(0)}) {
        SCOPED_TRACE("stream_bytes " + std::to_string(stream_bytes));
        TempDir dir("kestran-twins");
        WriteFile(dir / "doc.pdf", pdf.bytes);
        const fs::path out = dir / "out";
        fs::create_directory(out);
        kestran::pdf::ExtractOptions options;
        options.stream_bytes = stream_bytes;
        options.log = [](const std::string& line) { ADD_FAILURE() << line; };
        ASSERT_EQ(kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1-", out.c_str(), nullptr, nullptr,
                                                      nullptr, options),
                  KESTRAN_EXTRACT_OK);
        EXPECT_EQ(ListFiles(out), ExpectedNames(pdf, "doc"));
    }
}

}  // namespace
