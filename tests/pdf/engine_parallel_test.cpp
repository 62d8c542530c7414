// Images encoded side by side must give exactly what a sequential run gives:
// the same file names (numbers depend on which earlier images of a page were
// written), the same bytes, the same log lines, the same progress calls and
// the same result, also when the run is stopped part way. Each case runs once
// with one worker (everything on the calling thread) and again with several.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <limits>
#include <map>

#include "pdf/cancel_flag.h"
#include "pdf/image_extractor.h"
#include "pdf/manifest.h"
#include "pdf/output_file.h"
#include "support/lazy.h"
#include "support/pdf_fixtures.h"

using namespace fixtures;
namespace fs = std::filesystem;

namespace {

struct ParallelCase {
    std::string name;
    Lazy<std::string> pdf;  // made when a test first reads it
    std::string range = "1-";
    size_t stream_bytes = kestran::pdf::kDefaultStandInBytes;
    std::vector<std::string> existing;  // final names already in the output folder
    kestran::pdf::OutputType type = kestran::pdf::OutputType::Original;
};

void PrintTo(const ParallelCase& c, std::ostream* os) { *os << c.name; }

// What a run shows: everything that must not depend on the worker count.
struct Outcome {
    int result = -1;
    kestran::pdf::ExtractStats stats;
    std::map<std::string, std::string> files;  // name -> MD5 of the bytes
    std::vector<std::string> lines;
    std::vector<int> progress;
    std::vector<std::string> records;  // manifest rows
};

// Several pages of large JPEGs and PNG-row images (copied from the file when
// streamed), a logo repeated on every page, a Flate image cut short (written
// padded, with an "incomplete" line, after a streamed attempt fails) and a
// name for a missing object (set aside with a line).
std::string MixedPdf()
{
    PdfWriter w;
    const ImageObject logo = FlateImage(40, 20, "/DeviceRGB", 3, 8, 500);
    const int logo_num = w.AddStream(logo.dict, logo.stream);
    for (int p = 0; p < 5; ++p) {
        const ImageObject jpeg = JpegImage(p % 2 == 0 ? JpegKind::Rgb : JpegKind::Gray, 300, 200, 510 + p);
        const ImageObject rows = FlateImage(120, 90, "/DeviceRGB", 3, 8, 520 + p, 15);
        ImageObject cut = FlateImage(200, 150, "/DeviceGray", 1, 8, 530 + p);
        cut.stream.resize(cut.stream.size() / 3);
        const int j = w.AddStream(jpeg.dict, jpeg.stream);
        const int r = w.AddStream(rows.dict, rows.stream);
        const int c = w.AddStream(cut.dict, cut.stream);
        std::map<std::string, int> res{{"Logo", logo_num}, {"J", j}, {"R", r}, {"C", c}};
        std::string content = DrawXObject("Logo", 0, 0, 40, 20) + DrawXObject("J", 50, 50, 300, 200) +
                              DrawXObject("C", 50, 300, 200, 150) + DrawXObject("R", 300, 300, 120, 90);
        if (p == 2) {
            res["Gone"] = 9999;
            content += DrawXObject("Gone", 0, 600, 10, 10);
        }
        w.AddPage(XObjectResources(res), content);
    }
    return w.Build();
}

// One page for each kind of JPEG the fixtures know: copied or decoded.
std::string EveryJpegKindPdf()
{
    PdfWriter w;
    for (int k = static_cast<int>(JpegKind::Gray); k <= static_cast<int>(JpegKind::RgbNoTransform); ++k) {
        const ImageObject jpeg = JpegImage(static_cast<JpegKind>(k), 48, 40, 600 + k);
        w.AddPage(XObjectResources({{"J", w.AddStream(jpeg.dict, jpeg.stream)}}), DrawXObject("J", 10, 10, 200, 160));
    }
    return w.Build();
}

ParallelCase Case(const std::string& name, Lazy<std::string> pdf, const std::string& range = "1-",
                  size_t stream_bytes = kestran::pdf::kDefaultStandInBytes,
                  const std::vector<std::string>& existing = {})
{
    ParallelCase c;
    c.name = name;
    c.pdf = pdf;
    c.range = range;
    c.stream_bytes = stream_bytes;
    c.existing = existing;
    return c;
}

// One case for each kind of Flate image, streamed.
void AddFlateStreamed(std::vector<ParallelCase>& cases)
{
    bool valid = true;
    for (int k = 0; k < 64; ++k) {
        const FlateKind kind = AllFlateKinds(k, &valid);
        if (!valid)
            break;
        cases.push_back(Case(std::string("FlateStreamed") + FlateKindName(kind),
                             [kind] { return MakeFlatePdf(kind).bytes; }, "1-", 0));
    }
}

std::vector<ParallelCase> Cases()
{
    std::vector<ParallelCase> cases;
    const size_t all_streamed = 0;
    cases.push_back(Case("ManyImagesOnOnePage", [] { return MakeManyImagesPdf(40, 24).bytes; }));
    // Named only when the count of the page's images is known: more wait
    // than the workers hold in flight.
    cases.push_back(Case("OverAHundredOnOnePage", [] { return MakeManyImagesPdf(130, 6).bytes; }, "1-",
                         kestran::pdf::kDefaultStandInBytes, {"case-001-001.png", "case-001-01.png"}));
    cases.push_back(Case("LogoOnEveryPage", [] { return MakeLogoPdf(6).bytes; }));
    cases.push_back(Case("LogoStreamed", [] { return MakeLogoPdf(6).bytes; }, "1-", all_streamed));
    cases.push_back(Case("DuplicatesAndLookalikes", [] { return MakeDedupePdf().bytes; }));
    cases.push_back(Case("PixelTwins", [] { return MakePixelTwinsPdf().bytes; }));
    cases.push_back(Case("PixelTwinsStreamed", [] { return MakePixelTwinsPdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("Undecodable", [] { return MakeUndecodablePdf().bytes; }));
    cases.push_back(Case("UndecodableStreamed", [] { return MakeUndecodablePdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("SoftMask", [] { return MakeSoftMaskPdf(true).bytes; }));
    cases.push_back(Case("Stencils", [] { return MakeStencilPdf().bytes; }));
    cases.push_back(Case("FineSoftMask", [] { return MakeFineMaskPdf(FineMask::Soft, 2, 2, 400, 300).bytes; }));
    cases.push_back(Case("FineStencilMaskStreamed",
                         [] { return MakeFineMaskPdf(FineMask::Stencil, 2, 2, 400, 300).bytes; }, "1-", all_streamed));
    cases.push_back(Case("FourMasksOneImage", [] { return MakeFourMasksPdf().bytes; }));
    cases.push_back(Case("NoImageData", [] { return MakeNoImageDataPdf().bytes; }));
    cases.push_back(Case("NoImageDataStreamed", [] { return MakeNoImageDataPdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("InlineImages", [] { return MakeInlineImagePdf().bytes; }));
    cases.push_back(Case("DamagedInlineImages", [] {
        return MakeBrokenInlineImagesPdf(30, {{3, InlineDamage::ZeroWidth}, {17, InlineDamage::NoHeight}},
                                         InlinePlacement::ContentsArray)
            .bytes;
    }));
    cases.push_back(Case("Forms", [] { return MakeFormsPdf().bytes; }));
    cases.push_back(Case("PatternsAnnotationsGroups", [] { return MakeIndirectPlacementsPdf().bytes; }));
    cases.push_back(Case("Jpeg2000", [] { return MakeJp2Pdf(3, 80, 60).bytes; }));
    cases.push_back(Case("Jpeg2000Alpha", [] { return MakeJp2Pdf(4, 50, 40).bytes; }));
    cases.push_back(Case("Jpeg2000Indexed", [] {
        std::string indices = MakeSamples(30, 20, 1, 8, 5);
        for (char& v : indices)
            v = static_cast<char>(static_cast<uint8_t>(v) % 16);
        return MakeJpxBesideJpegPdf(EncodeJp2(30, 20, 1, indices),
                                    "/Width 30 /Height 20 /Decode [0 255] /ColorSpace " + IndexedColorspace(16));
    }, "1-", all_streamed));
    cases.push_back(Case("Jpeg2000HeaderMuPdfRefuses", [] {
        // A 'cmap' box with no palette before it, drawn inverted by its /Decode.
        std::string jp2 = EncodeJp2(30, 20, 3, MakeSamples(30, 20, 3, 8, 6));
        const size_t jp2h = jp2.find("jp2h");
        const std::string cmap("\0\0\0\x14" "cmap" "\0\0\0\0" "\0\0\1\0" "\0\0\2\0", 20);
        jp2.insert(jp2h + 4, cmap);
        jp2[jp2h - 1] = static_cast<char>(static_cast<uint8_t>(jp2[jp2h - 1]) + 20);  // jp2h's length, below 236
        return MakeJpxBesideJpegPdf(jp2, "/Width 30 /Height 20 /Decode [1 0 1 0 1 0]");
    }));
    cases.push_back(Case("SomePages", [] { return MakeMultiPagePdf(10).bytes; }, "2,4-7,9"));
    cases.push_back(Case("AbsurdSize", [] { return MakeAbsurdSizePdf().bytes; }));
    cases.push_back(Case("CutShortSalvaged", [] { return MakeTruncatedPdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("BrokenXrefRepaired", [] { return MakeBrokenXrefPdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("EveryJpegKind", EveryJpegKindPdf));
    cases.push_back(Case("EveryJpegKindStreamed", EveryJpegKindPdf, "1-", all_streamed));
    AddFlateStreamed(cases);
    cases.push_back(Case("RepairedWhileWalking", [] { return MakeLateRepairPdf().bytes; }, "1-", all_streamed));
    cases.push_back(Case("Jbig2SharedGlobals", [] { return MakeSharedJbig2GlobalsPdf(6).bytes; }));
    cases.push_back(Case("EncryptedStreamed", [] { return MakeEncryptedPdf("").bytes; }, "1-", all_streamed));
    cases.push_back(Case("Mixed", MixedPdf));
    cases.push_back(Case("MixedStreamed", MixedPdf, "1-", 4096));
    cases.push_back(Case("MixedNamesTaken", MixedPdf, "1-", 4096,
                          {"case-001-01.png", "case-001-02.jpg", "case-003-01.png", "case-003-03 (2).png"}));
    // What the converting types write does not depend on the workers either.
    for (const auto type : {kestran::pdf::OutputType::Png, kestran::pdf::OutputType::Jpeg}) {
        const std::string suffix = type == kestran::pdf::OutputType::Png ? "Png" : "Jpeg";
        std::vector<ParallelCase> typed = {Case("Mixed", MixedPdf), Case("MixedStreamed", MixedPdf, "1-", 4096),
                                           Case("EveryJpegKindStreamed", EveryJpegKindPdf, "1-", all_streamed),
                                           Case("PixelTwins", [] { return MakePixelTwinsPdf().bytes; })};
        AddFlateStreamed(typed);
        for (ParallelCase& c : typed) {
            c.name += suffix;
            c.type = type;
            cases.push_back(std::move(c));
        }
    }
    // Small files, made at once: their count names the cases.
    int hostile = 0;
    for (const auto& [name, bytes] : MakeHostilePdfs())
        cases.push_back(Case("Hostile" + std::to_string(++hostile), [pdf = bytes] { return pdf; }));
    return cases;
}

class EngineParallel : public ::testing::TestWithParam<ParallelCase> {
protected:
    void SetUp() override
    {
        kestran::pdf::ClearCancel();
        source_ = dir_ / "case.pdf";
        WriteFile(source_, *GetParam().pdf);
    }
    void TearDown() override { kestran::pdf::ClearCancel(); }

    // Runs the case into a fresh folder with `workers`; `stop_at` > 0 stops
    // the run at that progress call (with -2 when `by_return`, else through
    // the process-wide stop request).
    Outcome Run(const std::string& folder, int workers, uint64_t queue_bytes = uint64_t(256) << 20, int stop_at = 0,
                bool by_return = false, std::atomic<int>* spare = nullptr)
    {
        const fs::path out = dir_ / folder;
        fs::create_directories(out);
        for (const std::string& name : GetParam().existing)
            WriteFile(out / name, "already there: " + name);
        Outcome outcome;
        kestran::pdf::ExtractOptions options;
        options.workers = workers;
        options.queue_bytes = queue_bytes;
        options.spare_workers = spare;
        options.stream_bytes = GetParam().stream_bytes;
        options.output_type = GetParam().type;
        options.log = [&](const std::string& line) { outcome.lines.push_back(line); };
        options.record = [&](const kestran::pdf::ImageRecord& record) {
            outcome.records.push_back(kestran::pdf::ManifestRow(kestran::pdf::ManifestFormat::Csv, record));
        };
        struct Context {
            Outcome* outcome;
            int stop_at;
            bool by_return;
        } context{&outcome, stop_at, by_return};
        auto progress = [](void* user, int done, int) {
            auto* c = static_cast<Context*>(user);
            c->outcome->progress.push_back(done);
            if (static_cast<int>(c->outcome->progress.size()) != c->stop_at)
                return 0;
            if (c->by_return)
                return -2;
            kestran::pdf::RequestCancel();
            return 0;
        };
        outcome.result = kestran::pdf::ExtractImagesFromFile(source_.c_str(), GetParam().range.c_str(), out.c_str(),
                                                             &context, progress, &outcome.stats, options);
        kestran::pdf::ClearCancel();
        for (const std::string& name : ListFiles(out))
            outcome.files[name] = Md5Hex(ReadFile(out / name));
        EXPECT_TRUE(StrayFiles(out).empty()) << folder << ": " << ::testing::PrintToString(StrayFiles(out));
        return outcome;
    }

    static void ExpectSame(const Outcome& parallel, const Outcome& sequential)
    {
        EXPECT_EQ(parallel.result, sequential.result);
        EXPECT_EQ(parallel.files, sequential.files);
        EXPECT_EQ(parallel.lines, sequential.lines);
        EXPECT_EQ(parallel.records, sequential.records);
        EXPECT_EQ(parallel.progress, sequential.progress);
        EXPECT_EQ(parallel.stats.images_written, sequential.stats.images_written);
        EXPECT_EQ(parallel.stats.images_skipped, sequential.stats.images_skipped);
        EXPECT_EQ(parallel.stats.bytes_written, sequential.stats.bytes_written);
    }

    TempDir dir_{"kestran-parallel"};
    fs::path source_;
};

TEST_P(EngineParallel, SeveralWorkersWriteWhatOneWrites)
{
    const Outcome sequential = Run("one", 1);
    // Four workers; then three with a memory bound so small that every image
    // waits until the ones before it are encoded.
    ExpectSame(Run("four", 4), sequential);
    ExpectSame(Run("bounded", 3, 1), sequential);
    // One worker's worth and threads lent by the caller (files run side by
    // side that have ended): they are taken, and all given back.
    std::atomic<int> spare{2};
    ExpectSame(Run("lent", 1, uint64_t(256) << 20, 0, false, &spare), sequential);
    EXPECT_EQ(spare.load(), 2);
}

TEST_P(EngineParallel, AStopLeavesWhatASequentialStopLeaves)
{
    const Outcome whole = Run("whole", 1);
    const int calls = static_cast<int>(whole.progress.size());
    // A stop at the first, a middle, the one before the last and the last
    // progress call, through the stop request and through the progress
    // function's answer. At the last call every image is in place: the file
    // is done, not interrupted. One call earlier, a stop by request is seen
    // only if a step that looks at it still follows (it depends on the file).
    for (int stop_at : {1, calls / 2, calls - 1, calls}) {
        if (stop_at < 1)
            continue;
        for (bool by_return : {false, true}) {
            SCOPED_TRACE("stop at call " + std::to_string(stop_at) + (by_return ? " by -2" : " by request"));
            const std::string tag = std::to_string(stop_at) + (by_return ? "r" : "c");
            const Outcome sequential = Run("one-" + tag, 1, uint64_t(256) << 20, stop_at, by_return);
            if (stop_at == calls) {
                EXPECT_EQ(sequential.result, whole.result);
                EXPECT_EQ(sequential.files, whole.files);
            } else if (stop_at < calls - 1 || by_return) {
                EXPECT_EQ(sequential.result, KESTRAN_EXTRACT_CANCELLED);
            }
            ExpectSame(Run("three-" + tag, 3, uint64_t(256) << 20, stop_at, by_return), sequential);
            std::atomic<int> spare{1};
            ExpectSame(Run("lent-" + tag, 1, uint64_t(256) << 20, stop_at, by_return, &spare), sequential);
            EXPECT_EQ(spare.load(), 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EngineParallel, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ParallelCase>& info) { return info.param.name; });

// Threads of this process, from /proc.
size_t ThreadCount()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

TEST(EngineParallelThreads, NoWorkerOutlivesTheCall)
{
    TempDir dir("kestran-parallel");
    WriteFile(dir / "doc.pdf", MakeManyImagesPdf(30, 32).bytes);
    // A run first, so that threads a runtime starts once (a sanitizer's) are counted too.
    {
        fs::create_directory(dir / "warm-up");
        kestran::pdf::ExtractOptions options;
        options.workers = 2;
        options.log = [](const std::string&) {};
        kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1", (dir / "warm-up").c_str(), nullptr,
                                            nullptr, nullptr, options);
    }
    const size_t before = ThreadCount();
    ASSERT_GT(before, 0u);
    struct Stop {
        static int AtFifth(void* calls, int, int) { return ++*static_cast<int*>(calls) == 5 ? -2 : 0; }
    };
    for (bool stop : {false, true}) {
        const fs::path out = dir / (stop ? "stopped" : "whole");
        fs::create_directory(out);
        kestran::pdf::ExtractOptions options;
        options.workers = 4;
        options.log = [](const std::string&) {};
        int calls = 0;
        const int result = kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1", out.c_str(), &calls,
                                                               stop ? &Stop::AtFifth : nullptr, nullptr, options);
        EXPECT_EQ(result, stop ? KESTRAN_EXTRACT_CANCELLED : KESTRAN_EXTRACT_OK);
        EXPECT_EQ(ThreadCount(), before) << (stop ? "after a stop" : "after a whole run");
        EXPECT_TRUE(StrayFiles(out).empty());
    }
    // A folder that goes away under the workers: the run fails, nothing stays running.
    const fs::path gone = dir / "gone";
    fs::create_directory(gone);
    kestran::pdf::ExtractOptions options;
    options.workers = 4;
    options.log = [](const std::string&) {};
    struct RemoveFolder {
        static int OnFirst(void* folder, int done, int)
        {
            if (done >= 1)
                fs::remove_all(*static_cast<fs::path*>(folder));
            return 0;
        }
    };
    fs::path target = gone;
    const int result = kestran::pdf::ExtractImagesFromFile((dir / "doc.pdf").c_str(), "1", gone.c_str(), &target,
                                                           &RemoveFolder::OnFirst, nullptr, options);
    EXPECT_EQ(result, KESTRAN_EXTRACT_OUTPUT_FOLDER);
    EXPECT_EQ(ThreadCount(), before) << "after a failed run";
}

// The two steps of writing an image file when its number is known only later.
TEST(PendingImageFiles, NamedInTheOrderTheyArePublished)
{
    using kestran::pdf::OutputStatus;
    using kestran::pdf::PendingImageFile;
    TempDir dir("kestran-pending");
    const std::string folder = dir.path().string();
    auto produce = [](const std::string& text) {
        return [text](const kestran::pdf::ByteSink& sink) {
            return sink(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        };
    };
    PendingImageFile first, second, dropped, failed;
    ASSERT_EQ(first.Write(folder, produce("first")), OutputStatus::Ok);
    ASSERT_EQ(second.Write(folder, produce("second")), OutputStatus::Ok);
    ASSERT_EQ(dropped.Write(folder, produce("dropped")), OutputStatus::Ok);
    EXPECT_EQ(failed.Write(folder, [](const kestran::pdf::ByteSink&) { return false; }), OutputStatus::Abandoned);
    EXPECT_EQ(StrayFiles(dir.path()).size(), 3u) << "three complete files wait under temporary names";
    // Written second, named first; a taken name gets the next copy number.
    WriteFile(dir / "doc-001-01.png", "there before");
    std::string name;
    ASSERT_EQ(second.Publish("doc", 1, 1, "png", &name), OutputStatus::Ok);
    EXPECT_EQ(name, "doc-001-01 (2).png");
    ASSERT_EQ(first.Publish("doc", 1, 2, "png", &name), OutputStatus::Ok);
    EXPECT_EQ(name, "doc-001-02.png");
    EXPECT_EQ(failed.Publish("doc", 1, 3, "png"), OutputStatus::Abandoned) << "nothing was written";
    {
        PendingImageFile moved = std::move(dropped);  // the temporary file goes with the object
    }
    EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"doc-001-01 (2).png", "doc-001-01.png", "doc-001-02.png"}));
    EXPECT_EQ(ReadFile(dir / "doc-001-01 (2).png"), "second");
    EXPECT_EQ(ReadFile(dir / "doc-001-02.png"), "first");
}

}  // namespace
