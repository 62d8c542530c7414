// The PNG encoder of the extraction engine: every colour type and bit depth it
// writes must decode (with libpng) to exactly the samples it was given.
#include <gtest/gtest.h>

#include <random>

#include "pdf/png_writer.h"
#include "support/pdf_fixtures.h"

using namespace kestran::pdf;

namespace {

std::vector<uint8_t> RandomRows(const PngFormat& f, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> rows(PngRowBytes(f) * f.height);
    for (auto& b : rows)
        b = static_cast<uint8_t>(rng());
    if (f.color == PngColor::Palette) {
        // Keep indices inside the palette.
        const int entries = static_cast<int>(f.palette.size() / 3);
        for (uint32_t y = 0; y < f.height; ++y)
            for (uint32_t x = 0; x < f.width; ++x) {
                const size_t bit = static_cast<size_t>(x) * f.bit_depth;
                uint8_t& byte = rows[y * PngRowBytes(f) + bit / 8];
                const int shift = 8 - f.bit_depth - static_cast<int>(bit % 8);
                const int mask = ((1 << f.bit_depth) - 1) << shift;
                const int v = ((byte & mask) >> shift) % entries;
                byte = static_cast<uint8_t>((byte & ~mask) | (v << shift));
            }
    }
    return rows;
}

// Sample `c` of pixel x in a packed row.
unsigned Sample(const PngFormat& f, const uint8_t* row, uint32_t x, int c)
{
    const int n = PngChannels(f.color);
    if (f.bit_depth == 16) {
        const uint8_t* p = row + (static_cast<size_t>(x) * n + c) * 2;
        return (p[0] << 8) | p[1];
    }
    const size_t bit = (static_cast<size_t>(x) * n + c) * f.bit_depth;
    return (row[bit / 8] >> (8 - f.bit_depth - bit % 8)) & ((1u << f.bit_depth) - 1);
}

struct Case {
    PngColor color;
    int depth;
};

void PrintTo(const Case& c, std::ostream* os) { *os << "colour type " << static_cast<int>(c.color) << ", " << c.depth << " bits"; }

class PngRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(PngRoundTrip, DecodesToTheSamplesGiven)
{
    PngFormat f;
    f.width = 37;  // odd widths exercise the padding of packed rows
    f.height = 23;
    f.color = GetParam().color;
    f.bit_depth = GetParam().depth;
    if (f.color == PngColor::Palette) {
        const int entries = std::min(1 << f.bit_depth, 200);
        for (int i = 0; i < entries; ++i)
            f.palette.insert(f.palette.end(), {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 13)});
        f.transparency = {0, 128};
    }
    ASSERT_TRUE(IsValidPngFormat(f));
    std::vector<uint8_t> rows = RandomRows(f, 7u + f.bit_depth);
    std::vector<uint8_t> png;
    ASSERT_TRUE(EncodePng(f, rows.data(), PngRowBytes(f), png));

    fixtures::PngImage decoded;
    std::string error;
    ASSERT_TRUE(fixtures::DecodePng(std::string(png.begin(), png.end()), &decoded, &error)) << error;
    EXPECT_EQ(decoded.width, 37);
    EXPECT_EQ(decoded.height, 23);
    EXPECT_EQ(decoded.bit_depth, f.bit_depth);
    EXPECT_EQ(decoded.color_type, static_cast<int>(f.color));

