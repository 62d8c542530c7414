// Recognising the Adobe APP14 marker that decides how viewers read CMYK JPEGs.
#include <gtest/gtest.h>

#include "pdf/image_encoder.h"
#include "support/pdf_fixtures.h"

using kestran::pdf::JpegHasAdobeMarker;

namespace {

bool HasMarker(const std::string& jpeg)
{
    return JpegHasAdobeMarker(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size());
}

TEST(JpegAdobeMarker, FoundOnlyWhenTheEncoderWroteIt)
{
    const std::string cmyk = fixtures::MakeSamples(16, 16, 4, 8, 2);
    EXPECT_TRUE(HasMarker(fixtures::EncodeJpeg(16, 16, 4, cmyk, true)));
    EXPECT_FALSE(HasMarker(fixtures::EncodeJpeg(16, 16, 4, cmyk, false)));
    const std::string rgb = fixtures::MakeSamples(16, 16, 3, 8, 2);
    EXPECT_FALSE(HasMarker(fixtures::EncodeJpeg(16, 16, 3, rgb, false)));
}

TEST(JpegAdobeMarker, DamagedDataIsNoMarker)
{
    EXPECT_FALSE(HasMarker(""));
    EXPECT_FALSE(HasMarker("\xFF\xD8"));
    EXPECT_FALSE(HasMarker(std::string("\xFF\xD8\xFF\xEE\x00\x01", 6)));  // length below its own size
    std::string scan_first("\xFF\xD8\xFF\xDA\x00\x08\x00\x00\x00\x00\x00\x00", 12);
    EXPECT_FALSE(HasMarker(scan_first + std::string("\xFF\xEE\x00\x0E" "Adobe", 9))) << "after the scan";
}

}  // namespace

namespace {

int Components(const std::string& jpx)
{
    return kestran::pdf::JpxComponentCount(reinterpret_cast<const uint8_t*>(jpx.data()), jpx.size());
}

// A bare codestream start: SOC, then SIZ with `csiz` components.
std::string Codestream(int csiz)
{
    std::string s("\xFF\x4F\xFF\x51\x00\x2F\x00\x00", 8);
    s += std::string(32, '\0');
    s += static_cast<char>(csiz >> 8);
    s += static_cast<char>(csiz & 0xFF);
    return s + std::string(16, '\0');
}

TEST(JpxComponents, ReadFromJp2FilesAndBareCodestreams)
{
    EXPECT_EQ(Components(fixtures::EncodeJp2(8, 8, 3, fixtures::MakeSamples(8, 8, 3, 8, 1))), 3);
    EXPECT_EQ(Components(fixtures::EncodeJp2(8, 8, 1, fixtures::MakeSamples(8, 8, 1, 8, 1))), 1);
    EXPECT_EQ(Components(Codestream(4)), 4);  // RGB with alpha
    EXPECT_EQ(Components(Codestream(1)), 1);
}

TEST(JpxComponents, DamagedDataGivesZero)
{
    EXPECT_EQ(Components(""), 0);
    EXPECT_EQ(Components(Codestream(3).substr(0, 20)), 0);
    std::string jp2 = fixtures::EncodeJp2(8, 8, 3, fixtures::MakeSamples(8, 8, 3, 8, 1));
    EXPECT_EQ(Components(jp2.substr(0, 40)), 0) << "cut before the codestream";
    jp2[3] = 2;  // first box claims a length shorter than its header
    EXPECT_EQ(Components(jp2), 0);
}

}  // namespace
