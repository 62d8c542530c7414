// kestran-extract: the extraction engine of the program from the command line,
// for scripts and for measuring. It runs the very same PDF service as the
// window's job, writes the same daily log entries and follows the same rules:
// input files are only read, existing files are never overwritten.
//
// Exit status: 0 when every file succeeded, 1 when some failed (an interrupted
// file counts as failed), 2 for a usage error.
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <filesystem>

#include "common/daily_log.h"
#include "common/folder_listing.h"
#include "common/local_paths.h"
#include "common/log_text.h"
#include "common/size_text.h"
#include "common/user_folders.h"
#include "domain/page_range_text.h"
#include "pdf/cancel_flag.h"
#include "pdf/encode_pool.h"
#include "pdf/image_extractor.h"
#include "pdf/manifest.h"
#include "pdf/memory_budget.h"
#include "pdf/pdf_service.h"
#include "pdf/read_problem.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
// Below this MuPDF cannot even open an ordinary file.
constexpr uint64_t kMinMemory = uint64_t(16) << 20;

// A path as the lines of this program show it: one line whatever it holds.
std::string Shown(const std::string& path) { return kestran::EscapeForLog(path); }
constexpr int kMaxJobs = 256;
constexpr int kMaxMinSize = 1000000;

// The extractor links no wxWidgets: its whole process is measured against
// other command-line tools, and wxBase with the GLib it pulls in would cost it
// about 3 MB before any work. It shares the window's rules for ranges,
// folders, names and the daily log through their plain implementations
// (the kestran:: functions), which the window's wx API wraps.
struct Options {
    std::string output_dir;
    bool source_folder = false;
    bool quiet = false;
    int jobs = 0;  // 0: one per core
    bool has_range = false;
    std::string range;
    uint64_t memory = 0;  // MuPDF's memory budget; 0 = the default
    kestran::pdf::ImageFilters filters;
    std::string manifest;  // empty: none
    kestran::pdf::OutputType type = kestran::pdf::OutputType::Original;
    std::vector<std::string> inputs;  // the arguments, then the paths of the list
    std::string files_from;           // the list file, "-" for standard input
    bool null_separated = false;
    std::string summary_json;
};

void PrintUsage(FILE* out)
{
    std::fprintf(out,
                 "Usage: kestran-extract [options] PDF-or-folder...\n"
                 "Writes the images of PDF files: JPEG and JPEG 2000 images as they are stored\n"
                 "(when that shows them as the page does), every other image as a lossless PNG\n"
                 "or, for printing inks (CMYK, spot colours), a CMYK TIFF, with its transparency.\n"
                 "\n"
                 "  -o, --output DIR        write the images into DIR, created when missing\n"
                 "                          (default: %s)\n"
                 "  -s, --source-folder     write each file's images beside the file\n"
                 "  -p, --pages RANGE       pages to extract, e.g. 1,3,4,5-10 (default: all)\n"
                 "  -m, --memory SIZE       memory the PDF engine may use, e.g. 512M or 2G\n"
                 "                          (default here: %s, a quarter of the memory, at most 2G);\n"
                 "                          a file that needs more fails as out of memory\n"
                 "  -q, --quiet             print no line per file and no summary\n"
                 "  -j, --jobs N            use N threads: N files side by side, or fewer\n"
                 "                          files with the threads shared among their images\n"
                 "                          (default: the number of cores, %d here)\n"
                 "      --min-size N        skip images narrower or lower than N pixels\n"
                 "      --skip-flat         skip images of one flat colour\n"
                 "      --manifest FILE     write one row per image found to FILE: CSV, or\n"
                 "                          JSON Lines when FILE ends in .jsonl\n"
                 "  -t, --type TYPE         what the images become: original (as above, the\n"
                 "                          default), png (every image a PNG in sRGB) or jpeg\n"
                 "                          (every image a JPEG in sRGB; one with transparency\n"
                 "                          a PNG)\n"
                 "      --files-from FILE   also extract the files and folders listed in FILE,\n"
                 "                          one path per line, after those given as arguments;\n"
                 "                          - reads the list from standard input\n"
                 "  -0, --null              the paths of the list end with a NUL character,\n"
                 "                          as find -print0 writes them\n"
                 "      --summary-json FILE write the run's summary into FILE as JSON: each\n"
                 "                          file's result and reason, images, bytes and\n"
                 "                          seconds, the totals, the peak memory, the exit status\n"
                 "      --help              show this help and exit\n"
                 "      --version           show the version and exit\n"
                 "\n"
                 "A folder stands for the PDF files directly in it. Images are named\n"
                 "<file>-<page>-<image>.<ext>; an existing file is never overwritten: a file\n"
                 "with the same bytes counts as already there, another one gives \" (2)\".\n"
                 "A taken manifest name gets \" (2)\" too.\n"
                 "Lines and files are the same whatever N: each file's lines come out whole,\n"
                 "in the order of the files.\n"
                 "Ctrl+C stops after the files in work are abandoned; a second Ctrl+C ends at\n"
                 "once, removing the image files being written.\n"
                 "Exit status: 0 all files done, 1 some failed or interrupted, 2 usage error.\n",
                 "Documents/Olvarin/Olvarin Kestran",
                 kestran::pdf::MemorySizeText(kestran::pdf::DefaultProcessMemoryBudget()).c_str(),
                 kestran::pdf::DefaultWorkerCount());
}

