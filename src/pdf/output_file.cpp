#include "pdf/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace kestran::pdf {

const char kTempFilePrefix[] = ".kestran-part-";

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

std::string ImageFileName(const std::string& stem, int page, int image, const std::string& extension, int copy)
{
    std::string suffix = "-" + Padded(page, 3) + "-" + Padded(image, 2);
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

bool IsWritableFolder(const std::string& folder)
{
    struct stat st {};
    if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return access(folder.c_str(), W_OK | X_OK) == 0;
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
    std::string pattern = Join(folder, std::string(kTempFilePrefix) + "XXXXXX");
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno == ENOSPC || errno == EDQUOT || errno == EIO ? OutputStatus::WriteFailed
                                                                   : OutputStatus::FolderUnusable;
    std::string temp_path(temp.data());
    bool write_ok = true;
    bool produced = false;
    try {
        produced = produce([&](const uint8_t* data, size_t size) {
            write_ok = write_ok && WriteAll(fd, data, size);
            return write_ok;
        });
    } catch (...) {
        close(fd);
        unlink(temp_path.c_str());
        throw;
    }
    // Image files are readable like any file the user creates (mkstemp makes 0600).
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    if (close(fd) != 0)
        write_ok = false;
    if (!write_ok || !produced) {
        unlink(temp_path.c_str());
        return write_ok ? OutputStatus::Abandoned : OutputStatus::WriteFailed;
    }
    for (int copy = 1; copy < 100000; ++copy) {
        std::string name = ImageFileName(stem, page, image, extension, copy);
        int err = RenameNoReplace(temp_path, Join(folder, name));
        if (err == 0) {
            if (written_name != nullptr)
                *written_name = name;
            return OutputStatus::Ok;
        }
        if (err != EEXIST) {
            unlink(temp_path.c_str());
            return err == ENOSPC || err == EDQUOT || err == EIO ? OutputStatus::WriteFailed
                                                                : OutputStatus::FolderUnusable;
        }
    }
    unlink(temp_path.c_str());
    return OutputStatus::FolderUnusable;
}

}  // namespace kestran::pdf
