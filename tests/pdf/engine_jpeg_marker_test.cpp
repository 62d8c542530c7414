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
