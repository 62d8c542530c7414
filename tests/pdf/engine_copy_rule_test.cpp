// JPEG and JPEG 2000 bytes are copied only when they decode whole. Damaged
// data (bytes changed in transit, cut files, a Flate stream labelled
// DCTDecode, garbage) becomes a PNG reported as incomplete, or a skip with a
// message; never a .jpg that viewers refuse. Held and streamed (large stored
// stream) images follow the same rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <csetjmp>
#include <limits>

#include <jerror.h>
#include <jpeglib.h>

#include "pdf/cancel_flag.h"
#include "pdf/copy_rule.h"
#include "pdf/image_extractor.h"
#include "pdf/page_walk.h"
#include "pdf/pdf_open.h"
#include "support/lazy.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// An oracle of the test's own: a full-size decode in which every libjpeg
// warning counts as a failure.

struct StrictError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void StrictExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<StrictError*>(cinfo->err)->jump, 1); }
void StrictMessage(j_common_ptr cinfo, int level)
{
    // Padding between the last scan and the end marker leaves the picture whole.
    const jpeg_error_mgr* err = cinfo->err;
    const bool padding = err->msg_code == JWRN_EXTRANEOUS_DATA && err->msg_parm.i[1] == 0xD9;
    if (level < 0 && !padding)
        std::longjmp(reinterpret_cast<StrictError*>(cinfo->err)->jump, 1);
}

bool StrictDecode(jpeg_decompress_struct* cinfo, StrictError* err, const std::string* bytes)
{
    if (setjmp(err->jump) != 0)
        return false;
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<unsigned long>(bytes->size()));
    jpeg_read_header(cinfo, TRUE);
    jpeg_start_decompress(cinfo);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * cinfo->output_components, 1);
    while (cinfo->output_scanline < cinfo->output_height)
        jpeg_read_scanlines(cinfo, row, 1);
    jpeg_finish_decompress(cinfo);
    return true;
}