// The paths of a list (--files-from), appended to `paths`: one per line, or
// each ended by a NUL as `find -print0` writes them, "-" for standard input.
// Empty entries are skipped, and the CR of a line ending in CR LF (a list
// written on Windows). False with the system's words in `error` when the list
// cannot be read.
bool ReadPathList(const std::string& list, bool null_separated, std::vector<std::string>& paths, std::string& error)
{
    struct CloseFile {
        void operator()(FILE* file) const
        {
            if (file != stdin)
                std::fclose(file);
        }
    };
    std::unique_ptr<FILE, CloseFile> in(list == "-" ? stdin : std::fopen(list.c_str(), "rb"));
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
        text.append(buffer, got);
    if (std::ferror(in.get())) {
        error = std::strerror(errno);
        return false;
    }
    const char end = null_separated ? '\0' : '\n';
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find(end, start);
        if (stop == std::string::npos)
            stop = text.size();
        std::string path = text.substr(start, stop - start);
        if (!null_separated && !path.empty() && path.back() == '\r')
            path.pop_back();
        if (!path.empty())
            paths.push_back(std::move(path));
        start = stop + 1;
    }
    return true;
}

// 0 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& options, bool& done)
{
    enum { kHelp = 1000, kVersion, kMinSize, kSkipFlat, kManifest, kFilesFrom, kSummaryJson };
    static const option kLong[] = {
        {"output", required_argument, nullptr, 'o'},
        {"source-folder", no_argument, nullptr, 's'},
        {"pages", required_argument, nullptr, 'p'},
        {"memory", required_argument, nullptr, 'm'},
        {"quiet", no_argument, nullptr, 'q'},
        {"jobs", required_argument, nullptr, 'j'},
        {"min-size", required_argument, nullptr, kMinSize},
        {"skip-flat", no_argument, nullptr, kSkipFlat},
        {"manifest", required_argument, nullptr, kManifest},
        {"type", required_argument, nullptr, 't'},
        {"files-from", required_argument, nullptr, kFilesFrom},
        {"null", no_argument, nullptr, '0'},
        {"summary-json", required_argument, nullptr, kSummaryJson},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    done = false;
    opterr = 1;
    for (;;) {
        int c = getopt_long(argc, argv, "o:sp:m:qj:t:0", kLong, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'o': options.output_dir = optarg; break;
        case 's': options.source_folder = true; break;
        case 'p':
            options.has_range = true;
            options.range = optarg;
            break;
        case 'm':
            if (!kestran::pdf::ParseMemorySize(optarg, options.memory) || options.memory < kMinMemory) {
                std::fprintf(stderr, "kestran-extract: invalid memory size '%s' (at least 16M; for example: 512M, 2G)\n",
                             optarg);
                return kExitUsage;
            }
            break;
        case 'q': options.quiet = true; break;
        case 'j': {
            char* end = nullptr;
            errno = 0;
            const long jobs = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || jobs < 1 || jobs > kMaxJobs) {
                std::fprintf(stderr, "kestran-extract: invalid number of jobs '%s' (1 to %d)\n", optarg, kMaxJobs);
                return kExitUsage;
            }
            options.jobs = static_cast<int>(jobs);
            break;
        }
        case kMinSize: {
            char* end = nullptr;
            errno = 0;
            const long pixels = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || pixels < 1 || pixels > kMaxMinSize) {
                std::fprintf(stderr, "kestran-extract: invalid minimum size '%s' (1 to %d pixels)\n", optarg,
                             kMaxMinSize);
                return kExitUsage;
            }
            options.filters.min_side = static_cast<int>(pixels);
            break;
        }
        case kSkipFlat: options.filters.skip_flat = true; break;
        case kManifest:
            if (*optarg == '\0') {
                std::fprintf(stderr, "kestran-extract: --manifest needs a file name\n");
                return kExitUsage;
            }
            options.manifest = optarg;
            break;
        case 't':
            if (!kestran::pdf::ParseOutputType(optarg, options.type)) {
                std::fprintf(stderr, "kestran-extract: invalid output type '%s' (original, png or jpeg)\n", optarg);
                return kExitUsage;
            }
            break;
        case kFilesFrom: options.files_from = optarg; break;
        case '0': options.null_separated = true; break;
        case kSummaryJson: options.summary_json = optarg; break;
        case kHelp:
            PrintUsage(stdout);
            done = true;
            return kExitOk;
        case kVersion:
            std::printf("kestran-extract %s\n", KESTRAN_VERSION);
            done = true;
            return kExitOk;
        default:
            std::fprintf(stderr, "Try 'kestran-extract --help'.\n");
            return kExitUsage;
        }
    }
    for (int i = optind; i < argc; ++i)
        options.inputs.push_back(argv[i]);
    if (!options.files_from.empty()) {
        std::string error;
        if (!ReadPathList(options.files_from, options.null_separated, options.inputs, error)) {
            std::fprintf(stderr, "kestran-extract: cannot read the list %s: %s\n", Shown(options.files_from).c_str(),
                         error.c_str());
            return kExitUsage;
        }
    }
    // An empty list is work that happens to be empty (a `find` that found
    // nothing), not a mistake.
    if (options.inputs.empty() && options.files_from.empty()) {
        std::fprintf(stderr, "kestran-extract: no PDF file or folder given\nTry 'kestran-extract --help'.\n");
        return kExitUsage;
    }
    if (options.source_folder && !options.output_dir.empty()) {
        std::fprintf(stderr, "kestran-extract: --output and --source-folder exclude each other\n");
        return kExitUsage;
    }
    if (options.has_range) {
        const std::string matched = kestran::MatchPageRange(options.range);
        if (matched.empty()) {
            std::fprintf(stderr, "kestran-extract: invalid page range '%s' (for example: 1,3,4,5-10)\n",
                         Shown(options.range).c_str());
            return kExitUsage;
        }
        options.range = matched;
    }
    return kExitOk;
}

