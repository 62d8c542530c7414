#include "support/bomb_fixtures.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <map>
#include <stdexcept>

namespace fixtures {
namespace {

// Compresses `in` with `flush` into `out`.
void DeflateInto(z_stream& zs, const std::string& in, int flush, std::string& out)
{
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    char buffer[1 << 14];
    do {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        const int rc = deflate(&zs, flush);
        if (rc == Z_STREAM_ERROR)
            throw std::runtime_error("deflate failed");
        out.append(buffer, sizeof buffer - zs.avail_out);
    } while (zs.avail_out == 0 || zs.avail_in > 0);
}

void Put32(std::string& s, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        s += static_cast<char>((v >> shift) & 0xff);
}

// One JBIG2 segment of an embedded stream: number, type, no referred-to
// segments, page 1, data length, data.
std::string Jbig2Segment(uint32_t number, uint8_t type, const std::string& data)
{
    std::string s;
    Put32(s, number);
    s += static_cast<char>(type);
    s += '\0';
    s += '\1';
    Put32(s, static_cast<uint32_t>(data.size()));
    return s + data;
}

std::string Jbig2PageInfo(uint32_t width, uint32_t height)
{
    std::string d;
    Put32(d, width);
    Put32(d, height);
    Put32(d, 0);  // resolution unknown
    Put32(d, 0);
    d += '\0';             // flags: white default, OR
    d += std::string(2, '\0');  // not striped
    return d;
}

// An immediate generic region over the whole page, arithmetic coded with
// template 0 and its nominal adaptive pixels, with `data` as its coded bytes.
std::string Jbig2GenericRegion(uint32_t width, uint32_t height, const std::string& data)
{
    std::string d;
    Put32(d, width);
    Put32(d, height);
    Put32(d, 0);
    Put32(d, 0);
    d += '\0';  // combination: OR
    d += '\0';  // MMR off, template 0, no typical prediction
    const signed char at[8] = {3, -1, -3, -1, 2, -2, -2, -2};
    d.append(reinterpret_cast<const char*>(at), sizeof at);
    return d + data;
}

std::string Jbig2ImageDict(int side)
{
    return "/Type /XObject /Subtype /Image /Width " + std::to_string(side) + " /Height " + std::to_string(side) +
           " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /JBIG2Decode";
}

}  // namespace

std::string DeflateZeros(uint64_t count)
{
    // A full flush makes what follows independent of what came before, so
    // the compressed form of one block of zeros can be repeated as is.
    constexpr uint64_t kBlock = uint64_t(1) << 20;
    const std::string zeros(kBlock, '\0');
    std::string out;
    z_stream zs{};
    if (deflateInit(&zs, 9) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    const uint64_t blocks = count / kBlock;
    if (blocks > 0) {
        DeflateInto(zs, zeros, Z_FULL_FLUSH, out);  // the zlib header and the first block
        if (blocks > 1) {
            std::string repeated;
            DeflateInto(zs, zeros, Z_FULL_FLUSH, repeated);
            out.reserve(out.size() + repeated.size() * (blocks - 1) + 64);
            for (uint64_t i = 1; i < blocks; ++i)
                out += repeated;
        }
    }
    // The rest and the final block, still without a reference backwards; the
    // zlib header comes from the first block, or from here when there was none.
    if (blocks == 0) {
        DeflateInto(zs, std::string(static_cast<size_t>(count), '\0'), Z_FINISH, out);
        deflateEnd(&zs);
        return out;
    }
    deflateEnd(&zs);
    z_stream raw{};
    if (deflateInit2(&raw, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    DeflateInto(raw, std::string(static_cast<size_t>(count % kBlock), '\0'), Z_FINISH, out);
    deflateEnd(&raw);
    // Adler-32 of all the zeros.
    uLong adler = adler32(0L, Z_NULL, 0);
    const uLong block_adler = adler32(adler32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(zeros.data()),
                                      static_cast<uInt>(kBlock));
    for (uint64_t i = 0; i < blocks; ++i)
        adler = adler32_combine(adler, block_adler, static_cast<z_off_t>(kBlock));
    const uint64_t rest = count % kBlock;
    const uLong rest_adler =
        adler32(adler32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(rest));
    adler = adler32_combine(adler, rest_adler, static_cast<z_off_t>(rest));
    Put32(out, static_cast<uint32_t>(adler));
    return out;
}

FixturePdf MakeFlateBombPdf(int width, int height, const std::string& colorspace, int components,
                            const std::string& extra)
{
    const uint64_t size = uint64_t(width) * uint64_t(height) * uint64_t(components);
    PdfWriter w;
    std::string dict = "/Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
                       std::to_string(height) + " /ColorSpace " + colorspace +
                       " /BitsPerComponent 8 /Filter /FlateDecode";
    if (!extra.empty())
        dict += " " + extra;
    const int num = w.AddStream(dict, DeflateZeros(size));
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 72, 400, 400));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakeTintFunctionPdf(int side, int operators, int inks)
{
    // Busy work that leaves the stack as it found it (three operators a
    // round), then the inks mapped to four CMYK values.
    std::string program = "{";
    for (int i = 0; i < operators / 3; ++i)
        program += " dup 0.5 mul pop";
    for (int i = inks; i < 4; ++i)
        program += " 0";
    for (int i = 4; i < inks; ++i)
        program += " pop";
    program += " }";
    std::string domain;
    std::string names;
    for (int i = 0; i < inks; ++i) {
        domain += " 0 1";
        names += " /Ink" + std::to_string(i + 1);
    }
    PdfWriter w;
    const int fn = w.AddStream("/FunctionType 4 /Domain [" + domain + " ] /Range [0 1 0 1 0 1 0 1]", program);
    const std::string space = inks == 1 ? "[/Separation /Ink1 /DeviceCMYK " + Ref(fn) + "]"
                                        : "[/DeviceN [" + names + " ] /DeviceCMYK " + Ref(fn) + "]";
    const ImageObject img = FlateImage(side, side, space, inks, 8, 7);
    const int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 72, 400, 400));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakePageMaskPdf(int images, int side, int mask_width, int mask_height)
{
    PdfWriter w;
    std::map<std::string, int> xobjects;
    std::string content;
    for (int i = 0; i < images; ++i) {
        const ImageObject mask = SoftMaskImage(mask_width, mask_height, static_cast<uint32_t>(i + 1));
        const int mask_num = w.AddStream(mask.dict, mask.stream);
        const ImageObject img = FlateImage(side, side, "/DeviceRGB", 3, 8, static_cast<uint32_t>(i + 1), 0,
                                           "/SMask " + Ref(mask_num));
        const std::string name = "Im" + std::to_string(i + 1);
        xobjects[name] = w.AddStream(img.dict, img.stream);
        content += DrawXObject(name, 20 + 45 * (i % 12), 40 + 60 * (i / 12), 40, 56);
    }
    w.AddPage(XObjectResources(xobjects), content);
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakeJbig2RegionBombPdf(int side, int regions)
{
    const auto s = static_cast<uint32_t>(side);
    std::string stream = Jbig2Segment(0, 48, Jbig2PageInfo(s, s));
    for (int i = 0; i < regions; ++i)
        stream += Jbig2Segment(static_cast<uint32_t>(i + 1), 38, Jbig2GenericRegion(s, s, std::string("\x5a\xa5", 2)));
    stream += Jbig2Segment(static_cast<uint32_t>(regions + 1), 49, std::string());
    PdfWriter w;
    const int num = w.AddStream(Jbig2ImageDict(side), stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 72, 400, 400));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakeJbig2OversizePagePdf(int declared, int page_side)
{
    const auto s = static_cast<uint32_t>(page_side);
    std::string stream = Jbig2Segment(0, 48, Jbig2PageInfo(s, s));
    stream += Jbig2Segment(1, 38, Jbig2GenericRegion(s, s, std::string("\x5a\xa5", 2)));
    stream += Jbig2Segment(2, 49, std::string());
    PdfWriter w;
    const ImageObject small = FlateImage(40, 30, "/DeviceRGB", 3, 8);
    const int first = w.AddStream(small.dict, small.stream);
    const int bomb = w.AddStream(Jbig2ImageDict(declared), stream);
    w.AddPage(XObjectResources({{"Im1", first}, {"Im2", bomb}}),
              DrawXObject("Im1", 72, 500, 200, 150) + DrawXObject("Im2", 72, 72, 300, 300));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    ExpectedImage e;
    e.page = 1;
    e.ext = "png";
    e.width = small.width;
    e.height = small.height;
    e.object = first;
    e.stream = small.stream;
    e.what = "small RGB image before the JBIG2 image";
    f.images.push_back(e);
    return f;
}

void WriteSparseDamagedPdf(const std::filesystem::path& path, uint64_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path.string());
    static const char kHeader[] = "%PDF-1.7\n";
    const bool ok = write(fd, kHeader, sizeof kHeader - 1) == static_cast<ssize_t>(sizeof kHeader - 1) &&
                    ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + path.string());
}

}  // namespace fixtures