bool DecodesFully(const std::string& bytes)
{
    jpeg_decompress_struct cinfo{};
    StrictError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = StrictExit;
    err.mgr.emit_message = StrictMessage;
    const bool ok = StrictDecode(&cinfo, &err, &bytes);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

// A progressive JPEG (several scans): what the check must read to the end.
std::string ProgressiveJpeg(int w, int h, const std::string& rgb) { return EncodeJpeg(w, h, 3, rgb, false, 90, true); }

// Offset of the first byte after the first start-of-scan segment.
size_t ScanStart(const std::string& jpeg)
{
    const size_t sos = jpeg.find("\xFF\xDA");
    const size_t length = (static_cast<uint8_t>(jpeg[sos + 2]) << 8) | static_cast<uint8_t>(jpeg[sos + 3]);
    return sos + 2 + length;
}

std::string ZeroToSpace(std::string bytes, size_t from)
{
    for (size_t i = from; i < bytes.size(); ++i)
        if (bytes[i] == '\0')
            bytes[i] = ' ';
    return bytes;
}

std::string Garbage(size_t size)
{
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// Damaged JPEG streams in a page.

// NoData: the header is whole, but the scan holds nothing to decode.
enum class Outcome { Png, Skip, NoData };

struct DamageCase {
    const char* name;
    std::function<std::string(const ImageObject&)> stream;
    Outcome outcome;
};

const int kW = 240;
const int kH = 160;

std::vector<DamageCase> DamageCases()
{
    auto cut = [](double part) {
        return [part](const ImageObject& img) { return img.stream.substr(0, static_cast<size_t>(img.stream.size() * part)); };
    };
    return {
        // 0x00 bytes turned into spaces in the scan: libjpeg meets marker
        // 0x20 and stops; MuPDF shows the rows before it.
        {"ZeroBytesToSpacesInScan", [](const ImageObject& img) { return ZeroToSpace(img.stream, ScanStart(img.stream)); },
         Outcome::Png},
        // The same throughout the file: the tables break, nothing decodes.
        {"ZeroBytesToSpacesEverywhere", [](const ImageObject& img) { return ZeroToSpace(img.stream, 2); }, Outcome::Skip},
        {"CutAtTenthOfScan", cut(0.1), Outcome::Png},
        {"CutHalfway", cut(0.5), Outcome::Png},
        {"CutNearTheEnd", cut(0.95), Outcome::Png},
        {"CutBeforeEndMarker", [](const ImageObject& img) { return img.stream.substr(0, img.stream.size() - 2); },
         Outcome::Png},
        {"CutInHeader", [](const ImageObject& img) { return img.stream.substr(0, 40); }, Outcome::Skip},
        {"FlateLabelledDct", [](const ImageObject&) { return Deflate(MakeSamples(kW, kH, 3, 8, 5)); }, Outcome::Skip},
        {"Garbage", [](const ImageObject& img) { return Garbage(img.stream.size()); }, Outcome::Skip},
        {"Empty", [](const ImageObject&) { return std::string(); }, Outcome::Skip},
        // Padding only, never a flat rectangle: the data ends where the scan
        // begins, or garbage follows the header from an invalid marker on.
        {"CutAtScanStart", [](const ImageObject& img) { return img.stream.substr(0, ScanStart(img.stream)); },
         Outcome::NoData},
        {"GarbageAfterHeader",
         [](const ImageObject& img) { return img.stream.substr(0, ScanStart(img.stream)) + "\xFF\x99" + Garbage(4000); },
         Outcome::NoData},
    };
}

struct DamageParam {
    DamageCase damage;
    JpegKind kind;
    bool streamed;
};

void PrintTo(const DamageParam& p, std::ostream* os)
{
    *os << p.damage.name << "_" << JpegKindName(p.kind) << (p.streamed ? "_Streamed" : "_Held");
}

std::vector<DamageParam> DamageParams()
{
    std::vector<DamageParam> params;
    for (const DamageCase& damage : DamageCases())
        for (JpegKind kind : {JpegKind::Rgb, JpegKind::Gray, JpegKind::CmykPlain})
            for (bool streamed : {false, true})
                params.push_back({damage, kind, streamed});
    return params;
}

// One page drawing one image, and what extracting it wrote and logged.
struct Extracted {
    int result = -1;
    std::vector<std::string> files;
    std::string log;
};

Extracted ExtractOneImage(const TempDir& dir, const std::string& dict, const std::string& stream, bool streamed)
{
    PdfWriter w;
    const int num = w.AddStream(dict, stream);
    w.AddPage(XObjectResources({{"Im", num}}), DrawXObject("Im", 10, 10, 240, 160));
    WriteFile(dir / "doc.pdf", w.Build());
    fs::create_directories(dir / "out");
    kestran::pdf::ExtractOptions options;
    options.stream_bytes = streamed ? 0 : std::numeric_limits<size_t>::max();
    Extracted run;
    ::testing::internal::CaptureStderr();
    run.result = kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1", (dir / "out").c_str(), nullptr,
                                                     nullptr, nullptr, options);
    run.log = ::testing::internal::GetCapturedStderr();
    run.files = ListFiles(dir / "out");
    return run;
}

class DamagedJpeg : public ::testing::TestWithParam<DamageParam> {
protected:
    void SetUp() override { kestran::pdf::ClearCancel(); }
};

TEST_P(DamagedJpeg, BecomesAnIncompletePngOrASkipNeverAJpg)
{
    const ImageObject good = JpegImage(GetParam().kind, kW, kH, 9);
    const std::string stream = GetParam().damage.stream(good);
    TempDir dir;
    const Extracted run = ExtractOneImage(dir, good.dict, stream, GetParam().streamed);
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK) << run.log;
    for (const std::string& name : run.files) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0)
            ADD_FAILURE() << name << " written from damaged data; decodes: " << DecodesFully(ReadFile(dir / "out" / name));
    }
    if (GetParam().damage.outcome == Outcome::Png) {
        // Printing inks keep their colours in a TIFF; the rest is a PNG.
        if (GetParam().kind == JpegKind::CmykPlain) {
            ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.tif"}) << run.log;
            TiffImage tiff;
            ASSERT_TRUE(DecodeTiff(ReadFile(dir / "out" / "doc-001-01.tif"), &tiff));
            EXPECT_EQ(tiff.width, kW);
            EXPECT_EQ(tiff.height, kH);
        } else {
            ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.png"}) << run.log;
            PngImage png;
            ASSERT_TRUE(DecodePng(ReadFile(dir / "out" / "doc-001-01.png"), &png));
            EXPECT_EQ(png.width, kW);
            EXPECT_EQ(png.height, kH);
        }
        EXPECT_NE(run.log.find("page 1: image 1 is incomplete"), std::string::npos) << run.log;
    } else {
        EXPECT_TRUE(run.files.empty()) << run.log;
        const char* line = GetParam().damage.outcome == Outcome::NoData ? "page 1: image skipped: no image data could be decoded"
                                                                         : "page 1: image skipped: cannot decode image (";
        EXPECT_NE(run.log.find(line), std::string::npos) << run.log;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedJpeg, ::testing::ValuesIn(DamageParams()),
                         [](const ::testing::TestParamInfo<DamageParam>& info) {
                             std::ostringstream name;
                             PrintTo(info.param, &name);
                             return name.str();
                         });