constexpr const char* kNoSuchInput = "no such file or folder";

// The files to extract, in order: a file as given; a folder as the window's
// Add Folder reads it (its own *.pdf files in any case, no subfolders), sorted.
// A path that is neither is reported and counted as failed.
std::vector<std::string> CollectFiles(const std::vector<std::string>& inputs, std::vector<std::string>& missing)
{
    std::vector<std::string> files;
    for (const std::string& input : inputs) {
        const std::string path = kestran::AbsolutePath(input);
        if (kestran::IsFolder(path)) {
            std::vector<std::string> found = kestran::ListFiles(path, "*.pdf");
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (kestran::IsFile(path)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "%s: failed: %s\n", Shown(input).c_str(), kNoSuchInput);
            missing.push_back(path);
        }
    }
    return files;
}

std::string FormatBytes(uint64_t bytes) { return kestran::FormatSize(bytes); }

void WriteJobLog(const std::string& text, const std::string& detail, int code)
{
    kestran::WriteLog(kestran::JobLogLine(text, detail, code));
}

// Ctrl+C (and a polite kill) stop the job like the window's Stop: the files in
// work are abandoned (the service never leaves a partial image) and no further
// file starts. A second signal ends the process at once, as the window does
// when it closes in the middle of a job: the temporary files of the images
// being written are removed first, so no partial file stays. Signals are taken
// by a thread of their own, so all this runs as ordinary code rather than
// inside a signal handler.
class InterruptWatcher {
public:
    explicit InterruptWatcher(Pdf2xxService* service) : service_(service)
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&signals_, &signal) == 0) {
                if (finished_.load())
                    return;
                if (interrupted_.exchange(true)) {
                    KestranDiscardPartialOutputs();
                    std::fprintf(stderr, "kestran-extract: interrupted again, ending now\n");
                    _exit(kExitSomeFailed);
                }
                std::fprintf(stderr, "kestran-extract: interrupted, stopping (again to end at once)\n");
                service_->SetCancel(1);
            }
        });
    }

    ~InterruptWatcher()
    {
        finished_.store(true);
        pthread_kill(thread_.native_handle(), SIGINT);
        thread_.join();
    }

    bool Interrupted() const { return interrupted_.load(); }

