// libFuzzer target over the PDF service: page counting, the open test, a
// preview now and then, and a whole extraction of every page, on any bytes.
// Built by tests/fuzz/build.sh with clang (-fsanitize=fuzzer,address); not
// part of the test run. A crash it finds is fixed and its input kept in
// tests/fuzz/crashes, which the engine tests replay.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pdf/image_extractor.h"
#include "pdf/pdf_service.h"

namespace {

struct Workspace {
    std::string dir;
    std::string input;
    std::string output;
    Pdf2xxService* p2x = nullptr;

    Workspace()
    {
        char pattern[] = "/tmp/kestran-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr)
            std::abort();
        dir = made;
        input = dir + "/input.pdf";
        output = dir + "/out";
        if (mkdir(output.c_str(), 0700) != 0)
            std::abort();
        p2x = CreatePdf2xxService(dir.c_str());
    }

    void ClearOutput() const
    {
        DIR* d = opendir(output.c_str());
        if (d == nullptr)
            return;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink((output + "/" + name).c_str());
        }
        closedir(d);
    }
};

struct ProgressCheck {
    int last = -1;
};

// The progress contract: 0 <= done <= 2 x total, never going back.
int CheckProgress(void* context, int done, int total)
{
    auto* check = static_cast<ProgressCheck*>(context);
    if (total <= 0 || done < 0 || done > 2 * total || done < check->last)
        std::abort();
    check->last = done;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Workspace ws;
    FILE* f = std::fopen(ws.input.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    const int pages = ws.p2x->GetPageCount(ws.p2x, ws.input.c_str(), 0);
    const P2xOpenResult open = ws.p2x->CheckOpen(ws.p2x, ws.input.c_str());
    if (open.usable && (pages < 1 || open.page_count != pages))
        std::abort();

    if (open.usable && size % 16 == 0) {  // previews are slow: one input in sixteen
        int w = 0, h = 0;
        unsigned char* rgb = ws.p2x->RenderPage(ws.p2x, ws.input.c_str(), 1, 0, 0, &w, &h);
        if (rgb != nullptr && (w <= 0 || h <= 0 || static_cast<long long>(w) * h > 4200000))
            std::abort();
        std::free(rgb);
    }

    PdfServiceTable table{};
    CreatePdfService(&table);
    ProgressCheck check;
    const int result = table.ExtractImages(ws.input.c_str(), "1-", ws.output.c_str(), &check, CheckProgress);
    FreePdfService(&table);
    if (result < KESTRAN_EXTRACT_OK || result > KESTRAN_EXTRACT_OUT_OF_MEMORY)
        std::abort();
    ws.ClearOutput();

    // The streaming paths (block copies, row-by-row PNG) only take large
    // images; with no threshold the small inputs of fuzzing reach them too.
    if (size % 2 == 1) {
        kestran::pdf::ExtractOptions streamed;
        streamed.stream_bytes = 0;
        ProgressCheck again;
        const int streamed_result = kestran::pdf::ExtractImagesFromFile(
            ws.input.c_str(), "1-", ws.output.c_str(), &again, CheckProgress, nullptr, streamed);
        if (streamed_result < KESTRAN_EXTRACT_OK || streamed_result > KESTRAN_EXTRACT_OUT_OF_MEMORY)
            std::abort();
        ws.ClearOutput();
    }
    return 0;
}