// ---------------------------------------------------------------------------
// Good data is still copied byte for byte, whichever path it takes.

struct GoodCase {
    std::string name;
    Lazy<ImageObject> image;  // made when a test first reads it
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

std::vector<GoodCase> GoodCases()
{
    std::vector<GoodCase> cases;
    for (JpegKind kind : {JpegKind::Gray, JpegKind::Rgb, JpegKind::CmykAdobeInverted, JpegKind::CmykPlain})
        cases.push_back({JpegKindName(kind), [kind] { return JpegImage(kind, 300, 200, 4); }});
    cases.push_back({"Progressive", [] {
                         ImageObject progressive = JpegImage(JpegKind::Rgb, 300, 200, 4);
                         progressive.stream = ProgressiveJpeg(300, 200, MakeSamples(300, 200, 3, 8, 4));
                         return progressive;
                     }});
    // Padding between the last scan and the end marker is harmless.
    cases.push_back({"PaddedBeforeEndMarker", [] {
                         ImageObject padded = JpegImage(JpegKind::Rgb, 300, 200, 6);
                         padded.stream.insert(padded.stream.size() - 2, std::string(7, '\0'));
                         return padded;
                     }});
    return cases;
}

class GoodJpeg : public ::testing::TestWithParam<std::tuple<GoodCase, bool>> {};

TEST_P(GoodJpeg, IsCopiedByteForByte)
{
    kestran::pdf::ClearCancel();
    const ImageObject& image = *std::get<0>(GetParam()).image;
    ASSERT_TRUE(DecodesFully(image.stream));
    TempDir dir;
    const Extracted run = ExtractOneImage(dir, image.dict, image.stream, std::get<1>(GetParam()));
    ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.jpg"}) << run.log;
    EXPECT_TRUE(ReadFile(dir / "out" / "doc-001-01.jpg") == image.stream);
    EXPECT_EQ(run.log.find("incomplete"), std::string::npos) << run.log;
}

INSTANTIATE_TEST_SUITE_P(Cases, GoodJpeg, ::testing::Combine(::testing::ValuesIn(GoodCases()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<GoodCase, bool>>& info) {
                             return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_Streamed" : "_Held");
                         });

// White space before the start marker: MuPDF skips it and shows the image,
// viewers of a copy would refuse the file. Decoded, complete.
TEST(CopyRuleCheck, JpegAfterWhiteSpaceIsDecodedNotCopiedNorSkipped)
{
    kestran::pdf::ClearCancel();
    const ImageObject image = JpegImage(JpegKind::Rgb, 120, 80, 5);
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "held");
        TempDir dir;
        const Extracted run = ExtractOneImage(dir, image.dict, "\r\n " + image.stream, streamed);
        EXPECT_EQ(run.files, std::vector<std::string>{"doc-001-01.png"}) << run.log;
        EXPECT_EQ(run.log.find("incomplete"), std::string::npos) << run.log;
    }
}

// A progressive file cut after its first scans still has every pixel (the DC
// scan), so only a check that reads every scan finds the cut.
TEST(CopyRuleCheck, ProgressiveJpegCutAfterItsFirstScansIsNotCopied)
{
    kestran::pdf::ClearCancel();
    ImageObject image = JpegImage(JpegKind::Rgb, 300, 200, 4);
    const std::string whole = ProgressiveJpeg(300, 200, MakeSamples(300, 200, 3, 8, 4));
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "held");
        TempDir dir;
        const Extracted run = ExtractOneImage(dir, image.dict, whole.substr(0, whole.size() * 6 / 10), streamed);
        EXPECT_EQ(run.files, std::vector<std::string>{"doc-001-01.png"}) << run.log;
        EXPECT_NE(run.log.find("is incomplete"), std::string::npos) << run.log;
    }
}

