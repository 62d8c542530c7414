#include "pdf/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

#include <mupdf/fitz.h>

#include "pdf/stale_temp_files.h"

namespace kestran::pdf {

namespace {

std::string Padded(int value, int width)
{
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// Moves `from` to `to` unless `to` exists. Returns 0, or the errno.
int RenameNoReplace(const std::string& from, const std::string& to)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing
    // name just as well; then the temporary name is dropped.
    if (link(from.c_str(), to.c_str()) != 0)
        return errno;
    unlink(from.c_str());
    return 0;
}

// The temporary files being written, so that a process about to end can
// remove them (DiscardTemporaryFiles). Each writer's PartFile is its own list
// node: listing allocates nothing, and the list is constant-initialised and
// has nothing to tear down, so it stays usable from any thread up to the very
// end of the process, static destructors included.
struct PartFileList {
    std::mutex mutex;
    PartFile* first = nullptr;
    bool discarding = false;  // set once for good: no temporary file is created after it
};
static_assert(std::is_trivially_destructible_v<PartFileList>, "the list must outlive every writer");
PartFileList g_part_files;

// The process's umask, read once: reading it means setting it, and setting
// it while workers create files would give their files the wrong mode.
mode_t ProcessUmask()
{
    static const mode_t mask = [] {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }();
    return mask;
}

// The writer's part of a temporary name (host, pid namespace, pid, start
// time): fixed while the process runs, so each thread works it out once
// instead of for every image (a /proc read and three system calls).
const std::string& OwnTempFileNameStem()
{
    thread_local pid_t for_pid = 0;
    thread_local std::string stem;
    if (for_pid != getpid()) {
        stem = TempFileNameStem(ThisTempFileWriter());
        for_pid = getpid();
    }
    return stem;
}

}  // namespace

// A temporary file from its creation until its writer has renamed or removed
// it. Creating and listing are one step under the list's lock, the same lock
// the discard takes: a file is either listed before the discard, which then
// removes it, or never created at all.
class PartFile {
public:
    // Creates a hidden file in `folder`; Fd() is -1 when it could not be made,
    // with the errno in Error() (ECANCELED once discarding has begun).
    explicit PartFile(const std::string& folder)
        : path_(Join(folder, OwnTempFileNameStem() + "XXXXXX"))
    {
        std::lock_guard<std::mutex> lock(g_part_files.mutex);
        if (g_part_files.discarding) {
            error_ = ECANCELED;
            return;
        }
        fd_ = mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        listed_ = true;
        next_ = g_part_files.first;
        if (next_ != nullptr)
            next_->prev_ = this;
        g_part_files.first = this;
    }
    // Only unlists: the writer closes the descriptor and renames or removes
    // the file before this runs.
    ~PartFile()
    {
        if (!listed_)
            return;
        std::lock_guard<std::mutex> lock(g_part_files.mutex);
        if (prev_ != nullptr)
            prev_->next_ = next_;
        else
            g_part_files.first = next_;
        if (next_ != nullptr)
            next_->prev_ = prev_;
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    int Fd() const { return fd_; }
    int Error() const { return error_; }
    const std::string& Path() const { return path_; }
    PartFile* Next() const { return next_; }

private:
    std::string path_;  // the mkostemp pattern, then the file's path
    int fd_ = -1;
    int error_ = 0;
    bool listed_ = false;
    PartFile* prev_ = nullptr;
    PartFile* next_ = nullptr;
};

namespace {

bool Discarding()
{
    std::lock_guard<std::mutex> lock(g_part_files.mutex);
    return g_part_files.discarding;
}

bool WriteAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int PageDigits(long long page_count) { return std::max(3, static_cast<int>(std::to_string(page_count).size())); }

int ImageDigits(long long images_on_page)
{
    return std::max(2, static_cast<int>(std::to_string(images_on_page).size()));
}

std::string ImageFileName(const std::string& stem, int page, int image, const std::string& extension, int copy,
                          NameWidths widths)
{
    std::string suffix = "-" + Padded(page, widths.page) + "-" + Padded(image, widths.image);
    if (copy > 1)
        suffix += " (" + std::to_string(copy) + ")";
    suffix += "." + extension;
    // File systems take names of at most 255 bytes: a very long source name is
    // shortened (at a character boundary) rather than failing the whole file.
    const size_t kMaxName = 255;
    std::string head = stem;
    if (head.size() + suffix.size() > kMaxName) {
        size_t keep = suffix.size() < kMaxName ? kMaxName - suffix.size() : 0;
        while (keep > 0 && (static_cast<unsigned char>(head[keep]) & 0xC0) == 0x80)
            --keep;  // do not cut a UTF-8 sequence
        head.resize(keep);
    }
    return head + suffix;
}

std::string SourceStem(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

OutputStatus WriteImageFile(const std::string& folder, const std::string& stem, int page, int image,
                            const std::string& extension, const uint8_t* data, size_t size, std::string* written_name)
{
    return WriteImageFile(folder, stem, page, image, extension, std::vector<ByteSpan>{{data, size}}, written_name);
}

OutputStatus WriteImageFile(const std::string& folder, const std::string& stem, int page, int image,
                            const std::string& extension, const std::vector<ByteSpan>& parts,
                            std::string* written_name)
{
    return WriteImageFileStreamed(
        folder, stem, page, image, extension,
        [&](const ByteSink& sink) {
            for (const ByteSpan& part : parts)
                if (!sink(part.data, part.size))
                    return false;
            return true;
        },
        written_name);
}

OutputStatus WriteImageFileStreamed(const std::string& folder, const std::string& stem, int page, int image,
                                    const std::string& extension, const ByteProducer& produce,
                                    std::string* written_name)
{
    PendingImageFile file;
    const OutputStatus written = file.Write(folder, produce);
    if (written != OutputStatus::Ok)
        return written;
    return file.Publish(stem, page, image, extension, written_name);
}

PendingImageFile::PendingImageFile() = default;

PendingImageFile::~PendingImageFile() { Remove(); }

PendingImageFile::PendingImageFile(PendingImageFile&& other) noexcept = default;

PendingImageFile& PendingImageFile::operator=(PendingImageFile&& other) noexcept
{
    if (this != &other) {
        Remove();
        part_ = std::move(other.part_);
        folder_ = std::move(other.folder_);
        size_ = other.size_;
        sha256_ = std::move(other.sha256_);
    }
    return *this;
}

void PendingImageFile::Remove()
{
    if (part_ == nullptr)
        return;
    if (part_->Fd() >= 0)
        unlink(part_->Path().c_str());
    part_.reset();
}

OutputStatus PendingImageFile::Write(const std::string& folder, const ByteProducer& produce, bool sha256)
{
    Remove();
    if (!Discarding())
        RemoveStaleTempFilesOnce(folder);
    folder_ = folder;
    part_ = std::make_unique<PartFile>(folder);
    const int fd = part_->Fd();
    if (fd < 0) {
        const int err = part_->Error();
        part_.reset();
        if (err == ECANCELED)
            return OutputStatus::Abandoned;
        return err == ENOSPC || err == EDQUOT || err == EIO ? OutputStatus::WriteFailed
                                                            : OutputStatus::FolderUnusable;
    }
    bool write_ok = true;
    bool produced = false;
    fz_sha256 sha;
    fz_sha256_init(&sha);
    size_ = 0;
    sha256_.clear();
    try {
        produced = produce([&](const uint8_t* data, size_t size) {
            write_ok = write_ok && WriteAll(fd, data, size);
            if (write_ok) {
                if (sha256)
                    fz_sha256_update(&sha, data, size);
                size_ += size;
            }
            return write_ok;
        });
    } catch (...) {
        close(fd);
        Remove();
        throw;
    }
    // Image files are readable like any file the user creates (mkstemp makes 0600).
    fchmod(fd, 0666 & ~ProcessUmask());
    if (close(fd) != 0)
        write_ok = false;
    if (!write_ok || !produced) {
        Remove();
        return write_ok ? OutputStatus::Abandoned : OutputStatus::WriteFailed;
    }
    if (sha256) {
        unsigned char digest[32];
        fz_sha256_final(&sha, digest);
        static const char kHex[] = "0123456789abcdef";
        for (unsigned char byte : digest) {
            sha256_ += kHex[byte >> 4];
            sha256_ += kHex[byte & 15];
        }
    }
    return OutputStatus::Ok;
}

OutputStatus PendingImageFile::Publish(const std::string& stem, int page, int image, const std::string& extension,
                                       std::string* written_name, NameWidths widths, bool* already_there)
{
    if (already_there != nullptr)
        *already_there = false;
    if (part_ == nullptr || part_->Fd() < 0)
        return OutputStatus::Abandoned;
    const std::string& temp_path = part_->Path();
    for (int copy = 1; copy < 100000; ++copy) {
        std::string name = ImageFileName(stem, page, image, extension, copy, widths);
        const std::string path = Join(folder_, name);
        int err = RenameNoReplace(temp_path, path);
        if (err == EEXIST && SameFileContent(path, temp_path)) {
            Remove();
            if (written_name != nullptr)
                *written_name = name;
            if (already_there != nullptr)
                *already_there = true;
            return OutputStatus::Ok;
        }
        if (err == 0) {
            part_.reset();  // renamed: nothing to remove any more
            if (written_name != nullptr)
                *written_name = name;
            return OutputStatus::Ok;
        }
        if (err != EEXIST) {
            Remove();
            // The discard removed the temporary file under the writer's feet:
            // the image was given up, the folder is fine.
            if (Discarding())
                return OutputStatus::Abandoned;
            return err == ENOSPC || err == EDQUOT || err == EIO ? OutputStatus::WriteFailed
                                                                : OutputStatus::FolderUnusable;
        }
    }
    Remove();
    return OutputStatus::FolderUnusable;
}

bool SameFileContent(const std::string& a, const std::string& b)
{
    struct Fd {
        int fd;
        ~Fd()
        {
            if (fd >= 0)
                close(fd);
        }
    } fa{open(a.c_str(), O_RDONLY | O_CLOEXEC)}, fb{open(b.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat sa {}, sb {};
    if (fa.fd < 0 || fb.fd < 0 || fstat(fa.fd, &sa) != 0 || fstat(fb.fd, &sb) != 0 || !S_ISREG(sa.st_mode) ||
        !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
        return false;
    // Whole blocks at a time; a short read at a file's end is taken as it comes.
    std::vector<uint8_t> ba(size_t(1) << 16), bb(size_t(1) << 16);
    for (;;) {
        const ssize_t na = read(fa.fd, ba.data(), ba.size());
        if (na < 0 && errno == EINTR)
            continue;
        if (na <= 0)
            return na == 0 && read(fb.fd, bb.data(), 1) == 0;
        size_t got = 0;
        while (got < static_cast<size_t>(na)) {
            const ssize_t nb = read(fb.fd, bb.data() + got, static_cast<size_t>(na) - got);
            if (nb < 0 && errno == EINTR)
                continue;
            if (nb <= 0)
                return false;
            got += static_cast<size_t>(nb);
        }
        if (std::memcmp(ba.data(), bb.data(), got) != 0)
            return false;
    }
}

void DiscardTemporaryFiles()
{
    std::lock_guard<std::mutex> lock(g_part_files.mutex);
    g_part_files.discarding = true;
    for (const PartFile* part = g_part_files.first; part != nullptr; part = part->Next())
        unlink(part->Path().c_str());
}

}  // namespace kestran::pdf