    const int n = PngChannels(f.color);
    const unsigned max = (1u << f.bit_depth) - 1;
    for (uint32_t y = 0; y < f.height; ++y) {
        const uint8_t* row = rows.data() + y * PngRowBytes(f);
        for (uint32_t x = 0; x < f.width; ++x) {
            const size_t px = (static_cast<size_t>(y) * f.width + x);
            if (f.bit_depth == 16) {
                for (int c = 0; c < n; ++c)
                    ASSERT_EQ(decoded.samples16[px * n + c], Sample(f, row, x, c)) << x << "," << y;
                continue;
            }
            const uint8_t* rgba = decoded.rgba.data() + px * 4;
            if (f.color == PngColor::Palette) {
                const unsigned i = Sample(f, row, x, 0);
                ASSERT_EQ(rgba[0], f.palette[i * 3]);
                ASSERT_EQ(rgba[1], f.palette[i * 3 + 1]);
                ASSERT_EQ(rgba[2], f.palette[i * 3 + 2]);
                ASSERT_EQ(rgba[3], i < f.transparency.size() ? f.transparency[i] : 255);
            } else if (f.color == PngColor::Gray || f.color == PngColor::GrayAlpha) {
                const unsigned g = Sample(f, row, x, 0) * 255 / max;
                ASSERT_EQ(rgba[0], g);
                ASSERT_EQ(rgba[2], g);
                ASSERT_EQ(rgba[3], f.color == PngColor::GrayAlpha ? Sample(f, row, x, 1) : 255u);
            } else {
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(rgba[c], Sample(f, row, x, c));
                ASSERT_EQ(rgba[3], f.color == PngColor::Rgba ? Sample(f, row, x, 3) : 255u);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryColourTypeAndDepth, PngRoundTrip,
    ::testing::Values(Case{PngColor::Gray, 1}, Case{PngColor::Gray, 2}, Case{PngColor::Gray, 4},
                      Case{PngColor::Gray, 8}, Case{PngColor::Gray, 16}, Case{PngColor::Rgb, 8},
                      Case{PngColor::Rgb, 16}, Case{PngColor::Palette, 1}, Case{PngColor::Palette, 2},
                      Case{PngColor::Palette, 4}, Case{PngColor::Palette, 8}, Case{PngColor::GrayAlpha, 8},
                      Case{PngColor::GrayAlpha, 16}, Case{PngColor::Rgba, 8}, Case{PngColor::Rgba, 16}));

// Images whose filtered data exceeds 64 MiB are compressed while filtering,
// row block by row block, instead of all at once.
TEST(PngLargeImage, StreamedCompressionDecodesToTheSamplesGiven)
{
    PngFormat f;
    f.width = 4800;
    f.height = 4800;
    f.color = PngColor::Rgb;
    ASSERT_GT((PngRowBytes(f) + 1) * f.height, size_t(64) << 20);
    std::vector<uint8_t> rows(PngRowBytes(f) * f.height);
    for (uint32_t y = 0; y < f.height; ++y)
        for (uint32_t x = 0; x < f.width; ++x) {
            uint8_t* p = rows.data() + (static_cast<size_t>(y) * f.width + x) * 3;
            p[0] = static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(y);
            p[2] = static_cast<uint8_t>((x * 7) ^ (y * 3));
        }
    std::vector<uint8_t> png;
    ASSERT_TRUE(EncodePng(f, rows.data(), PngRowBytes(f), png));
    fixtures::PngImage decoded;
    std::string error;
    ASSERT_TRUE(fixtures::DecodePng(std::string(png.begin(), png.end()), &decoded, &error)) << error;
    ASSERT_EQ(decoded.width, 4800);
    for (size_t i = 0; i < static_cast<size_t>(f.width) * f.height; i += 9973) {
        ASSERT_EQ(decoded.rgba[i * 4], rows[i * 3]) << i;
        ASSERT_EQ(decoded.rgba[i * 4 + 1], rows[i * 3 + 1]) << i;
        ASSERT_EQ(decoded.rgba[i * 4 + 2], rows[i * 3 + 2]) << i;
    }
    const size_t last = static_cast<size_t>(f.width) * f.height - 1;
    EXPECT_EQ(decoded.rgba[last * 4 + 2], rows[last * 3 + 2]);
}

TEST(PngFormatCheck, RefusesCombinationsPngDoesNotHave)
{
    PngFormat f;
    f.width = 4;
    f.height = 4;
    f.color = PngColor::Rgb;
    f.bit_depth = 4;
    EXPECT_FALSE(IsValidPngFormat(f));
    f.color = PngColor::Palette;
    f.bit_depth = 16;
    f.palette = {0, 0, 0};
    EXPECT_FALSE(IsValidPngFormat(f));
    f.bit_depth = 1;
    f.palette.assign(3 * 3, 0);  // three entries do not fit one bit
    EXPECT_FALSE(IsValidPngFormat(f));
    f.palette.assign(3 * 2, 0);
    EXPECT_TRUE(IsValidPngFormat(f));
    f.width = 0;
    EXPECT_FALSE(IsValidPngFormat(f));
    std::vector<uint8_t> out;
    EXPECT_FALSE(EncodePng(f, nullptr, 0, out));
}

// A Flate stream of PNG-predicted rows becomes the PNG's data unchanged.
TEST(PngPassthrough, WrappedPredictedRowsDecodeToTheSamples)
{
    for (int components : {1, 3}) {
        const int w = 29, h = 17;
        std::string samples = fixtures::MakeSamples(w, h, components, 8, 3);
        std::string zlib = fixtures::Deflate(fixtures::PngPredict(samples, w, h, components, 8, -1));
        PngFormat f;
        f.width = w;
        f.height = h;
        f.color = components == 1 ? PngColor::Gray : PngColor::Rgb;
        const auto* data = reinterpret_cast<const uint8_t*>(zlib.data());
        ASSERT_TRUE(IsPngFilteredStream(f, data, zlib.size()));
        std::vector<uint8_t> png;
        ASSERT_TRUE(WrapPngIdat(f, data, zlib.size(), png));
        fixtures::PngImage decoded;
        ASSERT_TRUE(fixtures::DecodePng(std::string(png.begin(), png.end()), &decoded));
        for (int i = 0; i < w * h; ++i)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(decoded.rgba[i * 4 + c], static_cast<uint8_t>(samples[i * components + (components == 1 ? 0 : c)]));
    }
}

TEST(PngPassthrough, StreamsThatWouldNotDecodeAreRefused)
{
    const int w = 10, h = 6;
    std::string samples = fixtures::MakeSamples(w, h, 3, 8, 1);
    std::string predicted = fixtures::PngPredict(samples, w, h, 3, 8, 2);
    PngFormat f;
    f.width = w;
    f.height = h;
    f.color = PngColor::Rgb;
    auto check = [&](const std::string& zlib) {
        return IsPngFilteredStream(f, reinterpret_cast<const uint8_t*>(zlib.data()), zlib.size());
    };
    EXPECT_TRUE(check(fixtures::Deflate(predicted)));
    EXPECT_FALSE(check(fixtures::Deflate(predicted.substr(0, predicted.size() - 31)))) << "a row short";
    EXPECT_FALSE(check(fixtures::Deflate(predicted + std::string(31, '\0')))) << "a row too many";
    std::string bad_filter = predicted;
    bad_filter[31 * 2] = 7;  // filter byte of the third row
    EXPECT_FALSE(check(fixtures::Deflate(bad_filter)));
    std::string cut = fixtures::Deflate(predicted);
    EXPECT_FALSE(check(cut.substr(0, cut.size() / 2))) << "truncated stream";
    std::string corrupt = fixtures::Deflate(predicted);
    corrupt[corrupt.size() - 1] ^= 0x55;  // Adler-32 no longer matches
    EXPECT_FALSE(check(corrupt));
}

}  // namespace