// The check reads the stream through blocks of any size (the streamed path
// reads the file 64 KiB at a time; libjpeg skips segments across blocks).
TEST(CopyRuleCheck, ReadsTheSameThroughBlocksOfAnySize)
{
    ImageObject image = JpegImage(JpegKind::Rgb, 200, 120, 3);
    // A long comment segment that the decoder skips over block boundaries.
    std::string jpeg = image.stream;
    std::string comment = "\xFF\xFE";
    const size_t length = 5000;
    comment += static_cast<char>(length >> 8);
    comment += static_cast<char>(length & 0xFF);
    comment += std::string(length - 2, 'c');
    jpeg.insert(2, comment);
    const std::string cut = jpeg.substr(0, jpeg.size() * 3 / 4);
    for (size_t block : {size_t(1), size_t(3), size_t(4096), jpeg.size()}) {
        SCOPED_TRACE(block);
        auto blocks = [block](const std::string& bytes) {
            return kestran::pdf::BlockSource([&bytes, block, pos = size_t(0)](const uint8_t*& data, size_t& size) mutable {
                size = std::min(block, bytes.size() - pos);
                data = reinterpret_cast<const uint8_t*>(bytes.data()) + pos;
                pos += size;
                return true;
            });
        };
        kestran::pdf::JpegFacts facts;
        std::string why;
        EXPECT_TRUE(kestran::pdf::JpegDecodesWhole(blocks(jpeg), &facts, nullptr, &why)) << why;
        EXPECT_EQ(facts.components, 3);
        EXPECT_EQ(facts.width, 200);
        EXPECT_FALSE(kestran::pdf::JpegDecodesWhole(blocks(cut), nullptr, nullptr, &why));
        EXPECT_NE(why.find("Premature end"), std::string::npos) << why;
    }
    // A source that fails part way is damaged data too, not a crash.
    size_t calls = 0;
    kestran::pdf::BlockSource failing = [&](const uint8_t*& data, size_t& size) {
        data = reinterpret_cast<const uint8_t*>(jpeg.data()) + 100 * calls;
        size = 100;
        return ++calls < 5;
    };
    EXPECT_FALSE(kestran::pdf::JpegDecodesWhole(failing, nullptr, nullptr, nullptr));
}

// A progressive file whose coefficients would not fit the check's memory is
// judged by its structure: both checks agree on every damage of the table.
struct StructureCase {
    std::string name;
    bool progressive;
    std::function<std::string(const std::string&)> damage;
    bool whole;
};

void PrintTo(const StructureCase& c, std::ostream* os) { *os << c.name; }

std::vector<StructureCase> StructureCases()
{
    auto same = [](const std::string& jpeg) { return jpeg; };
    auto cut = [](double part) {
        return [part](const std::string& jpeg) { return jpeg.substr(0, static_cast<size_t>(jpeg.size() * part)); };
    };
    auto spaces = [](const std::string& jpeg) { return ZeroToSpace(jpeg, ScanStart(jpeg)); };
    auto padded = [](std::string jpeg) { return jpeg.insert(jpeg.size() - 2, std::string(5, '\0')); };
    auto flate = [](const std::string&) { return Deflate(MakeSamples(64, 64, 3, 8, 1)); };
    auto garbage = [](const std::string& jpeg) { return "\xFF\xD8" + Garbage(jpeg.size()); };
    std::vector<StructureCase> cases;
    for (bool progressive : {false, true}) {
        const std::string kind = progressive ? "Progressive" : "Baseline";
        auto add = [&](const std::string& name, std::function<std::string(const std::string&)> damage, bool whole) {
            cases.push_back({kind + name, progressive, std::move(damage), whole});
        };
        add("Whole", same, true);
        add("PaddedBeforeEndMarker", padded, true);
        add("CutInScanData", cut(0.6), false);
        add("CutBeforeEndMarker", [](const std::string& jpeg) { return jpeg.substr(0, jpeg.size() - 2); }, false);
        add("CutInHeader", cut(0.01), false);
        add("ZeroBytesToSpacesInScan", spaces, false);
        add("FlateData", flate, false);
        add("GarbageAfterStart", garbage, false);
    }
    return cases;
}