private:
    Pdf2xxService* service_;
    sigset_t signals_{};
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

struct FileOutcome {
    bool ran = false;
    int result = KESTRAN_EXTRACT_OK;
    kestran::pdf::ExtractStats stats;
    double seconds = 0;
    std::string reason;  // empty when it succeeded
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char small[512];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n > 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

// What files running side by side print, in the order a run of one file at a
// time prints it: each file's lines (the engine's log lines on standard error,
// its result line, its daily log entry) come out whole and together, files in
// the order given. The earliest unfinished file prints as it goes; the lines
// of later files wait in memory until every file before them is done.
class OrderedOutput {
public:
    enum class Target { Out, Err, DailyLog, Manifest };

    // `manifest` (may be null) receives the rows of Target::Manifest.
    OrderedOutput(size_t files, kestran::pdf::ManifestWriter* manifest)
        : manifest_(manifest), waiting_(files), finished_(files, false)
    {
    }

    void Write(size_t file, Target target, std::string text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file == head_)
            Print(target, text);
        else
            waiting_[file].push_back({target, std::move(text)});
    }

    // After the file's last line.
    void Finish(size_t file)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_[file] = true;
        while (head_ < finished_.size() && finished_[head_]) {
            ++head_;
            if (head_ < waiting_.size()) {
                for (const Entry& entry : waiting_[head_])
                    Print(entry.target, entry.text);
                waiting_[head_] = std::vector<Entry>();
            }
        }
    }

private:
    struct Entry {
        Target target;
        std::string text;
    };

    void Print(Target target, const std::string& text)
    {
        switch (target) {
        case Target::Manifest:
            if (manifest_ != nullptr && !manifest_->Write(text) && !manifest_failed_) {
                manifest_failed_ = true;
                std::fprintf(stderr, "kestran-extract: cannot write the manifest %s\n",
                             Shown(manifest_->Path()).c_str());
            }
            break;
        case Target::Out:
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            break;
        case Target::Err: std::fputs(text.c_str(), stderr); break;
        case Target::DailyLog: kestran::WriteLog(text); break;
        }
    }

    std::mutex mutex_;
    kestran::pdf::ManifestWriter* manifest_;
    bool manifest_failed_ = false;
    size_t head_ = 0;
    std::vector<std::vector<Entry>> waiting_;
    std::vector<bool> finished_;
};

// ", 3 skipped, 12 already there" for the counts that are not 0.
std::string OtherCounts(int skipped, int already_there)
{
    std::string text;
    if (skipped > 0)
        text += ", " + std::to_string(skipped) + " skipped";
    if (already_there > 0)
        text += ", " + std::to_string(already_there) + " already there";
    return text;
}

