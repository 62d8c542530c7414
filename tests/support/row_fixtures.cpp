#include "support/row_fixtures.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tiffio.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fixtures {

void TestPageRow(int width, int height, int y, std::vector<uint8_t>& black)
{
    black.assign((static_cast<size_t>(width) + 7) / 8, 0);
    auto set = [&](int x) { black[static_cast<size_t>(x) >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7)); };
    const int frame = std::max(2, width / 500);
    if (y < frame || y >= height - frame) {
        for (int x = 0; x < width; ++x)
            set(x);
        return;
    }
    for (int x = 0; x < frame; ++x) {
        set(x);
        set(width - 1 - x);
    }
    if (y % 97 == 0)  // ruled line
        for (int x = frame; x < width - frame; ++x)
            set(x);
    const int line = y % 41;
    if (line >= 10 && line < 24) {  // a line of "text": marks of varying width
        for (int x = 3 * frame; x < width - 3 * frame; ++x) {
            const int word = (x / 7 + y / 41 * 13) % 23;
            if (word < 15 && ((x * 31 + y * 17) / 5) % 3 != 0)
                set(x);
        }
    }
    const long diagonal = static_cast<long>(y) * width / height;
    if (diagonal > 0 && diagonal < width - 1)
        set(static_cast<int>(diagonal));
}

std::string EncodeG4(int width, int height, const BilevelRow& row)
{
    char name[] = "/tmp/kestran-g4-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return std::string();
    close(fd);
    std::string out;
    TIFFSetWarningHandler(nullptr);
    if (TIFF* tif = TIFFOpen(name, "w")) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));  // one strip: the PDF stream
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        std::vector<uint8_t> bits;
        bool ok = true;
        for (int y = 0; ok && y < height; ++y) {
            row(y, bits);
            ok = TIFFWriteScanline(tif, bits.data(), static_cast<uint32_t>(y), 0) == 1;
        }
        TIFFClose(tif);
        if (ok)
            if (TIFF* in = TIFFOpen(name, "r")) {
                const tmsize_t size = static_cast<tmsize_t>(TIFFRawStripSize(in, 0));
                if (size > 0) {
                    out.resize(static_cast<size_t>(size));
                    if (TIFFReadRawStrip(in, 0, out.data(), size) != size)
                        out.clear();
                }
                TIFFClose(in);
            }
    }
    std::remove(name);
    return out;
}

std::string EncodeLzw(const std::string& data)
{
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    auto put = [&](unsigned code) {
        acc = (acc << 9) | code;
        bits += 9;
        while (bits >= 8) {
            out.push_back(static_cast<char>((acc >> (bits - 8)) & 0xff));
            bits -= 8;
        }
    };
    // Every literal adds a table entry in the decoder; a clear code before
    // the table reaches 511 keeps every code at nine bits.
    put(256);
    int since_clear = 0;
    for (unsigned char c : data) {
        if (since_clear == 250) {
            put(256);
            since_clear = 0;
        }
        put(c);
        ++since_clear;
    }
    put(257);
    if (bits > 0)
        out.push_back(static_cast<char>((acc << (8 - bits)) & 0xff));
    return out;
}

std::string EncodeRunLength(const std::string& data)
{
    std::string out;
    size_t i = 0;
    while (i < data.size()) {
        size_t run = 1;
        while (i + run < data.size() && run < 128 && data[i + run] == data[i])
            ++run;
        if (run >= 3) {
            out.push_back(static_cast<char>(257 - run));
            out.push_back(data[i]);
            i += run;
            continue;
        }
        size_t lit = 0;
        while (i + lit < data.size() && lit < 128) {
            if (i + lit + 2 < data.size() && data[i + lit] == data[i + lit + 1] && data[i + lit] == data[i + lit + 2])
                break;
            ++lit;
        }
        out.push_back(static_cast<char>(lit - 1));
        out.append(data, i, lit);
        i += lit;
    }
    out.push_back(static_cast<char>(128));
    return out;
}

long PeakRssOfChild(const std::function<int()>& work, int* status)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        _exit(work());
    int wstatus = 0;
    struct rusage usage {};
    if (wait4(pid, &wstatus, 0, &usage) != pid)
        return -1;
    if (status != nullptr)
        *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return usage.ru_maxrss;
}

struct PngRowReader::Inflater {
    z_stream z{};
    std::string idat;     // the IDAT chunk being consumed
    bool ended = false;
};