class JpegStructure : public ::testing::TestWithParam<StructureCase> {};

TEST_P(JpegStructure, AgreesWithTheDecodeCheck)
{
    const std::string samples = MakeSamples(320, 240, 3, 8, 12);
    const std::string good = GetParam().progressive ? ProgressiveJpeg(320, 240, samples)
                                                    : EncodeJpeg(320, 240, 3, samples, false, 90);
    const std::string bytes = GetParam().damage(good);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string why;
    EXPECT_EQ(kestran::pdf::JpegStructureWhole(kestran::pdf::MemoryBlocks(data, bytes.size()), &why),
              GetParam().whole)
        << why;
    EXPECT_EQ(kestran::pdf::JpegDecodesWhole(kestran::pdf::MemoryBlocks(data, bytes.size()), nullptr, nullptr, &why),
              GetParam().whole)
        << why;
    // The copy rule with too little memory for the coefficients walks the structure.
    kestran::pdf::JpegLook look;
    look.space = FZ_COLORSPACE_RGB;
    look.components = 3;
    const auto open = [&] { return kestran::pdf::MemoryBlocks(data, bytes.size()); };
    const kestran::pdf::CopyVerdict verdict = kestran::pdf::JpegCopyVerdict(look, open, false, &why, 4096);
    EXPECT_EQ(verdict == kestran::pdf::CopyVerdict::Copy, GetParam().whole) << why;
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegStructure, ::testing::ValuesIn(StructureCases()),
                         [](const ::testing::TestParamInfo<StructureCase>& info) { return info.param.name; });

TEST(CopyRuleCheck, ProgressiveJpegOverTheMemoryLimitIsNotDecidedByTheDecode)
{
    const std::string jpeg = ProgressiveJpeg(320, 240, MakeSamples(320, 240, 3, 8, 12));
    kestran::pdf::JpegFacts facts;
    std::string why;
    EXPECT_FALSE(kestran::pdf::JpegDecodesWhole(
        kestran::pdf::MemoryBlocks(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size()), &facts, nullptr, &why,
        4096));
    EXPECT_TRUE(facts.too_large) << why;
    EXPECT_TRUE(facts.some_rows);
}

// ---------------------------------------------------------------------------
// JPEG 2000

struct JpxCase {
    const char* name;
    size_t keep_percent;  // of the stream; 100 = whole
};

class JpxCopy : public ::testing::TestWithParam<JpxCase> {};

TEST_P(JpxCopy, IsCopiedOnlyWhenItDecodes)
{
    kestran::pdf::ClearCancel();
    const ImageObject image = Jp2Image(160, 120, 3, 8);
    const std::string stream = image.stream.substr(0, image.stream.size() * GetParam().keep_percent / 100);
    TempDir dir;
    const Extracted run = ExtractOneImage(dir, image.dict, stream, false);
    ASSERT_EQ(run.result, KESTRAN_EXTRACT_OK) << run.log;
    if (GetParam().keep_percent == 100) {
        ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.jp2"}) << run.log;
        EXPECT_TRUE(ReadFile(dir / "out" / "doc-001-01.jp2") == image.stream);
        return;
    }
    for (const std::string& name : run.files)
        EXPECT_EQ(name.find(".jp2"), std::string::npos) << name << " copied from a cut stream\n" << run.log;
    if (run.files.empty())
        EXPECT_NE(run.log.find("image skipped"), std::string::npos) << run.log;
    else
        EXPECT_NE(run.log.find("is incomplete"), std::string::npos) << run.log;
}

INSTANTIATE_TEST_SUITE_P(Cases, JpxCopy,
                         ::testing::Values(JpxCase{"Whole", 100}, JpxCase{"CutNearTheEnd", 97}, JpxCase{"CutHalfway", 50},
                                           JpxCase{"CutEarly", 10}),
                         [](const ::testing::TestParamInfo<JpxCase>& info) { return std::string(info.param.name); });