// Extracts one file; its lines go to `output` as file `index`.
FileOutcome ExtractFile(const std::string& file, size_t index, const Options& options, const std::string& output_dir,
                        kestran::pdf::ExtractOptions extract_options, Pdf2xxService& p2x, OrderedOutput& output)
{
    const std::string& source = file;
    std::string folder = output_dir;
    if (options.source_folder) {
        const size_t slash = file.find_last_of('/');
        folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : file.substr(0, slash);
    }
    FileOutcome outcome;
    outcome.ran = true;
    const auto start = std::chrono::steady_clock::now();

    // A range is checked against each file as the window checks a
    // "Selected Page" cell: a range the window would refuse fails the file.
    // Without one, "1-" (to the last page) spares opening the file twice.
    std::string range = "1-";
    if (options.has_range) {
        const int count = p2x.GetPageCount(&p2x, source.c_str(), 0);
        range = options.range;
        if (count <= 0)
            outcome.result = kestran::pdf::CancelRequested() ? KESTRAN_EXTRACT_CANCELLED : KESTRAN_EXTRACT_CANNOT_OPEN;
        else if (!kestran::CheckPageRange(range, count))
            outcome.result = KESTRAN_EXTRACT_NO_PAGE;
    }
    extract_options.log = [&](const std::string& line) { output.Write(index, OrderedOutput::Target::Err, line + "\n"); };
    if (!options.manifest.empty()) {
        const kestran::pdf::ManifestFormat format = kestran::pdf::ManifestFormatFor(options.manifest);
        extract_options.record = [&output, index, format](const kestran::pdf::ImageRecord& record) {
            output.Write(index, OrderedOutput::Target::Manifest, kestran::pdf::ManifestRow(format, record));
        };
    }
    if (outcome.result == KESTRAN_EXTRACT_OK)
        outcome.result = kestran::pdf::ExtractImagesFromFile(source.c_str(), range.c_str(), folder.c_str(), nullptr,
                                                             nullptr, &outcome.stats, extract_options);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (outcome.result != KESTRAN_EXTRACT_OK)
        outcome.reason = kestran::pdf::ExtractFailureReason(source, outcome.result).Line();
    const std::string& reason = outcome.reason;
    output.Write(index, OrderedOutput::Target::DailyLog, kestran::JobLogLine(file, folder, outcome.result, reason));

    if (outcome.result == KESTRAN_EXTRACT_OK) {
        if (!options.quiet)
            output.Write(index, OrderedOutput::Target::Out,
                         Format("%s: %d image%s, %s, %.2f s%s\n", Shown(source).c_str(), outcome.stats.images_written,
                                outcome.stats.images_written == 1 ? "" : "s",
                                FormatBytes(outcome.stats.bytes_written).c_str(), outcome.seconds,
                                OtherCounts(outcome.stats.images_skipped, outcome.stats.images_already_there).c_str()));
    } else {
        // Failures go to standard error even when quiet.
        output.Write(index, OrderedOutput::Target::Err,
                     Format("%s: failed: %s\n", Shown(source).c_str(), reason.c_str()));
    }
    return outcome;
}

// `text` as a JSON string. Paths are bytes, not always UTF-8: a byte that
// is not part of a valid UTF-8 sequence becomes \udcXX, the lone surrogate
// Python's "surrogateescape" reads back as that very byte, so a script can
// still open the file the summary names.
std::string JsonString(const std::string& text)
{
    std::string json = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                json += '\\';
                json += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7f) {
                json += Format("\\u%04x", c);
            } else {
                json += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, 0 when there is none.
        size_t length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        if (length > size - i)
            length = 0;
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80)
                length = 0;
        }
        if (length >= 3) {
            const unsigned char next = bytes[i + 1];
            const bool overlong = (c == 0xe0 && next < 0xa0) || (c == 0xf0 && next < 0x90);
            const bool surrogate = c == 0xed && next >= 0xa0;
            const bool too_large = c == 0xf4 && next >= 0x90;
            if (overlong || surrogate || too_large)
                length = 0;
        }
        if (length == 0) {
            json += Format("\\udc%02x", c);
            ++i;
        } else {
            json.append(text, i, length);
            i += length;
        }
    }
    return json + "\"";
}

struct SummaryEntry {
    std::string path;
    const char* status = "done";  // "done", "failed" or "not run"
    int result = KESTRAN_EXTRACT_OK;
    std::string reason;
    kestran::pdf::ExtractStats stats;
    double seconds = 0;
};