PngRowReader::PngRowReader(const std::string& path)
{
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_.get()) {
        Fail("cannot open " + path);
        return;
    }
    char sig[8];
    if (std::fread(sig, 1, 8, file_.get()) != 8 || std::memcmp(sig, "\x89PNG\r\n\x1a\n", 8) != 0) {
        Fail("no PNG signature");
        return;
    }
    inflater_ = std::make_unique<Inflater>();
    if (inflateInit(&inflater_->z) != Z_OK) {
        Fail("inflateInit");
        return;
    }
    std::string type, data;
    while (ReadChunk(type, data)) {
        if (type == "IHDR" && data.size() == 13) {
            auto be32 = [&](size_t i) {
                return (uint32_t(uint8_t(data[i])) << 24) | (uint32_t(uint8_t(data[i + 1])) << 16) |
                       (uint32_t(uint8_t(data[i + 2])) << 8) | uint8_t(data[i + 3]);
            };
            width_ = be32(0);
            height_ = be32(4);
            bit_depth_ = uint8_t(data[8]);
            color_type_ = uint8_t(data[9]);
            if (data[12] != 0) {
                Fail("interlaced");
                return;
            }
            const int channels = color_type_ == 2 ? 3 : color_type_ == 4 ? 2 : color_type_ == 6 ? 4 : 1;
            row_bytes_ = (static_cast<size_t>(width_) * channels * bit_depth_ + 7) / 8;
            bpp_ = std::max<size_t>(1, static_cast<size_t>(channels) * bit_depth_ / 8);
        } else if (type == "PLTE") {
            palette_.assign(data.begin(), data.end());
        } else if (type == "tRNS") {
            trns_.assign(data.begin(), data.end());
        } else if (type == "IDAT") {
            inflater_->idat = std::move(data);
            previous_.assign(row_bytes_, 0);
            ok_ = width_ > 0;
            return;
        }
    }
    Fail("no image data");
}

PngRowReader::~PngRowReader()
{
    if (inflater_)
        inflateEnd(&inflater_->z);
}

bool PngRowReader::Fail(const std::string& why)
{
    ok_ = false;
    if (error_.empty())
        error_ = why;
    return false;
}

bool PngRowReader::ReadChunk(std::string& type, std::string& data)
{
    uint8_t head[8];
    if (std::fread(head, 1, 8, file_.get()) != 8)
        return false;
    const size_t length = (size_t(head[0]) << 24) | (size_t(head[1]) << 16) | (size_t(head[2]) << 8) | head[3];
    type.assign(reinterpret_cast<const char*>(head + 4), 4);
    data.resize(length);
    uint8_t crc[4];
    return (length == 0 || std::fread(data.data(), 1, length, file_.get()) == length) && std::fread(crc, 1, 4, file_.get()) == 4;
}

bool PngRowReader::NextRow(std::vector<uint8_t>& row)
{
    if (!ok_ || next_row_ >= height_)
        return false;
    std::vector<uint8_t> filtered(row_bytes_ + 1);
    z_stream& z = inflater_->z;
    z.next_out = filtered.data();
    z.avail_out = static_cast<uInt>(filtered.size());
    while (z.avail_out > 0) {
        if (z.avail_in == 0) {
            // Each IDAT is handed to zlib whole; the next one is read when it is used up.
            std::string& idat = inflater_->idat;
            if (idat.empty() || z.next_in == reinterpret_cast<Bytef*>(idat.data()) + idat.size()) {
                std::string type, data;
                do {
                    if (!ReadChunk(type, data))
                        return Fail("data ends before the last row");
                } while (type != "IDAT");
                idat = std::move(data);
            }
            z.next_in = reinterpret_cast<Bytef*>(idat.data());
            z.avail_in = static_cast<uInt>(idat.size());
        }
        const int r = inflate(&z, Z_NO_FLUSH);
        if (r == Z_STREAM_END && z.avail_out > 0)
            return Fail("zlib stream ends before the last row");
        if (r != Z_OK && r != Z_STREAM_END)
            return Fail("damaged zlib stream");
    }
    const uint8_t filter = filtered[0];
    row.assign(filtered.begin() + 1, filtered.end());
    for (size_t i = 0; i < row_bytes_; ++i) {
        const int a = i >= bpp_ ? row[i - bpp_] : 0;
        const int b = previous_[i];
        const int c = i >= bpp_ ? previous_[i - bpp_] : 0;
        int add = 0;
        switch (filter) {
        case 0: break;
        case 1: add = a; break;
        case 2: add = b; break;
        case 3: add = (a + b) / 2; break;
        case 4: {
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            add = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            break;
        }
        default: return Fail("bad filter byte");
        }
        row[i] = static_cast<uint8_t>(row[i] + add);
    }
    previous_ = row;
    ++next_row_;
    return true;
}

}  // namespace fixtures