// A stand-in that cannot be copied after all (the file carries an alpha
// channel the page ignores) is loaded and decoded as before.
TEST(CopyRuleCheck, JpxStandInWhoseBytesDoNotLookRightIsDecoded)
{
    kestran::pdf::ClearCancel();
    const ImageObject image = Jp2Image(48, 32, 4, 5);
    TempDir dir;
    const Extracted run = ExtractOneImage(dir, image.dict, image.stream, false);
    ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.png"}) << run.log;
    PngImage png;
    ASSERT_TRUE(DecodePng(ReadFile(dir / "out" / "doc-001-01.png"), &png));
    EXPECT_EQ(png.width, 48);
    EXPECT_EQ(png.color_type, 2);  // RGB: the ignored alpha stays out
    EXPECT_EQ(run.log.find("incomplete"), std::string::npos) << run.log;
}

// Flate over JPEG 2000: the stored bytes are not the file, so the image is
// decoded (never skipped for want of a JPEG 2000 signature).
TEST(CopyRuleCheck, JpxUnderAnotherFilterIsDecoded)
{
    kestran::pdf::ClearCancel();
    ImageObject image = Jp2Image(48, 32, 3, 5);
    const size_t filter = image.dict.find("/Filter /JPXDecode");
    ASSERT_NE(filter, std::string::npos);
    image.dict.replace(filter, 18, "/Filter [/FlateDecode /JPXDecode]");
    TempDir dir;
    const Extracted run = ExtractOneImage(dir, image.dict, Deflate(image.stream), false);
    ASSERT_EQ(run.files, std::vector<std::string>{"doc-001-01.png"}) << run.log;
}

TEST(CopyRuleCheck, JpxCheckSeesCutsAndDamage)
{
    const std::string jp2 = EncodeJp2(256, 256, 3, MakeSamples(256, 256, 3, 8, 2));
    const auto* data = reinterpret_cast<const uint8_t*>(jp2.data());
    std::string why;
    EXPECT_TRUE(kestran::pdf::JpxDecodesWhole(data, jp2.size(), &why)) << why;
    for (size_t keep : {jp2.size() - 2, jp2.size() * 3 / 4, jp2.size() / 3, size_t(60)}) {
        SCOPED_TRACE(keep);
        EXPECT_FALSE(kestran::pdf::JpxDecodesWhole(data, keep, &why));
    }
    const std::string garbage = Garbage(2000);
    EXPECT_FALSE(kestran::pdf::JpxDecodesWhole(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(), &why));
}

// A JPEG 2000 image that will be copied is never decoded: the page draws a
// stand-in and the copy reads the stored stream. One the PDF changes (here a
// /Decode array) is loaded, and so decoded, as before.
TEST(CopyRuleCheck, JpxThatMayBeCopiedIsDrawnAsAStandIn)
{
    kestran::pdf::ClearCancel();
    const ImageObject image = Jp2Image(160, 120, 3, 8);
    PdfWriter w;
    const int plain = w.AddStream(image.dict, image.stream);
    const int decoded = w.AddStream(image.dict + " /Decode [1 0 1 0 1 0]", image.stream);
    w.AddPage(XObjectResources({{"A", plain}, {"B", decoded}}),
              DrawXObject("A", 0, 0, 100, 100) + DrawXObject("B", 100, 0, 100, 100));
    TempDir dir;
    WriteFile(dir / "doc.pdf", w.Build());
    kestran::pdf::MuContextPtr ctx = kestran::pdf::NewThreadContext();
    kestran::pdf::OpenedPdf pdf;
    ASSERT_EQ(kestran::pdf::OpenPdf(ctx.get(), (dir / "doc.pdf").string(), pdf), kestran::pdf::OpenStatus::Ok);
    kestran::pdf::PageImages found =
        kestran::pdf::PageWalker(ctx.get(), pdf.doc.get(), kestran::pdf::kDefaultStandInBytes).Collect(1);
    ASSERT_EQ(found.images.size(), 2u);
    EXPECT_TRUE(kestran::pdf::IsStandIn(found.images[0].image.get()));
    EXPECT_EQ(found.images[0].object_num, plain);
    EXPECT_FALSE(kestran::pdf::IsStandIn(found.images[1].image.get()));
    EXPECT_EQ(found.images[1].object_num, decoded);
    found.images.clear();
    kestran::pdf::ReleaseFromStore(ctx.get(), pdf.doc.get(), found.image_objects);
}

}  // namespace