// The summary a script or a cluster driver reads instead of the lines meant
// for people. Written to a temporary file beside `path` and renamed over it,
// so a reader never sees half a summary. False with the system's words in
// `error` when it cannot be written.
bool WriteSummaryJson(const std::string& path, const std::vector<SummaryEntry>& entries, double seconds,
                      bool interrupted, int exit_status, std::string& error)
{
    std::string json = "{\n  \"files\": [";
    int done = 0, failed = 0, not_run = 0, written = 0, skipped = 0, already_there = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const SummaryEntry& e = entries[i];
        json += i == 0 ? "\n" : ",\n";
        json += Format("    {\"path\": %s, \"status\": \"%s\", \"result\": %d, \"reason\": %s, "
                       "\"images_written\": %d, \"images_skipped\": %d, \"images_already_there\": %d, "
                       "\"bytes\": %llu, \"seconds\": %.3f}",
                       JsonString(e.path).c_str(), e.status, e.result, JsonString(e.reason).c_str(),
                       e.stats.images_written, e.stats.images_skipped, e.stats.images_already_there,
                       static_cast<unsigned long long>(e.stats.bytes_written), e.seconds);
        (e.result == KESTRAN_EXTRACT_OK ? done : std::strcmp(e.status, "not run") == 0 ? not_run : failed) += 1;
        written += e.stats.images_written;
        skipped += e.stats.images_skipped;
        already_there += e.stats.images_already_there;
        bytes += e.stats.bytes_written;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    json += Format("\n  ],\n  \"totals\": {\"files\": %zu, \"done\": %d, \"failed\": %d, \"not_run\": %d, "
                   "\"images_written\": %d, \"images_skipped\": %d, \"images_already_there\": %d, \"bytes\": %llu, "
                   "\"seconds\": %.3f},\n"
                   "  \"peak_memory_bytes\": %llu,\n  \"interrupted\": %s,\n  \"exit_status\": %d\n}\n",
                   entries.size(), done, failed, not_run, written, skipped, already_there,
                   static_cast<unsigned long long>(bytes),
                   seconds, static_cast<unsigned long long>(usage.ru_maxrss) * 1024, interrupted ? "true" : "false",
                   exit_status);

    // A name of this process's own: a leftover of an earlier process that
    // had the same id is stale and goes.
    const std::string temporary = path + ".part-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    size_t put = 0;
    while (put < json.size()) {
        const ssize_t n = ::write(fd, json.data() + put, json.size() - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put += static_cast<size_t>(n);
    }
    const int write_errno = put == json.size() ? 0 : errno != 0 ? errno : EIO;
    if (::close(fd) != 0 || write_errno != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(write_errno != 0 ? write_errno : errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

int Run(const Options& options)
{
    std::unique_ptr<Pdf2xxService, void (*)(Pdf2xxService*)> p2x(
        CreatePdf2xxService(kestran::ExeDir().c_str()), FreePdf2xxService);
    if (!p2x) {
        std::fprintf(stderr, "kestran-extract: out of memory\n");
        return kExitSomeFailed;
    }
    InterruptWatcher watcher(p2x.get());

    std::vector<std::string> missing;
    std::vector<std::string> files = CollectFiles(options.inputs, missing);
    int failed = static_cast<int>(missing.size());
    std::string output_dir;
    if (!options.source_folder) {
        output_dir = options.output_dir.empty() ? kestran::DefaultOutputDir() : kestran::AbsolutePath(options.output_dir);
        std::error_code ec;
        if (!kestran::IsFolder(output_dir) && (!std::filesystem::create_directories(output_dir, ec) || ec)) {
            std::fprintf(stderr, "kestran-extract: cannot create the output folder %s\n", Shown(output_dir).c_str());
            return kExitSomeFailed;
        }
    }

    // One manifest for the whole run, created before any work so that a name
    // that cannot be written stops the run at once.
    kestran::pdf::ManifestWriter manifest;
    if (!options.manifest.empty()) {
        const std::string path = kestran::AbsolutePath(options.manifest);
        std::string error;
        if (!manifest.Open(path, &error)) {
            std::fprintf(stderr, "kestran-extract: cannot create the manifest %s: %s\n", Shown(path).c_str(),
                         error.c_str());
            return kExitSomeFailed;
        }
        if (manifest.Path() != path && !options.quiet)
            std::fprintf(stderr, "kestran-extract: %s exists, the manifest goes to %s\n", Shown(path).c_str(),
                         Shown(manifest.Path()).c_str());
    }

    PdfServiceTable table{};
    CreatePdfService(&table);  // one job: clears any earlier stop
    WriteJobLog("Begin", std::string(), 0);

    kestran::pdf::ExtractOptions extract_options;
    extract_options.filters = options.filters;
    // N threads in all: N files side by side, each extracted by one thread,
    // which spares every file the hand-over between threads and a second open
    // of the document; when there are fewer files than N, the threads left go
    // to the images of each file (a single file gets all N). Near the end of
    // the list, a thread that finds no file left is handed to the files still
    // running, which take it as an extra worker for their images.
    const size_t jobs = static_cast<size_t>(options.jobs > 0 ? options.jobs : kestran::pdf::DefaultWorkerCount());
    const size_t side_by_side = std::max<size_t>(1, std::min(jobs, files.size()));
    extract_options.workers = static_cast<int>(std::max<size_t>(1, jobs / side_by_side));
    extract_options.output_type = options.type;

    const auto job_start = std::chrono::steady_clock::now();
    std::vector<FileOutcome> outcomes(files.size());
    OrderedOutput output(files.size(), options.manifest.empty() ? nullptr : &manifest);
    std::atomic<size_t> next_file{0};
    std::atomic<int> spare_threads{0};
    if (side_by_side > 1)
        extract_options.spare_workers = &spare_threads;
    auto run_files = [&] {
        for (;;) {
            if (watcher.Interrupted())
                return;
            const size_t index = next_file.fetch_add(1);
            if (index >= files.size()) {
                spare_threads.fetch_add(1);
                return;
            }
            outcomes[index] = ExtractFile(files[index], index, options, output_dir, extract_options, *p2x, output);
            output.Finish(index);
        }
    };
    std::vector<std::thread> runners;
    for (size_t i = 1; i < side_by_side; ++i) {
        try {
            runners.emplace_back(run_files);
        } catch (const std::system_error&) {
            break;  // no more threads: fewer files side by side
        }
    }
    run_files();  // this thread is one of them
    for (std::thread& runner : runners)
        runner.join();
    int succeeded = 0;
    int images = 0;
    int skipped = 0;
    int already_there = 0;
    uint64_t bytes = 0;
    for (const FileOutcome& outcome : outcomes) {
        if (!outcome.ran)
            continue;
        images += outcome.stats.images_written;
        skipped += outcome.stats.images_skipped;
        already_there += outcome.stats.images_already_there;
        bytes += outcome.stats.bytes_written;
        if (outcome.result == KESTRAN_EXTRACT_OK)
            ++succeeded;
        else
            ++failed;
    }

    WriteJobLog("Finish", std::string(), 0);
    FreePdfService(&table);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job_start).count();
    if (watcher.Interrupted())
        std::fprintf(stderr, "kestran-extract: interrupted\n");
    if (!options.quiet)
        std::printf("%d file%s done, %d failed: %d image%s, %s in %.2f s%s\n", succeeded, succeeded == 1 ? "" : "s",
                    failed, images, images == 1 ? "" : "s", FormatBytes(bytes).c_str(), seconds,
                    OtherCounts(skipped, already_there).c_str());
    int status = failed > 0 || (watcher.Interrupted() && succeeded < static_cast<int>(files.size())) ? kExitSomeFailed
                                                                                                       : kExitOk;
    if (!options.summary_json.empty()) {
        std::vector<SummaryEntry> entries;
        for (const std::string& path : missing) {
            entries.emplace_back();
            entries.back().path = path;
            entries.back().status = "failed";
            entries.back().result = KESTRAN_EXTRACT_CANNOT_OPEN;
            entries.back().reason = kNoSuchInput;
        }
        for (size_t i = 0; i < files.size(); ++i) {
            const FileOutcome& outcome = outcomes[i];
            SummaryEntry entry;
            entry.path = files[i];
            if (outcome.ran) {
                entry.status = outcome.result == KESTRAN_EXTRACT_OK ? "done" : "failed";
                entry.result = outcome.result;
                entry.reason = outcome.reason;
                entry.stats = outcome.stats;
                entry.seconds = outcome.seconds;
            } else {
                // Never started: the run was interrupted before its turn.
                entry.status = "not run";
                entry.result = KESTRAN_EXTRACT_CANCELLED;
                entry.reason = kestran::pdf::ExtractFailureReason(files[i], KESTRAN_EXTRACT_CANCELLED).Line();
            }
            entries.push_back(std::move(entry));
        }
        std::string error;
        if (!WriteSummaryJson(options.summary_json, entries, seconds, watcher.Interrupted(), status, error)) {
            std::fprintf(stderr, "kestran-extract: cannot write the summary %s: %s\n",
                         Shown(options.summary_json).c_str(), error.c_str());
            status = kExitSomeFailed;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // glibc raises its mmap threshold each time a large block is freed, after
    // which image-sized blocks come from the heap and stay resident once
    // freed. A fixed threshold hands every image buffer back to the system
    // when it is released: measured on the benchmark, 0.2 to 0.3 MB less at
    // the peak, no change in time.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    Options options;
    bool done = false;
    int status = ParseOptions(argc, argv, options, done);
    if (status != kExitOk || done)
        return status;
    if (options.memory != 0)
        kestran::pdf::SetProcessMemoryBudget(static_cast<size_t>(options.memory));
    // Every thread of this process works for the job: a stop reaches all of them.
    kestran::pdf::StopReachesEveryThread();
    return Run(options);
}
