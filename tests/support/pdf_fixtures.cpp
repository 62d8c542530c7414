#include "support/pdf_fixtures.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <jpeglib.h>
#include <lcms2.h>
#include <tiffio.h>
#include <openjpeg-2.5/openjpeg.h>
#include <png.h>
#include <zlib.h>

#include "pdf/pdf_service.h"

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

namespace fixtures {

namespace {

std::string Num(double v) {
    char buf[64];
    if (v == std::floor(v) && std::fabs(v) < 1e12)
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    else
        std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

// Small, fast, deterministic hash for the noise in the sample patterns.
uint32_t Hash(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h = a * 0x9e3779b1u ^ (b + 0x7f4a7c15u) * 0x85ebca6bu ^ (c + 0x165667b1u) * 0xc2b2ae35u;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    h *= 0x297a2d39u;
    h ^= h >> 15;
    return h;
}

class BitPacker {
public:
    BitPacker(std::string* out, int bpc) : out_(out), bpc_(bpc) {}
    void Put(uint32_t v) {
        if (bpc_ == 8) {
            out_->push_back(static_cast<char>(v));
            return;
        }
        if (bpc_ == 16) {
            out_->push_back(static_cast<char>(v >> 8));
            out_->push_back(static_cast<char>(v & 0xff));
            return;
        }
        acc_ = (acc_ << bpc_) | (v & ((1u << bpc_) - 1));
        bits_ += bpc_;
        if (bits_ == 8) {
            out_->push_back(static_cast<char>(acc_));
            acc_ = 0;
            bits_ = 0;
        }
    }
    void EndRow() {
        if (bits_ > 0) {
            out_->push_back(static_cast<char>(acc_ << (8 - bits_)));
            acc_ = 0;
            bits_ = 0;
        }
    }

private:
    std::string* out_;
    int bpc_;
    uint32_t acc_ = 0;
    int bits_ = 0;
};

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2 + bytes.size() / 32);
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
        if (i % 32 == 31)
            s.push_back('\n');
    }
    return s;
}

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

struct OpjMemory {
    std::string data;
    size_t pos = 0;
};

OPJ_SIZE_T OpjWrite(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* m = static_cast<OpjMemory*>(user);
    if (m->pos + n > m->data.size())
        m->data.resize(m->pos + n);
    std::memcpy(&m->data[m->pos], buffer, n);
    m->pos += n;
    return n;
}

OPJ_OFF_T OpjSkip(OPJ_OFF_T n, void* user) {
    auto* m = static_cast<OpjMemory*>(user);
    m->pos += static_cast<size_t>(n);
    if (m->pos > m->data.size())
        m->data.resize(m->pos);
    return n;
}

OPJ_BOOL OpjSeek(OPJ_OFF_T n, void* user) {
    auto* m = static_cast<OpjMemory*>(user);
    m->pos = static_cast<size_t>(n);
    if (m->pos > m->data.size())
        m->data.resize(m->pos);
    return OPJ_TRUE;
}

// `count` components of `width` x `height` samples on the full grid.
std::vector<opj_image_cmptparm_t> ComponentParams(int width, int height, int count, int precision, bool is_signed) {
    std::vector<opj_image_cmptparm_t> parms(count);
    for (auto& p : parms) {
        std::memset(&p, 0, sizeof p);
        p.dx = p.dy = 1;
        p.w = width;
        p.h = height;
        p.prec = precision;
        p.sgnd = is_signed ? 1 : 0;
    }
    return parms;
}

// Encodes `image` with `params`; `encode` (when set) writes the tiles instead
// of opj_encode.
std::string CompressOpj(opj_image_t* image, opj_cparameters_t& params, OPJ_CODEC_FORMAT format,
                        const std::function<bool(opj_codec_t*, opj_stream_t*)>& encode = nullptr) {
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_compress(format), opj_destroy_codec);
    if (!codec || !opj_setup_encoder(codec.get(), &params, image))
        throw std::runtime_error("EncodeJp2: encoder set-up failed");
    // Large images (the benchmark's) take seconds per core; the output does not
    // depend on the thread count.
    if (static_cast<long long>(image->x1) * image->y1 > (1 << 22))
        opj_codec_set_threads(codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    OpjMemory mem;
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE),
                                                                   opj_stream_destroy);
    opj_stream_set_user_data(stream.get(), &mem, nullptr);
    opj_stream_set_write_function(stream.get(), OpjWrite);
    opj_stream_set_skip_function(stream.get(), OpjSkip);
    opj_stream_set_seek_function(stream.get(), OpjSeek);
    if (!opj_start_compress(codec.get(), image, stream.get()) ||
        !(encode ? encode(codec.get(), stream.get()) : opj_encode(codec.get(), stream.get())) ||
        !opj_end_compress(codec.get(), stream.get()))
        throw std::runtime_error("EncodeJp2: encoding failed");
    stream.reset();
    return mem.data;
}

struct ContextDeleter {
    void operator()(fz_context* ctx) const { fz_drop_context(ctx); }
};
using MuContext = std::unique_ptr<fz_context, ContextDeleter>;

ImageObject MakeImage(int width, int height, const std::string& dict, const std::string& stream) {
    ImageObject img;
    img.width = width;
    img.height = height;
    img.dict = dict;
    img.stream = stream;
    return img;
}

std::string ImageDict(int width, int height, const std::string& colorspace, int bpc, const std::string& filter) {
    std::string d = "/Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
                    std::to_string(height);
    if (!colorspace.empty())
        d += " /ColorSpace " + colorspace;
    d += " /BitsPerComponent " + std::to_string(bpc);
    if (!filter.empty())
        d += " /Filter " + filter;
    return d;
}

ExpectedImage Expect(int page, const std::string& ext, const ImageObject& img, int object, const std::string& what) {
    ExpectedImage e;
    e.page = page;
    e.ext = ext;
    e.width = img.width;
    e.height = img.height;
    e.object = object;
    e.stream = img.stream;
    e.what = what;
    return e;
}

// One page drawing `img` once, scaled to a visible size.
FixturePdf SingleImagePdf(const ImageObject& img, const std::string& ext, const std::string& what) {
    PdfWriter w;
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 300, 300.0 * img.height / img.width));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, ext, img, num, what));
    return f;
}

}  // namespace

// ---------------------------------------------------------------------------
// Samples and encoders

std::string MakeSamples(int width, int height, int components, int bpc, uint32_t seed) {
    std::string out;
    out.reserve(static_cast<size_t>((width * components * bpc + 7) / 8) * height);
    BitPacker packer(&out, bpc);
    const uint32_t maxval = bpc == 16 ? 65535u : (1u << bpc) - 1u;
    const double phase = seed * 0.7;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < components; ++c) {
                double f = 0.5 + 0.35 * std::sin(x * 0.19 * (c + 1) + y * 0.07 + phase) *
                                     std::cos(y * 0.13 - c * 0.9 + phase * 0.3) +
                           0.15 * ((x + y * 3 + c * 5 + static_cast<int>(seed)) % 17) / 17.0;
                f = std::min(1.0, std::max(0.0, f));
                uint32_t v = static_cast<uint32_t>(std::lround(f * maxval));
                if (bpc == 16)  // make the low byte carry information a cut to 8 bits would lose
                    v = (v & 0xff00u) | (Hash(x, y, c + seed) & 0xffu);
                packer.Put(v);
            }
        }
        packer.EndRow();
    }
    return out;
}

std::string MakePhotoSamples(int width, int height, int components, uint32_t seed) {
    std::string out(static_cast<size_t>(width) * height * components, '\0');
    const double cx = width * (0.3 + 0.4 * (seed % 7) / 7.0);
    const double cy = height * (0.3 + 0.4 * (seed % 5) / 5.0);
    const double r2 = 0.08 * (double(width) * width + double(height) * height);
    size_t i = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double dx = x - cx, dy = y - cy;
            double blob = std::exp(-(dx * dx + dy * dy) / r2);
            double sky = double(y) / height;
            for (int c = 0; c < components; ++c) {
                double f = 0.25 + 0.5 * blob * (0.6 + 0.4 * std::sin(c * 1.7 + seed)) + 0.2 * sky * (c == 2 ? 1 : 0.5) +
                           0.05 * std::sin(x * 0.05 + c) * std::cos(y * 0.031);
                int grain = static_cast<int>(Hash(x, y, seed * 4 + c) % 13) - 6;
                int v = static_cast<int>(f * 255) + grain;
                out[i++] = static_cast<char>(std::min(255, std::max(0, v)));
            }
        }
    }
    return out;
}

std::string MakeScanBits(int width, int height, uint32_t seed) {
    std::string out;
    const int row_bytes = (width + 7) / 8;
    out.reserve(static_cast<size_t>(row_bytes) * height);
    BitPacker packer(&out, 1);
    const int margin = width / 10;
    const int line_h = std::max(8, height / 60);
    for (int y = 0; y < height; ++y) {
        int line = y / line_h;
        int in_line = y % line_h;
        bool text_row = y > height / 12 && y < height - height / 12 && in_line > line_h / 4 &&
                        in_line < line_h - line_h / 4 && (Hash(line, seed, 7) % 9) != 0;
        int line_end = width - margin - static_cast<int>(Hash(line, seed, 3) % (width / 4 + 1));
        for (int x = 0; x < width; ++x) {
            bool ink = false;
            if (text_row && x > margin && x < line_end) {
                int word = (x - margin) / std::max(6, line_h * 3);
                int in_word = (x - margin) % std::max(6, line_h * 3);
                bool gap = in_word > std::max(6, line_h * 3) - line_h / 2 || (Hash(word, line, seed) % 7) == 0;
                ink = !gap && (Hash(x / 2, y / 2, seed + line) % 3) != 0;
            }
            packer.Put(ink ? 0 : 1);
        }
        packer.EndRow();
    }
    return out;
}

std::string EncodeJpeg(int width, int height, int components, const std::string& samples, bool adobe_marker,
                       int quality, bool progressive) {
    if (samples.size() < static_cast<size_t>(width) * height * components)
        throw std::invalid_argument("EncodeJpeg: too few samples");
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegErrorExit;
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(mem);
        throw std::runtime_error("EncodeJpeg: libjpeg failed");
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (components == 4) {
        jpeg_set_colorspace(&cinfo, JCS_CMYK);
        cinfo.write_Adobe_marker = adobe_marker ? TRUE : FALSE;
        cinfo.write_JFIF_header = FALSE;
    } else if (adobe_marker) {
        cinfo.write_Adobe_marker = TRUE;
    }
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = static_cast<size_t>(width) * components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<char*>(samples.data()) + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string out(reinterpret_cast<char*>(mem), mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

std::string EncodeJp2(int width, int height, int components, const std::string& samples, float compression_ratio,
                      bool last_is_alpha) {
    if (components < 1 || components > 4)
        throw std::invalid_argument("EncodeJp2: 1 to 4 components");
    // 2 and 4 components: gray or RGB followed by an alpha channel.
    const bool alpha = (components == 2 || components == 4) && last_is_alpha;
    const bool cmyk = components == 4 && !alpha;
    std::vector<opj_image_cmptparm_t> parms = ComponentParams(width, height, components, 8, false);
    opj_image_t* image = opj_image_create(components, parms.data(),
                                          cmyk ? OPJ_CLRSPC_CMYK : components <= 2 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
    if (!image)
        throw std::runtime_error("EncodeJp2: opj_image_create failed");
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image_guard(image, opj_image_destroy);
    if (alpha)
        image->comps[components - 1].alpha = 1;
    image->x0 = image->y0 = 0;
    image->x1 = width;
    image->y1 = height;
    for (int i = 0; i < width * height; ++i)
        for (int c = 0; c < components; ++c)
            image->comps[c].data[i] = static_cast<unsigned char>(samples[static_cast<size_t>(i) * components + c]);

    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = compression_ratio > 0 ? compression_ratio : 0;  // 0: lossless
    params.cp_disto_alloc = 1;
    params.irreversible = compression_ratio > 0 ? 1 : 0;
    params.tcp_mct = components >= 3 && !cmyk ? 1 : 0;
    int res = 6;
    while (res > 1 && (std::min(width, height) >> (res - 1)) == 0)
        --res;
    params.numresolution = res;

    return CompressOpj(image, params, OPJ_CODEC_JP2);
}

namespace {

// The sample of a smooth pattern (a few bit-planes per code-block, so that
// large images encode and decode quickly) at `bits`.
int32_t SmoothSample(int x, int y, int c, int bits, bool is_signed, uint32_t seed) {
    const uint32_t top = (uint32_t(1) << bits) - 1;
    const uint32_t v = (uint32_t(x) * (3 + c) + uint32_t(y) * (5 + 2 * c) + seed * 977 + (Hash(x / 64, y / 64, seed + c) & 0xFF)) & top;
    return is_signed ? static_cast<int32_t>(v) - static_cast<int32_t>(uint32_t(1) << (bits - 1)) : static_cast<int32_t>(v);
}

}  // namespace

std::string EncodeJp2Layout(int width, int height, const Jp2Layout& layout, uint32_t seed) {
    const int n = layout.components;
    std::vector<opj_image_cmptparm_t> parms = ComponentParams(width, height, n, layout.precision, layout.is_signed);
    const OPJ_COLOR_SPACE space = n == 4 ? OPJ_CLRSPC_CMYK : n == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB;
    // Tiled images are written tile by tile: no whole image in memory.
    const bool tiled = layout.tile > 0;
    opj_image_t* image = tiled ? opj_image_tile_create(n, parms.data(), space) : opj_image_create(n, parms.data(), space);
    if (!image)
        throw std::runtime_error("EncodeJp2Layout: opj_image_create failed");
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image_guard(image, opj_image_destroy);
    image->x1 = width;
    image->y1 = height;
    auto sample = [&](int x, int y, int c) {
        return layout.flat ? 0 : SmoothSample(x, y, c, layout.precision, layout.is_signed, seed);
    };
    for (int c = 0; c < n && !tiled; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                image->comps[c].data[size_t(y) * width + x] = sample(x, y, c);
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = layout.compression_ratio;
    params.cp_disto_alloc = 1;
    params.irreversible = layout.compression_ratio > 0 ? 1 : 0;
    params.tcp_mct = n == 3 ? 1 : 0;
    int res = 6;
    const int side = layout.tile > 0 ? std::min(layout.tile, std::min(width, height)) : std::min(width, height);
    while (res > 1 && (side >> (res - 1)) == 0)
        --res;
    params.numresolution = res;
    if (layout.tile > 0) {
        params.tile_size_on = OPJ_TRUE;
        params.cp_tdx = layout.tile;
        params.cp_tdy = layout.tile;
    }
    auto write_tiles = [&](opj_codec_t* codec, opj_stream_t* stream) {
        const int across = (width + layout.tile - 1) / layout.tile;
        const int down = (height + layout.tile - 1) / layout.tile;
        const size_t bytes = layout.precision <= 8 ? 1 : 2;
        std::vector<uint8_t> data;
        for (int t = 0; t < across * down; ++t) {
            const int x0 = (t % across) * layout.tile, y0 = (t / across) * layout.tile;
            const int w = std::min(layout.tile, width - x0), h = std::min(layout.tile, height - y0);
            data.assign(bytes * w * h * n, 0);
            size_t i = 0;
            for (int c = 0; c < n; ++c)
                for (int y = y0; y < y0 + h; ++y)
                    for (int x = x0; x < x0 + w; ++x, ++i) {
                        const int32_t v = sample(x, y, c);
                        if (bytes == 1)
                            data[i] = static_cast<uint8_t>(v);
                        else
                            std::memcpy(data.data() + 2 * i, &v, 2);  // little-endian machines
                    }
            if (!opj_write_tile(codec, t, data.data(), static_cast<OPJ_UINT32>(data.size()), stream))
                return false;
        }
        return true;
    };
    return CompressOpj(image, params, layout.codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2,
                       tiled ? std::function<bool(opj_codec_t*, opj_stream_t*)>(write_tiles) : nullptr);
}

std::string MakeJpxBesideJpegPdf(const std::string& jp2, const std::string& dict) {
    PdfWriter w;
    const int jpx = w.AddStream("/Type /XObject /Subtype /Image /BitsPerComponent 8 /Filter /JPXDecode " + dict, jp2);
    const int jpeg = w.AddStream("/Type /XObject /Subtype /Image /Width 32 /Height 24 /ColorSpace /DeviceRGB "
                                 "/BitsPerComponent 8 /Filter /DCTDecode",
                                 EncodeJpeg(32, 24, 3, MakeSamples(32, 24, 3, 8, 4)));
    w.AddPage(XObjectResources({{"Im1", jpx}, {"Im2", jpeg}}),
              DrawXObject("Im1", 0, 0, 300, 300) + DrawXObject("Im2", 300, 300, 32, 24));
    return w.Build();
}

std::string WithJp2DeclaredSize(const std::string& jp2, uint32_t width, uint32_t height) {
    const size_t soc = jp2.find(std::string("\xFF\x4F\xFF\x51", 4));
    if (soc == std::string::npos)
        throw std::invalid_argument("WithJp2DeclaredSize: no codestream");
    std::string out = jp2;
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    // SIZ after SOC: marker, Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz.
    // The JP2 image header box says the same: height, then width.
    const size_t ihdr = jp2.find("ihdr");
    if (ihdr != std::string::npos && ihdr < soc) {
        put32(ihdr + 4, height);
        put32(ihdr + 8, width);
    }
    const size_t siz = soc + 4 + 2 + 2;
    put32(siz, width);
    put32(siz + 4, height);
    put32(siz + 8, 0);
    put32(siz + 12, 0);
    put32(siz + 16, width);
    put32(siz + 20, height);
    return out;
}


std::string Deflate(const std::string& data, int level) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()), data.size(),
                  level) != Z_OK)
        throw std::runtime_error("Deflate failed");
    out.resize(size);
    return out;
}

std::string Inflate(const std::string& data) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK)
        throw std::runtime_error("inflateInit failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[65536];
    int rc;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(buf);
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&zs);
            throw std::runtime_error("Inflate: damaged data");
        }
        out.append(buf, sizeof buf - zs.avail_out);
    } while (rc != Z_STREAM_END);
    inflateEnd(&zs);
    return out;
}

std::string PngPredict(const std::string& samples, int width, int height, int components, int bpc, int filter) {
    const size_t row_bytes = (static_cast<size_t>(width) * components * bpc + 7) / 8;
    const size_t bpp = std::max<size_t>(1, static_cast<size_t>(components) * bpc / 8);
    std::string out;
    out.reserve((row_bytes + 1) * height);
    std::vector<uint8_t> prior(row_bytes, 0);
    std::string row;
    row.reserve(row_bytes);
    auto filter_row = [&](const uint8_t* raw, int f, std::string* dst) {
        dst->clear();
        for (size_t i = 0; i < row_bytes; ++i) {
            int left = i >= bpp ? raw[i - bpp] : 0;
            int up = prior[i];
            int upleft = i >= bpp ? prior[i - bpp] : 0;
            int pred = 0;
            switch (f) {
            case 1: pred = left; break;
            case 2: pred = up; break;
            case 3: pred = (left + up) / 2; break;
            case 4: {
                int p = left + up - upleft;
                int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upleft);
                pred = (pa <= pb && pa <= pc) ? left : (pb <= pc ? up : upleft);
                break;
            }
            default: break;
            }
            dst->push_back(static_cast<char>((raw[i] - pred) & 0xff));
        }
    };
    for (int y = 0; y < height; ++y) {
        const auto* raw = reinterpret_cast<const uint8_t*>(samples.data()) + row_bytes * y;
        int f = filter >= 0 ? filter : y % 5;
        if (filter == -2) {
            long best_cost = -1;
            std::string candidate;
            for (int k = 0; k < 5; ++k) {
                filter_row(raw, k, &candidate);
                long cost = 0;
                for (char c : candidate)
                    cost += std::abs(static_cast<int>(static_cast<signed char>(c)));
                if (best_cost < 0 || cost < best_cost) {
                    best_cost = cost;
                    f = k;
                }
            }
        }
        filter_row(raw, f, &row);
        out.push_back(static_cast<char>(f));
        out += row;
        prior.assign(raw, raw + row_bytes);
    }
    return out;
}

// ---------------------------------------------------------------------------
// PDF writer

PdfWriter::PdfWriter() {
    catalog_ = Reserve();
    page_tree_ = Reserve();
}

int PdfWriter::Reserve() {
    objects_.emplace_back();
    return static_cast<int>(objects_.size());
}

int PdfWriter::AddObject(const std::string& body) {
    int num = Reserve();
    SetObject(num, body);
    return num;
}

void PdfWriter::SetObject(int num, const std::string& body) {
    Object& o = objects_.at(num - 1);
    o.set = true;
    o.text = body;
}

int PdfWriter::AddStream(const std::string& dict_entries, const std::string& data) {
    int num = Reserve();
    SetStream(num, dict_entries, data);
    return num;
}

void PdfWriter::SetStream(int num, const std::string& dict_entries, const std::string& data) {
    SetObject(num, "<< " + dict_entries + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
                       "\nendstream");
}

int PdfWriter::AddPage(const std::string& resources, const std::string& content, double width, double height,
                       const std::string& extra) {
    return AddPageWithContents(resources, AddStream("", content), width, height, extra);
}

int PdfWriter::AddPageWithContents(const std::string& resources, int contents, double width, double height,
                                   const std::string& extra) {
    int page = AddObject("<< /Type /Page /Parent " + Ref(page_tree_) + " /MediaBox [0 0 " + Num(width) + " " +
                         Num(height) + "] /Resources " + resources + " /Contents " + Ref(contents) +
                         (extra.empty() ? "" : " " + extra) + " >>");
    pages_.push_back(page);
    return page;
}

void PdfWriter::MoveToEnd(int num) {
    move_to_end_.push_back(num);
}

std::string PdfWriter::Layout(std::vector<size_t>* offsets) const {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    offsets->assign(objects_.size() + 1, 0);
    std::vector<int> order;
    for (int n = 1; n <= static_cast<int>(objects_.size()); ++n)
        if (std::find(move_to_end_.begin(), move_to_end_.end(), n) == move_to_end_.end())
            order.push_back(n);
    order.insert(order.end(), move_to_end_.begin(), move_to_end_.end());
    for (int n : order) {
        std::string body;
        if (n == catalog_) {
            body = "<< /Type /Catalog /Pages " + Ref(page_tree_) + " >>";
        } else if (n == page_tree_ && !page_tree_body_.empty()) {
            body = page_tree_body_;
        } else if (n == page_tree_) {
            body = "<< /Type /Pages /Kids [";
            for (int p : pages_)
                body += " " + Ref(p);
            body += " ] /Count " + std::to_string(pages_.size()) + " >>";
        } else {
            body = objects_[n - 1].set ? objects_[n - 1].text : "null";
        }
        (*offsets)[n] = out.size();
        out += std::to_string(n) + " 0 obj\n" + body + "\nendobj\n";
    }
    return out;
}

std::string PdfWriter::Build() const {
    std::vector<size_t> offsets;
    std::string out = Layout(&offsets);
    size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects_.size() + 1) + "\n0000000000 65535 f \n";
    char entry[32];
    for (size_t n = 1; n <= objects_.size(); ++n) {
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets[n]);
        out += entry;
    }
    out += "trailer\n<< /Size " + std::to_string(objects_.size() + 1) + " /Root " + Ref(catalog_) +
           (trailer_extra_.empty() ? "" : " " + trailer_extra_) + " >>\nstartxref\n" + std::to_string(xref) +
           "\n%%EOF\n";
    return out;
}

size_t PdfWriter::ObjectOffset(int num) const {
    std::vector<size_t> offsets;
    Layout(&offsets);
    return offsets.at(num);
}

std::string XObjectResources(const std::map<std::string, int>& xobjects, const std::string& extra) {
    std::string s = "<< /XObject <<";
    for (const auto& [name, num] : xobjects)
        s += " /" + name + " " + Ref(num);
    s += " >>";
    if (!extra.empty())
        s += " " + extra;
    return s + " >>";
}

std::string DrawXObject(const std::string& name, double x, double y, double w, double h) {
    return "q " + Num(w) + " 0 0 " + Num(h) + " " + Num(x) + " " + Num(y) + " cm /" + name + " Do Q\n";
}

std::string Ref(int num) {
    return std::to_string(num) + " 0 R";
}

// ---------------------------------------------------------------------------
// Images

ImageObject JpegImage(JpegKind kind, int width, int height, uint32_t seed) {
    int comps = 3;
    std::string cs = "/DeviceRGB";
    std::string decode;
    bool adobe = false;
    switch (kind) {
    case JpegKind::Gray: comps = 1; cs = "/DeviceGray"; break;
    case JpegKind::Rgb: break;
    case JpegKind::RgbInverted: decode = " /Decode [1 0 1 0 1 0]"; break;
    case JpegKind::RgbNoTransform: decode = " /DecodeParms << /ColorTransform 0 >>"; break;
    case JpegKind::CmykAdobe: comps = 4; cs = "/DeviceCMYK"; adobe = true; break;
    case JpegKind::CmykAdobeInverted:
        comps = 4; cs = "/DeviceCMYK"; adobe = true; decode = " /Decode [1 0 1 0 1 0 1 0]"; break;
    case JpegKind::CmykPlain: comps = 4; cs = "/DeviceCMYK"; break;
    case JpegKind::CmykPlainInverted: comps = 4; cs = "/DeviceCMYK"; decode = " /Decode [1 0 1 0 1 0 1 0]"; break;
    }
    std::string jpeg = EncodeJpeg(width, height, comps, MakeSamples(width, height, comps, 8, seed), adobe);
    return MakeImage(width, height, ImageDict(width, height, cs, 8, "/DCTDecode") + decode, jpeg);
}

const char* JpegKindName(JpegKind kind) {
    static const char* names[] = {"Gray",      "Rgb",               "CmykAdobe",   "CmykAdobeInverted",
                                  "CmykPlain", "CmykPlainInverted", "RgbInverted", "RgbNoTransform"};
    return names[static_cast<int>(kind)];
}

bool JpegCopiedAsIs(JpegKind kind) {
    switch (kind) {
    case JpegKind::Gray:
    case JpegKind::Rgb:
    case JpegKind::CmykAdobeInverted:
    case JpegKind::CmykPlain: return true;
    default: return false;
    }
}

ImageObject Jp2Image(int width, int height, int components, uint32_t seed) {
    std::string jp2 = EncodeJp2(width, height, components, MakeSamples(width, height, components, 8, seed));
    // No /ColorSpace and no /BitsPerComponent: the JP2 header carries them.
    std::string d = "/Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
                    std::to_string(height) + " /Filter /JPXDecode";
    return MakeImage(width, height, d, jp2);
}

ImageObject FlateImageFromSamples(int width, int height, const std::string& colorspace, int components, int bpc,
                                  const std::string& samples, int predictor, const std::string& extra) {
    std::string d = ImageDict(width, height, colorspace, bpc, "/FlateDecode");
    std::string data = samples;
    if (predictor >= 10) {
        d += " /DecodeParms << /Predictor " + std::to_string(predictor) + " /Colors " + std::to_string(components) +
             " /BitsPerComponent " + std::to_string(bpc) + " /Columns " + std::to_string(width) + " >>";
        data = PngPredict(samples, width, height, components, bpc);
    }
    if (!extra.empty())
        d += " " + extra;
    return MakeImage(width, height, d, Deflate(data));
}

ImageObject FlateImage(int width, int height, const std::string& colorspace, int components, int bpc, uint32_t seed,
                       int predictor, const std::string& extra) {
    return FlateImageFromSamples(width, height, colorspace, components, bpc,
                                 MakeSamples(width, height, components, bpc, seed), predictor, extra);
}

ImageObject SoftMaskImage(int width, int height, uint32_t seed) {
    std::string s(static_cast<size_t>(width) * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double dx = (x + 0.5) / width - 0.5, dy = (y + 0.5) / height - 0.5;
            double r = std::sqrt(dx * dx + dy * dy) * 2;
            int v = static_cast<int>(std::lround(255 * std::max(0.0, 1.0 - r)));
            if ((x + y + static_cast<int>(seed)) % 11 == 0)
                v = 255 - v;
            s[static_cast<size_t>(y) * width + x] = static_cast<char>(v);
        }
    return MakeImage(width, height, ImageDict(width, height, "/DeviceGray", 8, "/FlateDecode"), Deflate(s));
}

ImageObject StencilImage(int width, int height, uint32_t seed) {
    std::string s;
    BitPacker p(&s, 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double dx = (x + 0.5) / width - 0.5, dy = (y + 0.5) / height - 0.5;
            double r = std::sqrt(dx * dx + dy * dy);
            // The top-left block makes it asymmetric, so a flipped copy is caught.
            bool painted = (r > 0.2 && r < 0.45) || ((x + seed) % 9 == 0) || (y < height / 4 && x < width / 3);
            p.Put(painted ? 0 : 1);  // default /Decode [0 1]: 0 paints
        }
        p.EndRow();
    }
    std::string d = "/Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
                    std::to_string(height) + " /ImageMask true /BitsPerComponent 1 /Filter /FlateDecode";
    return MakeImage(width, height, d, Deflate(s));
}

const char* StorageName(Storage storage) {
    switch (storage) {
    case Storage::Flate: return "Flate";
    case Storage::FlateFast: return "FlateFast";
    case Storage::PngPredictors: return "PngPredictors";
    case Storage::TiffPredictor: return "TiffPredictor";
    case Storage::Lzw: return "Lzw";
    case Storage::RunLength: return "RunLength";
    case Storage::AsciiHex: return "AsciiHex";
    case Storage::Uncompressed: return "Uncompressed";
    }
    return "?";
}

namespace {

// LZW of literal codes only, 9 bits each, most significant bit first.
std::string LzwLiterals(const std::string& data) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    auto put = [&](uint32_t code) {
        acc = (acc << 9) | code;
        bits += 9;
        while (bits >= 8) {
            out.push_back(static_cast<char>((acc >> (bits - 8)) & 0xff));
            bits -= 8;
        }
    };
    put(256);  // clear
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0 && i % 250 == 0)
            put(256);  // before the table would need 10-bit codes
        put(static_cast<unsigned char>(data[i]));
    }
    put(257);  // end of data
    if (bits > 0)
        out.push_back(static_cast<char>((acc << (8 - bits)) & 0xff));
    return out;
}

std::string RunLengthLiterals(const std::string& data) {
    std::string out;
    for (size_t i = 0; i < data.size(); i += 128) {
        const size_t n = std::min<size_t>(128, data.size() - i);
        out.push_back(static_cast<char>(n - 1));
        out.append(data, i, n);
    }
    out.push_back(static_cast<char>(128));
    return out;
}

// TIFF predictor 2: each sample minus the same component of the pixel before.
std::string TiffPredict(const std::string& samples, int width, int height, int components, int bpc) {
    if (bpc != 8 && bpc != 16)
        throw std::runtime_error("TIFF predictor fixtures are 8 or 16 bits per component");
    const size_t bytes = static_cast<size_t>(bpc / 8);
    const size_t row = static_cast<size_t>(width) * components * bytes;
    const size_t pixel = static_cast<size_t>(components) * bytes;
    std::string out = samples;
    for (int y = 0; y < height; ++y) {
        const auto* src = reinterpret_cast<const uint8_t*>(samples.data()) + row * y;
        auto* dst = reinterpret_cast<uint8_t*>(&out[row * y]);
        for (size_t i = pixel; i < row; i += bytes) {
            if (bytes == 1) {
                dst[i] = static_cast<uint8_t>(src[i] - src[i - pixel]);
            } else {
                const unsigned v = ((src[i] << 8) | src[i + 1]) - ((src[i - pixel] << 8) | src[i - pixel + 1]);
                dst[i] = static_cast<uint8_t>(v >> 8);
                dst[i + 1] = static_cast<uint8_t>(v);
            }
        }
    }
    return out;
}

}  // namespace

ImageObject StoredImage(int width, int height, const std::string& colorspace, int components, int bpc,
                        const std::string& samples, Storage storage, const std::string& extra) {
    const std::string parms = " /Colors " + std::to_string(components) + " /BitsPerComponent " +
                              std::to_string(bpc) + " /Columns " + std::to_string(width) + " >>";
    std::string filter;
    std::string dict_extra;
    std::string data;
    switch (storage) {
    case Storage::Flate:
        filter = "/FlateDecode";
        data = Deflate(samples, 6);
        break;
    case Storage::FlateFast:
        filter = "/FlateDecode";
        data = Deflate(samples, 1);
        break;
    case Storage::PngPredictors:
        filter = "/FlateDecode";
        dict_extra = " /DecodeParms << /Predictor 15" + parms;
        data = Deflate(PngPredict(samples, width, height, components, bpc, -1));
        break;
    case Storage::TiffPredictor:
        filter = "/FlateDecode";
        dict_extra = " /DecodeParms << /Predictor 2" + parms;
        data = Deflate(TiffPredict(samples, width, height, components, bpc));
        break;
    case Storage::Lzw:
        filter = "/LZWDecode";
        data = LzwLiterals(samples);
        break;
    case Storage::RunLength:
        filter = "/RunLengthDecode";
        data = RunLengthLiterals(samples);
        break;
    case Storage::AsciiHex:
        filter = "/ASCIIHexDecode";
        data = Hex(samples) + ">";
        break;
    case Storage::Uncompressed: data = samples; break;
    }
    std::string d = ImageDict(width, height, colorspace, bpc, filter) + dict_extra;
    if (!extra.empty())
        d += " " + extra;
    return MakeImage(width, height, d, data);
}

std::string IndexedColorspace(int entries) {
    std::string pal;
    for (int i = 0; i < entries; ++i) {
        pal.push_back(static_cast<char>((i * 53) & 0xff));
        pal.push_back(static_cast<char>((i * 97 + 40) & 0xff));
        pal.push_back(static_cast<char>((255 - i * 29) & 0xff));
    }
    std::string hex = Hex(pal);
    hex.erase(std::remove(hex.begin(), hex.end(), '\n'), hex.end());
    return "[/Indexed /DeviceRGB " + std::to_string(entries - 1) + " <" + hex + ">]";
}

// ---------------------------------------------------------------------------
// Fixture documents

FixturePdf MakeJpegPdf(JpegKind kind, int width, int height) {
    static const char* names[] = {"JPEG gray", "JPEG RGB", "JPEG CMYK APP14", "JPEG CMYK APP14 inverted",
                                  "JPEG CMYK plain", "JPEG CMYK plain inverted", "JPEG RGB inverted",
                                  "JPEG RGB without colour transform"};
    const bool cmyk = kind != JpegKind::Gray && kind != JpegKind::Rgb && kind != JpegKind::RgbInverted &&
                      kind != JpegKind::RgbNoTransform;
    return SingleImagePdf(JpegImage(kind, width, height), JpegCopiedAsIs(kind) ? "jpg" : cmyk ? "tif" : "png",
                          names[static_cast<int>(kind)]);
}

FixturePdf MakeJp2Pdf(int components, int width, int height) {
    return SingleImagePdf(Jp2Image(width, height, components), "jp2", "JPEG 2000");
}

const char* FlateKindName(FlateKind kind) {
    static const char* names[] = {"Rgb",   "Rgb16",    "Gray1",  "Gray2",      "Gray4",   "Gray8",
                                  "Gray16", "GrayInverted", "Indexed8", "Indexed4", "Cmyk", "Lab",
                                  "Separation", "DeviceN", "RgbPredictor", "GrayPredictor", "ColorKey",
                                  "Indexed2", "Gray16Inverted", "IccRgb", "IccGray"};
    return names[static_cast<int>(kind)];
}

FlateKind AllFlateKinds(int i, bool* valid) {
    *valid = i >= 0 && i <= static_cast<int>(FlateKind::IccGray);
    return static_cast<FlateKind>(*valid ? i : 0);
}

FixturePdf MakeFlatePdf(FlateKind kind, int width, int height) {
    PdfWriter w;
    ImageObject img;
    switch (kind) {
    case FlateKind::Rgb: img = FlateImage(width, height, "/DeviceRGB", 3, 8); break;
    case FlateKind::Rgb16: img = FlateImage(width, height, "/DeviceRGB", 3, 16); break;
    case FlateKind::Gray1: img = FlateImage(width, height, "/DeviceGray", 1, 1); break;
    case FlateKind::Gray2: img = FlateImage(width, height, "/DeviceGray", 1, 2); break;
    case FlateKind::Gray4: img = FlateImage(width, height, "/DeviceGray", 1, 4); break;
    case FlateKind::Gray8: img = FlateImage(width, height, "/DeviceGray", 1, 8); break;
    case FlateKind::Gray16: img = FlateImage(width, height, "/DeviceGray", 1, 16); break;
    case FlateKind::GrayInverted: img = FlateImage(width, height, "/DeviceGray", 1, 8, 1, 0, "/Decode [1 0]"); break;
    case FlateKind::Indexed8: {
        std::string s = MakeSamples(width, height, 1, 8);
        for (char& c : s)
            c = static_cast<char>(static_cast<unsigned char>(c) % 200);
        img = FlateImageFromSamples(width, height, IndexedColorspace(200), 1, 8, s);
        break;
    }
    case FlateKind::Indexed4: img = FlateImage(width, height, IndexedColorspace(16), 1, 4); break;
    case FlateKind::Cmyk: img = FlateImage(width, height, "/DeviceCMYK", 4, 8); break;
    case FlateKind::Lab:
        img = FlateImage(width, height, "[/Lab << /WhitePoint [0.9505 1 1.089] /Range [-100 100 -100 100] >>]", 3, 8);
        break;
    case FlateKind::Separation:
        img = FlateImage(width, height,
                         "[/Separation /Spot /DeviceCMYK << /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] "
                         "/C1 [0.1 0.9 0.8 0] /N 1 >>]",
                         1, 8);
        break;
    case FlateKind::DeviceN: {
        int fn = w.AddStream("/FunctionType 4 /Domain [0 1 0 1] /Range [0 1 0 1 0 1 0 1]",
                             "{ dup 0.9 mul exch 0.8 mul 0 }");
        img = FlateImage(width, height, "[/DeviceN [/Cyan /Spot] /DeviceCMYK " + Ref(fn) + "]", 2, 8);
        break;
    }
    case FlateKind::RgbPredictor: img = FlateImage(width, height, "/DeviceRGB", 3, 8, 1, 15); break;
    case FlateKind::GrayPredictor: img = FlateImage(width, height, "/DeviceGray", 1, 8, 1, 15); break;
    case FlateKind::ColorKey:
        img = FlateImage(width, height, "/DeviceRGB", 3, 8, 1, 0, "/Mask [0 120 0 255 0 255]");
        break;
    case FlateKind::Indexed2: img = FlateImage(width, height, IndexedColorspace(4), 1, 2); break;
    case FlateKind::Gray16Inverted:
        img = FlateImage(width, height, "/DeviceGray", 1, 16, 1, 0, "/Decode [1 0]");
        break;
    case FlateKind::IccRgb:
    case FlateKind::IccGray: {
        const int n = kind == FlateKind::IccRgb ? 3 : 1;
        int icc = w.AddStream("/N " + std::to_string(n), std::string(128, '\0'));
        img = FlateImage(width, height, "[/ICCBased " + Ref(icc) + "]", n, 8);
        break;
    }
    }
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 400, 300, 300.0 * height / width));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    const bool cmyk = kind == FlateKind::Cmyk || kind == FlateKind::Separation || kind == FlateKind::DeviceN;
    f.images.push_back(Expect(1, cmyk ? "tif" : "png", img, num, std::string("Flate ") + FlateKindName(kind)));
    return f;
}

FixturePdf MakeSoftMaskPdf(bool half_size_mask) {
    PdfWriter w;
    const int iw = 40, ih = 30;
    ImageObject mask = half_size_mask ? SoftMaskImage(iw / 2, ih / 2) : SoftMaskImage(iw, ih);
    int mask_num = w.AddStream(mask.dict, mask.stream);
    ImageObject img = FlateImage(iw, ih, "/DeviceRGB", 3, 8, 3, 0, "/SMask " + Ref(mask_num));
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), "0 0 1 rg 50 350 400 300 re f\n" + DrawXObject("Im1", 72, 400, 320, 240));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", img, num, half_size_mask ? "RGB with half-size soft mask" : "RGB with soft mask"));
    return f;
}

FixturePdf MakeStencilPdf() {
    PdfWriter w;
    ImageObject stencil = StencilImage(48, 40, 1);
    int st = w.AddStream(stencil.dict, stencil.stream);
    ImageObject mask = StencilImage(36, 24, 5);
    int mk = w.AddStream(mask.dict, mask.stream);
    ImageObject img = FlateImage(36, 24, "/DeviceRGB", 3, 8, 4, 0, "/Mask " + Ref(mk));
    int num = w.AddStream(img.dict, img.stream);
    w.AddPage(XObjectResources({{"St1", st}, {"Im2", num}}),
              "1 0 0 rg\n" + DrawXObject("St1", 72, 500, 240, 200) + DrawXObject("Im2", 72, 100, 360, 240));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", stencil, st, "stencil painted red"));
    f.images.push_back(Expect(1, "png", img, num, "RGB with stencil /Mask"));
    return f;
}

const char* FineMaskName(FineMask kind) {
    static const char* names[] = {"Soft", "Stencil", "Gray16", "Cmyk", "IccRgb", "Indexed", "JpegSoft"};
    return names[static_cast<int>(kind)];
}

FixturePdf MakeFineMaskPdf(FineMask kind, int w, int h, int mw, int mh) {
    PdfWriter pdf;
    const bool stencil = kind == FineMask::Stencil || kind == FineMask::Indexed;
    ImageObject mask = stencil                         ? StencilImage(mw, mh, 3)
                       : kind == FineMask::JpegSoft ? JpegImage(JpegKind::Gray, mw, mh, 6)
                                                    : SoftMaskImage(mw, mh, 5);
    const std::string use = (stencil ? "/Mask " : "/SMask ") + Ref(pdf.AddStream(mask.dict, mask.stream));
    ImageObject img;
    switch (kind) {
    case FineMask::Soft:
    case FineMask::JpegSoft:
    case FineMask::Stencil: img = FlateImage(w, h, "/DeviceRGB", 3, 8, 21, 0, use); break;
    case FineMask::Gray16: img = FlateImage(w, h, "/DeviceGray", 1, 16, 22, 0, use); break;
    case FineMask::Cmyk: img = FlateImage(w, h, "/DeviceCMYK", 4, 8, 23, 0, use); break;
    case FineMask::IccRgb: {
        const std::string profile = MakeSrgbProfile();
        const int icc = pdf.AddStream("/N 3", profile);
        img = FlateImage(w, h, "[/ICCBased " + Ref(icc) + "]", 3, 8, 24, 0, use);
        break;
    }
    case FineMask::Indexed: img = FlateImage(w, h, IndexedColorspace(16), 1, 4, 25, 0, use); break;
    }
    const int num = pdf.AddStream(img.dict, img.stream);
    pdf.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 72, 300, 400, 300));
    FixturePdf f;
    f.bytes = pdf.Build();
    f.pages = 1;
    ImageObject written = img;
    written.width = mw;
    written.height = mh;
    f.images.push_back(Expect(1, kind == FineMask::Cmyk ? "tif" : "png", written, num,
                              std::string("image under a finer mask, ") + FineMaskName(kind)));
    return f;
}

FixturePdf MakeFourMasksPdf() {
    PdfWriter pdf;
    const std::string samples = MakeSamples(2, 2, 3, 8, 26);
    std::map<std::string, int> xobjects;
    std::string content;
    std::vector<std::pair<ImageObject, int>> placed;
    for (int i = 0; i < 4; ++i) {
        ImageObject mask = SoftMaskImage(400, 300, 30 + static_cast<uint32_t>(i));
        const int mask_num = pdf.AddStream(mask.dict, mask.stream);
        ImageObject img = FlateImageFromSamples(2, 2, "/DeviceRGB", 3, 8, samples, 0, "/SMask " + Ref(mask_num));
        const int num = pdf.AddStream(img.dict, img.stream);
        const std::string name = "Im" + std::to_string(i + 1);
        xobjects[name] = num;
        content += DrawXObject(name, 50 + 130 * i, 400, 120, 90);
        img.width = 400;
        img.height = 300;
        placed.emplace_back(img, num);
    }
    pdf.AddPage(XObjectResources(xobjects), content);
    FixturePdf f;
    f.bytes = pdf.Build();
    f.pages = 1;
    for (const auto& [img, num] : placed)
        f.images.push_back(Expect(1, "png", img, num, "one image under its own mask"));
    return f;
}

FixturePdf MakeNoImageDataPdf() {
    PdfWriter pdf;
    const int w = 120, h = 80;
    ImageObject jpeg = JpegImage(JpegKind::Rgb, w, h, 41);
    const size_t sos = jpeg.stream.find("\xFF\xDA");
    const size_t scan = sos + 2 + ((static_cast<uint8_t>(jpeg.stream[sos + 2]) << 8) | static_cast<uint8_t>(jpeg.stream[sos + 3]));
    jpeg.stream = jpeg.stream.substr(0, scan) + "\xFF\x99" + MakeSamples(60, 20, 1, 8, 42);
    ImageObject empty = FlateImageFromSamples(w, h, "/DeviceRGB", 3, 8, std::string());
    empty.stream.clear();
    ImageObject cut = FlateImage(w, h, "/DeviceRGB", 3, 8, 43);
    cut.stream = cut.stream.substr(0, cut.stream.size() / 2);
    ImageObject flat = FlateImageFromSamples(w, h, "/DeviceGray", 1, 8, std::string(static_cast<size_t>(w) * h, '\x80'));
    std::map<std::string, int> xobjects;
    std::string content;
    FixturePdf f;
    int i = 0;
    for (const ImageObject* img : {&jpeg, &empty, &cut, &flat}) {
        const int num = pdf.AddStream(img->dict, img->stream);
        const std::string name = "Im" + std::to_string(++i);
        xobjects[name] = num;
        content += DrawXObject(name, 50 + 130 * (i - 1), 400, 120, 80);
        if (img == &cut || img == &flat)
            f.images.push_back(Expect(1, "png", *img, num, img == &cut ? "cut halfway" : "flat"));
    }
    pdf.AddPage(XObjectResources(xobjects), content);
    f.bytes = pdf.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakeInlineImagePdf() {
    PdfWriter w;
    const int iw = 16, ih = 12;
    std::string samples = MakeSamples(iw, ih, 3, 8, 9);
    std::string inline_img = "q 64 0 0 48 100 600 cm\nBI /W 16 /H 12 /CS /RGB /BPC 8 /F /AHx ID\n" + Hex(samples) +
                             ">\nEI Q\n";
    std::string inline_img2 = "q 64 0 0 48 300 600 cm\nBI /W 16 /H 12 /CS /RGB /BPC 8 /F /AHx ID\n" + Hex(samples) +
                              ">\nEI Q\n";
    ImageObject obj = FlateImage(20, 20, "/DeviceRGB", 3, 8, 11);
    int num = w.AddStream(obj.dict, obj.stream);
    w.AddPage(XObjectResources({{"Im1", num}}), inline_img + inline_img2 + DrawXObject("Im1", 72, 200, 200, 200));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    ImageObject inl = MakeImage(iw, ih, "", samples);
    f.images.push_back(Expect(1, "png", inl, 0, "inline RGB image (drawn twice)"));
    f.images.push_back(Expect(1, "png", obj, num, "image XObject after inline images"));
    return f;
}

namespace {
std::string EncryptWithMuPdf(const std::string& plain, const std::string& user_password);
}  // namespace

const char* InlineDamageName(InlineDamage damage) {
    switch (damage) {
    case InlineDamage::ZeroWidth: return "ZeroWidth";
    case InlineDamage::NoHeight: return "NoHeight";
    case InlineDamage::UnknownFilter: return "UnknownFilter";
    case InlineDamage::BadColourSpace: return "BadColourSpace";
    case InlineDamage::TooShortData: return "TooShortData";
    }
    return "?";
}

FixturePdf MakeBrokenInlineImagesPdf(int count, const std::map<int, InlineDamage>& damaged, InlinePlacement placement) {
    const int iw = 8, ih = 6;
    FixturePdf f;
    f.pages = 1;
    std::string content;
    std::vector<size_t> data_middles;  // inside each image's data, where a content stream may be cut
    for (int i = 0; i < count; ++i) {
        const std::string samples = MakeSamples(iw, ih, 3, 8, 1000 + static_cast<uint32_t>(i));
        std::string dict = "/W 8 /H 6 /CS /RGB /BPC 8 /F /AHx";
        std::string data = Hex(samples) + ">";
        auto it = damaged.find(i);
        if (it == damaged.end()) {
            f.images.push_back(Expect(1, "png", MakeImage(iw, ih, "", samples), 0, "inline " + std::to_string(i)));
        } else {
            switch (it->second) {
            case InlineDamage::ZeroWidth: dict = "/W 0 /H 6 /CS /RGB /BPC 8 /F /AHx"; break;
            case InlineDamage::NoHeight: dict = "/W 8 /CS /RGB /BPC 8 /F /AHx"; break;
            case InlineDamage::UnknownFilter: dict = "/W 8 /H 6 /CS /RGB /BPC 8 /F /NoSuchDecode"; break;
            case InlineDamage::BadColourSpace: dict = "/W 8 /H 6 /CS /NoSuchSpace /BPC 8 /F /AHx"; break;
            case InlineDamage::TooShortData: data = Hex(samples.substr(0, samples.size() / 3)) + ">"; break;
            }
        }
        const int x = 20 + (i % 20) * 28, y = 740 - (i / 20) * 24;
        content += "q 24 0 0 18 " + std::to_string(x) + " " + std::to_string(y) + " cm\nBI " + dict + " ID\n";
        data_middles.push_back(content.size() + data.size() / 2);
        content += data + "\nEI Q\n";
    }
    PdfWriter w;
    switch (placement) {
    case InlinePlacement::Page:
        w.AddPage("<< >>", content);
        break;
    case InlinePlacement::ContentsArray: {
        const size_t cut1 = data_middles.at(data_middles.size() / 3);
        const size_t cut2 = data_middles.at(data_middles.size() * 2 / 3);
        const int a = w.AddStream("", content.substr(0, cut1));
        const int b = w.AddStream("", content.substr(cut1, cut2 - cut1));
        const int c = w.AddStream("", content.substr(cut2));
        const int contents = w.AddObject("[" + Ref(a) + " " + Ref(b) + " " + Ref(c) + "]");
        w.AddPageWithContents("<< >>", contents);
        break;
    }
    case InlinePlacement::Form:
    case InlinePlacement::EncryptedForm: {
        const int form = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources << >>", content);
        w.AddPage(XObjectResources({{"Fm1", form}}), "q /Fm1 Do Q\n");
        break;
    }
    case InlinePlacement::EncryptedPage:
        w.AddPage("<< >>", content);
        break;
    }
    f.bytes = w.Build();
    if (placement == InlinePlacement::EncryptedPage || placement == InlinePlacement::EncryptedForm)
        f.bytes = EncryptWithMuPdf(f.bytes, "");
    return f;
}

FixturePdf MakeFormsPdf() {
    PdfWriter w;
    ImageObject a = FlateImage(18, 14, "/DeviceRGB", 3, 8, 21);
    ImageObject b = FlateImage(22, 10, "/DeviceGray", 1, 8, 22);
    ImageObject c = FlateImage(12, 16, "/DeviceRGB", 3, 8, 23);
    int ia = w.AddStream(a.dict, a.stream);
    int ib = w.AddStream(b.dict, b.stream);
    int ic = w.AddStream(c.dict, c.stream);
    const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources ";
    // Nested three deep: Fm1 -> Fm2 -> Fm3 -> image A.
    int fm3 = w.AddStream(form + XObjectResources({{"ImA", ia}}), "/ImA Do\n");
    int fm2 = w.AddStream(form + XObjectResources({{"Fm3", fm3}}), "/Fm3 Do\n");
    int fm1 = w.AddStream(form + XObjectResources({{"Fm2", fm2}}), "/Fm2 Do\n");
    // Two forms drawing each other: FmX -> FmY -> FmX ..., FmY draws image C.
    int fmx = w.Reserve();
    int fmy = w.AddStream(form + XObjectResources({{"ImC", ic}, {"FmX", fmx}}), "/ImC Do\n/FmX Do\n");
    w.SetStream(fmx, form + XObjectResources({{"FmY", fmy}}), "/FmY Do\n");
    // A form drawing itself after image B.
    int fms = w.Reserve();
    w.SetStream(fms, form + XObjectResources({{"ImB", ib}, {"FmS", fms}}), "/ImB Do\n/FmS Do\n");
    w.AddPage(XObjectResources({{"Fm1", fm1}, {"FmX", fmx}, {"FmS", fms}}),
              DrawXObject("Fm1", 72, 600, 100, 100) + DrawXObject("FmX", 72, 400, 100, 100) +
                  DrawXObject("FmS", 72, 200, 100, 100));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", a, ia, "image in a form nested three deep"));
    f.images.push_back(Expect(1, "png", c, ic, "image in two forms drawing each other"));
    f.images.push_back(Expect(1, "png", b, ib, "image in a form drawing itself"));
    return f;
}

FixturePdf MakeLogoPdf(int pages) {
    PdfWriter w;
    ImageObject logo = FlateImage(32, 32, "/DeviceRGB", 3, 8, 77, 15);
    int logo_num = w.AddStream(logo.dict, logo.stream);
    FixturePdf f;
    for (int p = 1; p <= pages; ++p) {
        ImageObject photo = JpegImage(JpegKind::Rgb, 64, 48, 100 + p);
        int photo_num = w.AddStream(photo.dict, photo.stream);
        w.AddPage(XObjectResources({{"Logo", logo_num}, {"Photo", photo_num}}),
                  DrawXObject("Logo", 20, 740, 32, 32) + DrawXObject("Photo", 72, 300, 400, 300));
        if (p == 1)
            f.images.push_back(Expect(1, "png", logo, logo_num, "logo on every page"));
        f.images.push_back(Expect(p, "jpg", photo, photo_num, "photo of page " + std::to_string(p)));
    }
    f.bytes = w.Build();
    f.pages = pages;
    return f;
}

FixturePdf MakeDedupePdf() {
    PdfWriter w;
    ImageObject j1 = JpegImage(JpegKind::CmykPlain, 40, 32, 31);
    ImageObject j2 = j1;
    j2.dict += " /Decode [1 0 1 0 1 0 1 0]";
    int nj1 = w.AddStream(j1.dict, j1.stream);
    int nj2 = w.AddStream(j2.dict, j2.stream);

    ImageObject m1 = SoftMaskImage(24, 24, 1);
    ImageObject m2 = SoftMaskImage(24, 24, 6);
    int nm1 = w.AddStream(m1.dict, m1.stream);
    int nm2 = w.AddStream(m2.dict, m2.stream);
    ImageObject base = FlateImage(24, 24, "/DeviceRGB", 3, 8, 32);
    ImageObject r1 = base, r2 = base;
    r1.dict += " /SMask " + Ref(nm1);
    r2.dict += " /SMask " + Ref(nm2);
    int nr1 = w.AddStream(r1.dict, r1.stream);
    int nr2 = w.AddStream(r2.dict, r2.stream);

    ImageObject d = FlateImage(20, 20, "/DeviceGray", 1, 8, 33);
    int nd1 = w.AddStream(d.dict, d.stream);
    int nd2 = w.AddStream(d.dict, d.stream);

    w.AddPage(XObjectResources({{"J1", nj1}, {"J2", nj2}, {"R1", nr1}, {"R2", nr2}, {"D1", nd1}, {"D2", nd2}}),
              DrawXObject("J1", 50, 600, 100, 80) + DrawXObject("J2", 200, 600, 100, 80) +
                  DrawXObject("R1", 50, 400, 100, 100) + DrawXObject("R2", 200, 400, 100, 100) +
                  DrawXObject("D1", 50, 200, 100, 100) + DrawXObject("D2", 200, 200, 100, 100) +
                  DrawXObject("D1", 350, 200, 100, 100));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "jpg", j1, nj1, "CMYK JPEG, default /Decode"));
    f.images.push_back(Expect(1, "tif", j2, nj2, "same CMYK JPEG stream, inverting /Decode"));
    f.images.push_back(Expect(1, "png", r1, nr1, "RGB stream with soft mask 1"));
    f.images.push_back(Expect(1, "png", r2, nr2, "same RGB stream with soft mask 2"));
    f.images.push_back(Expect(1, "png", d, nd1, "two identical objects (one file)"));
    return f;
}

FixturePdf MakePlacementsPdf() {
    PdfWriter w;
    const ImageObject scaled = FlateImage(40, 20, "/DeviceRGB", 3, 8, 61);
    const ImageObject turned = FlateImage(40, 20, "/DeviceGray", 1, 8, 62);
    const ImageObject tilted = FlateImage(40, 20, "/DeviceRGB", 3, 8, 63);
    const ImageObject inks = FlateImage(30, 30, "/DeviceCMYK", 4, 8, 64);
    const int ns = w.AddStream(scaled.dict, scaled.stream);
    const int nt = w.AddStream(turned.dict, turned.stream);
    const int nl = w.AddStream(tilted.dict, tilted.stream);
    const int ni = w.AddStream(inks.dict, inks.stream);
    w.AddPage(XObjectResources({{"Im1", ns}}),
              "q 80 0 0 20 100 200 cm /Im1 Do Q\nq 10 0 0 10 400 400 cm /Im1 Do Q\n");
    w.AddPage(XObjectResources({{"Im1", nt}}), "q 0 40 -10 0 300 100 cm /Im1 Do Q\n");
    // 40 points along 30 degrees, 20 points across: cos 30 = 0.8660254.
    w.AddPage(XObjectResources({{"Im1", nl}}), "q 34.641016 20 -10 17.320508 200 300 cm /Im1 Do Q\n");
    w.AddPage(XObjectResources({{"Im1", ni}}), "q 15 0 0 30 0 0 cm /Im1 Do Q\n");
    w.AddPage(XObjectResources({{"Im1", ns}}), "q 40 0 0 40 0 0 cm /Im1 Do Q\n");
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 5;
    f.images.push_back(Expect(1, "png", scaled, ns, "scaled"));
    f.images.push_back(Expect(2, "png", turned, nt, "a quarter turn"));
    f.images.push_back(Expect(3, "png", tilted, nl, "turned 30 degrees"));
    f.images.push_back(Expect(4, "tif", inks, ni, "CMYK"));
    return f;
}

FixturePdf MakeManifestActionsPdf() {
    PdfWriter w;
    const ImageObject photo = JpegImage(JpegKind::Rgb, 32, 24, 71);
    const ImageObject drawing = FlateImage(20, 20, "/DeviceRGB", 3, 8, 72);
    const ImageObject small = FlateImage(4, 4, "/DeviceGray", 1, 8, 73);
    const ImageObject blank = FlateImageFromSamples(16, 16, "/DeviceGray", 1, 1, std::string(2 * 16, '\0'));
    ImageObject white;
    white.width = white.height = 16;
    white.dict = "/Type /XObject /Subtype /Image /Width 16 /Height 16 /ColorSpace /DeviceRGB /BitsPerComponent 8 "
                 "/Filter /DCTDecode";
    white.stream = EncodeJpeg(16, 16, 3, std::string(16 * 16 * 3, '\xff'));
    const int n1 = w.AddStream(photo.dict, photo.stream);
    const int n2 = w.AddStream(drawing.dict, drawing.stream);
    const int n3 = w.AddStream(small.dict, small.stream);
    const int n4 = w.AddStream(blank.dict, blank.stream);
    const int n5 = w.AddStream(white.dict, white.stream);
    const std::string res = XObjectResources({{"Im1", n1}, {"Im2", n2}, {"Im3", n3}, {"Im4", n4}, {"Im5", n5}});
    w.AddPage(res, DrawXObject("Im1", 0, 0, 32, 24) + DrawXObject("Im2", 50, 0, 20, 20) +
                       DrawXObject("Im3", 100, 0, 4, 4) + DrawXObject("Im4", 150, 0, 16, 16) +
                       DrawXObject("Im5", 200, 0, 16, 16));
    w.AddPage(res, DrawXObject("Im2", 0, 0, 20, 20) + DrawXObject("Im3", 50, 0, 4, 4) +
                       DrawXObject("Im4", 100, 0, 16, 16));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 2;
    f.images.push_back(Expect(1, "jpg", photo, n1, "photo"));
    f.images.push_back(Expect(1, "png", drawing, n2, "drawing"));
    f.images.push_back(Expect(1, "png", small, n3, "small"));
    f.images.push_back(Expect(1, "png", blank, n4, "flat 1-bit"));
    f.images.push_back(Expect(1, "jpg", white, n5, "flat JPEG"));
    return f;
}

FixturePdf MakePixelTwinsPdf() {
    PdfWriter w;
    FixturePdf f;
    struct Placed {
        std::string name;
        int num;
    };
    std::vector<std::vector<Placed>> pages(3);
    // Adds an image drawn on page `page` (1-based); `kept` lists it as a file.
    auto add = [&](int page, const ImageObject& img, const std::string& ext, bool kept, const std::string& what) {
        const int num = w.AddStream(img.dict, img.stream);
        pages[page - 1].push_back({"Im" + std::to_string(num), num});
        if (kept)
            f.images.push_back(Expect(page, ext, img, num, what));
    };
    const std::string rgb = MakeSamples(24, 16, 3, 8, 61);
    add(1, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::Flate), "png", true, "RGB, Flate");
    add(1, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::PngPredictors), "png", false,
        "the same RGB with PNG predictors");
    add(1, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::Lzw), "png", false, "the same RGB as LZW");
    // 13 pixels of 1 bit: 3 bits after each row's last pixel, zero in one
    // copy and set in the other.
    std::string bits = MakeSamples(13, 9, 1, 1, 62);
    add(1, StoredImage(13, 9, "/DeviceGray", 1, 1, bits, Storage::Uncompressed), "png", true, "1-bit gray");
    for (size_t i = 1; i < bits.size(); i += 2)
        bits[i] = static_cast<char>(bits[i] | 0x07);
    add(1, StoredImage(13, 9, "/DeviceGray", 1, 1, bits, Storage::PngPredictors), "png", false,
        "the same 1-bit gray with PNG predictors and junk after each row");
    const ImageObject m1 = SoftMaskImage(24, 16, 1);
    const ImageObject m2 = SoftMaskImage(24, 16, 6);
    const int nm1 = w.AddStream(m1.dict, m1.stream);
    const int nm2 = w.AddStream(m2.dict, m2.stream);
    add(1, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::Flate, "/SMask " + Ref(nm1)), "png", true,
        "the RGB under soft mask 1");
    add(1, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::PngPredictors, "/SMask " + Ref(nm2)), "png", true,
        "the RGB under soft mask 2");

    add(2, StoredImage(24, 16, "/DeviceRGB", 3, 8, rgb, Storage::RunLength), "png", false,
        "page 1's RGB as RunLength");
    std::string indices = MakeSamples(20, 10, 1, 4, 63);
    add(2, StoredImage(20, 10, IndexedColorspace(16), 1, 4, indices, Storage::Flate), "png", true,
        "4-bit palette image");
    add(2, StoredImage(20, 10, "[/Indexed /DeviceRGB 15 <" + std::string(96, 'c') + ">]", 1, 4, indices,
                       Storage::PngPredictors),
        "png", true, "the same indices into another palette");
    const std::string cmyk = MakeSamples(18, 12, 4, 8, 64);
    add(2, StoredImage(18, 12, "/DeviceCMYK", 4, 8, cmyk, Storage::Flate), "tif", true, "CMYK, Flate");
    add(2, StoredImage(18, 12, "/DeviceCMYK", 4, 8, cmyk, Storage::AsciiHex), "tif", false,
        "the same CMYK in hex");

    add(3, StoredImage(12, 8, "/DeviceRGB", 3, 8, MakeSamples(12, 8, 3, 8, 65), Storage::Flate), "png", true,
        "RGB 12 x 8");
    add(3, StoredImage(8, 12, "/DeviceRGB", 3, 8, MakeSamples(12, 8, 3, 8, 65), Storage::Lzw), "png", true,
        "the same samples as 8 x 12");
    const std::string cmyk16 = MakeSamples(10, 6, 4, 16, 66);
    add(3, StoredImage(10, 6, "/DeviceCMYK", 4, 16, cmyk16, Storage::Flate), "tif", true, "16-bit CMYK, Flate");
    add(3, StoredImage(10, 6, "/DeviceCMYK", 4, 16, cmyk16, Storage::Uncompressed), "tif", false,
        "the same 16-bit CMYK uncompressed");
    const int p1 = w.AddStream("/N 4", MakeCmykProfile("Kestran twins A"));
    const int p2 = w.AddStream("/N 4", MakeCmykProfile("Kestran twins B"));
    // Stored unlike page 2's CMYK: the stored-bytes key tells spaces apart by
    // name only, so the same bytes under a profile would merge there.
    add(3, StoredImage(18, 12, "[/ICCBased " + Ref(p1) + "]", 4, 8, cmyk, Storage::RunLength), "tif", true,
        "CMYK under profile A");
    add(3, StoredImage(18, 12, "[/ICCBased " + Ref(p2) + "]", 4, 8, cmyk, Storage::Lzw), "tif", true,
        "the same CMYK under profile B");

    for (const std::vector<Placed>& placed : pages) {
        std::map<std::string, int> resources;
        std::string content;
        double y = 700;
        for (const Placed& p : placed) {
            resources[p.name] = p.num;
            content += DrawXObject(p.name, 72, y, 60, 40);
            y -= 50;
        }
        w.AddPage(XObjectResources(resources), content);
    }
    f.bytes = w.Build();
    f.pages = 3;
    return f;
}

FixturePdf MakeIndirectPlacementsPdf() {
    PdfWriter w;
    ImageObject p = FlateImage(10, 10, "/DeviceRGB", 3, 8, 41);
    ImageObject g = FlateImage(14, 14, "/DeviceGray", 1, 8, 42);
    ImageObject a = FlateImage(16, 12, "/DeviceRGB", 3, 8, 43);
    int np = w.AddStream(p.dict, p.stream);
    int ng = w.AddStream(g.dict, g.stream);
    int na = w.AddStream(a.dict, a.stream);
    int pattern = w.AddStream("/Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 20 20] "
                              "/XStep 20 /YStep 20 /Resources " +
                                  XObjectResources({{"P1", np}}),
                              "q 20 0 0 20 0 0 cm /P1 Do Q\n");
    int group = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Group << /S /Transparency /CS "
                            "/DeviceGray >> /Resources " +
                                XObjectResources({{"G1", ng}}),
                            "q 200 0 0 200 100 100 cm /G1 Do Q\n");
    int appearance = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources " +
                                     XObjectResources({{"A1", na}}),
                                 "q 100 0 0 100 0 0 cm /A1 Do Q\n");
    int annot = w.AddObject("<< /Type /Annot /Subtype /Stamp /Rect [400 400 500 500] /F 4 /AP << /N " + Ref(appearance) +
                            " >> >>");
    std::string res = "<< /Pattern << /Pt1 " + Ref(pattern) +
                      " >> /ExtGState << /GS1 << /SMask << /Type /Mask /S /Luminosity /G " + Ref(group) +
                      " >> >> >> >>";
    w.AddPage(res, "/Pattern cs /Pt1 scn 50 600 100 100 re f\nq /GS1 gs 0 0 1 rg 100 100 200 200 re f Q\n", 612, 792,
              "/Annots [" + Ref(annot) + "]");
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", p, np, "image in a tiling pattern"));
    f.images.push_back(Expect(1, "png", g, ng, "image in a soft-mask group"));
    f.images.push_back(Expect(1, "png", a, na, "image in an annotation appearance"));
    return f;
}

FixturePdf MakeMultiPagePdf(int pages) {
    PdfWriter w;
    FixturePdf f;
    for (int p = 1; p <= pages; ++p) {
        ImageObject img = FlateImage(8 + p % 5, 8, "/DeviceRGB", 3, 8, 200 + p);
        int num = w.AddStream(img.dict, img.stream);
        w.AddPage(XObjectResources({{"Im1", num}}), DrawXObject("Im1", 100, 100, 200, 200));
        f.images.push_back(Expect(p, "png", img, num, "image of page " + std::to_string(p)));
    }
    f.bytes = w.Build();
    f.pages = pages;
    return f;
}

FixturePdf MakeNoImagePdf(int pages) {
    PdfWriter w;
    for (int p = 0; p < pages; ++p)
        w.AddPage("<< >>", "0 0 1 rg 100 100 200 200 re f\n1 0 0 RG 5 w 50 50 m 500 700 l S\n");
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = pages;
    return f;
}

namespace {

// Text lines the way TeX sets them: kerned TJ arrays, one line per T*.
std::string TextBookPage(int page) {
    static const char* words[] = {"the", "of", "macro", "expansion", "token", "register", "box", "glue",
                                  "penalty", "paragraph", "line", "break", "font", "dimension", "group", "mode"};
    std::string s = "BT\n/F1 10 Tf 12 TL 72 720 Td\n";
    uint32_t h = static_cast<uint32_t>(page) * 2654435761u;
    for (int line = 0; line < 48; ++line) {
        if (line % 16 == 0)
            s += "/F" + std::to_string(1 + line / 16 % 3) + " 10 Tf\n";
        s += "[";
        for (int w = 0; w < 11; ++w) {
            h = h * 1103515245u + 12345u;
            s += "(" + std::string(words[(h >> 16) % 16]) + ")" + std::to_string(-250 - static_cast<int>(h % 120));
        }
        s += "]TJ T*\n";
    }
    s += "ET\n0.4 w 72 60 m 540 60 l S\nBT /F1 9 Tf 300 40 Td (" + std::to_string(page) + ") Tj ET\n";
    return s;
}

}  // namespace

FixturePdf MakeTextBookPdf(int pages) {
    PdfWriter w;
    std::string fonts = "/Font << /F1 " + Ref(w.AddObject("<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>")) +
                        " /F2 " + Ref(w.AddObject("<< /Type /Font /Subtype /Type1 /BaseFont /Times-Bold >>")) +
                        " /F3 " + Ref(w.AddObject("<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>")) + " >>";
    int shared = w.AddObject("<< " + fonts + " /ProcSet [/PDF /Text] >>");
    const int image_pages[3] = {std::max(1, pages / 4), std::max(1, pages / 2), std::max(1, pages * 3 / 4)};
    const ImageObject images[3] = {JpegImage(JpegKind::Rgb, 320, 240, 61),
                                   FlateImage(300, 200, "/DeviceRGB", 3, 8, 62),
                                   FlateImage(256, 256, "/DeviceGray", 1, 8, 63)};
    FixturePdf f;
    for (int p = 1; p <= pages; ++p) {
        std::string content = TextBookPage(p);
        std::string resources = Ref(shared);
        for (int i = 0; i < 3; ++i) {
            if (p != image_pages[i] || (i > 0 && image_pages[i] == image_pages[i - 1]))
                continue;
            int num = w.AddStream(images[i].dict, images[i].stream);
            resources = "<< " + fonts + " /XObject << /Im" + std::to_string(i + 1) + " " + Ref(num) +
                        " >> /ProcSet [/PDF /Text /ImageC] >>";
            content += DrawXObject("Im" + std::to_string(i + 1), 150, 300, 300, 200);
            f.images.push_back(Expect(p, i == 0 ? "jpg" : "png", images[i], num, "image of page " + std::to_string(p)));
        }
        int contents = w.AddStream("/Filter /FlateDecode", Deflate(content));
        std::string links;
        for (int l = 0; l < 3; ++l)
            links += " " + Ref(w.AddObject("<< /Type /Annot /Subtype /Link /Border [0 0 0] /Rect [72 " +
                                            std::to_string(600 - 40 * l) + " 200 " + std::to_string(610 - 40 * l) +
                                            "] /A << /S /URI /URI (https://example.org/" + std::to_string(l) + ") >> >>"));
        w.AddPageWithContents(resources, contents, 612, 792, "/Annots [" + links + " ]");
    }
    f.bytes = w.Build();
    f.pages = pages;
    return f;
}

std::vector<std::pair<std::string, FixturePdf>> MakeHiddenImagePdfs() {
    std::vector<std::pair<std::string, FixturePdf>> out;
    const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 100 100]";
    const ImageObject img = FlateImage(12, 10, "/DeviceRGB", 3, 8, 71);
    const std::string inline_samples = MakeSamples(6, 4, 3, 8, 72);
    const std::string inline_img = "q 60 0 0 40 100 100 cm BI /W 6 /H 4 /CS /RGB /BPC 8 /F /AHx ID\n" +
                                   Hex(inline_samples) + ">\nEI Q\n";
    const ImageObject inl = MakeImage(6, 4, "", inline_samples);
    auto add = [&](const std::string& name, PdfWriter& w, std::vector<ExpectedImage> images) {
        FixturePdf f;
        f.bytes = w.Build();
        f.pages = w.PageCount();
        f.images = std::move(images);
        out.emplace_back(name, std::move(f));
    };
    {
        // The drawn state is not the first one of /N.
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int off = w.AddStream(form, "0 0 1 rg 0 0 100 100 re f\n");
        int on = w.AddStream(form + " /Resources " + XObjectResources({{"A1", num}}), "q 100 0 0 100 0 0 cm /A1 Do Q\n");
        int annot = w.AddObject("<< /Type /Annot /Subtype /Square /Rect [400 400 500 500] /F 4 /AS /On /AP << /N << "
                                "/Off " + Ref(off) + " /On " + Ref(on) + " >> >> >>");
        w.AddPage("<< >>", "0 0 1 rg 10 10 50 50 re f\n", 612, 792, "/Annots [" + Ref(annot) + "]");
        add("image in the second state of an annotation appearance", w, {Expect(1, "png", img, num, "appearance")});
    }
    {
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int ap = w.AddStream(form + " /Resources " + XObjectResources({{"A1", num}}), "q 100 0 0 100 0 0 cm /A1 Do Q\n");
        int widget = w.AddObject("<< /Type /Annot /Subtype /Widget /FT /Btn /T (b) /Rect [400 400 500 500] /F 4 "
                                 "/AP << /N " + Ref(ap) + " >> >>");
        w.AddPage("<< >>", "", 612, 792, "/Annots [" + Ref(widget) + "]");
        add("image in a widget appearance", w, {Expect(1, "png", img, num, "widget")});
    }
    {
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int pattern = w.AddStream("/Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 20 20] "
                                  "/XStep 20 /YStep 20 /Resources " + XObjectResources({{"P1", num}}),
                                  "q 20 0 0 20 0 0 cm /P1 Do Q\n");
        w.AddPage("<< /Pattern << /Pt1 " + Ref(pattern) + " >> >>", "/Pattern cs /Pt1 scn 50 600 100 100 re f\n");
        add("image only in a tiling pattern", w, {Expect(1, "png", img, num, "pattern")});
    }
    {
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int group = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Group << /S /Transparency /CS "
                                "/DeviceGray >> /Resources " + XObjectResources({{"G1", num}}),
                                "q 200 0 0 200 100 100 cm /G1 Do Q\n");
        w.AddPage("<< /ExtGState << /GS1 << /SMask << /Type /Mask /S /Luminosity /G " + Ref(group) + " >> >> >> >>",
                  "q /GS1 gs 0 0 1 rg 100 100 200 200 re f Q\n");
        add("image only in a soft-mask group", w, {Expect(1, "png", img, num, "soft-mask group")});
    }
    {
        // The run shows no text, so a glyph's image is not drawn; the check
        // must agree with the run either way.
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int glyph = w.AddStream("", "10 0 0 0 10 10 d1 q 10 0 0 10 0 0 cm /G1 Do Q\n");
        int font = w.AddObject("<< /Type /Font /Subtype /Type3 /FontBBox [0 0 10 10] /FontMatrix [0.1 0 0 0.1 0 0] "
                               "/CharProcs << /a " + Ref(glyph) + " >> /Encoding << /Differences [97 /a] >> "
                               "/FirstChar 97 /LastChar 97 /Widths [10] /Resources " +
                               XObjectResources({{"G1", num}}) + " >>");
        w.AddPage("<< /Font << /T3 " + Ref(font) + " >> >>", "BT /T3 20 Tf 100 100 Td (aaa) Tj ET\n");
        add("image only in a Type 3 glyph", w, {});
    }
    {
        PdfWriter w;
        int fm = w.AddStream(form, inline_img);
        w.AddPage(XObjectResources({{"Fm1", fm}}), DrawXObject("Fm1", 0, 0, 1, 1));
        add("inline image only inside a form", w, {Expect(1, "png", inl, 0, "inline in form")});
    }
    {
        PdfWriter w;
        int font = w.AddObject("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
        w.AddPage("<< /Font << /F1 " + Ref(font) + " >> >>", "BT /F1 12 Tf 72 700 Td (text) Tj ET\n" + inline_img);
        add("inline image on a page whose resources hold no image", w, {Expect(1, "png", inl, 0, "inline")});
    }
    {
        // An unbalanced parenthesis in a comment, escaped ones in a string:
        // a scan that mistakes either for a string edge misses the image.
        PdfWriter w;
        w.AddPage("<< >>", "% a comment ( with BI in it\n(a \\) BI \\( string) pop /BI pop <4249> pop\n" + inline_img);
        add("inline image after BI in strings, names and comments", w, {Expect(1, "png", inl, 0, "inline")});
    }
    {
        PdfWriter w;
        w.AddPage("<< >>", "% BI\n(BI) pop (nested (BI) string) pop /BI pop [/BI] pop <</BI 1>> pop ABI BIX pop\n"
                           "0 0 1 rg 10 10 50 50 re f\n");
        add("BI only in strings, names and comments", w, {});
    }
    {
        // Forms drawing each other, the image in the first one's resources
        // after the second form: page 2 reaches the image only through the
        // cycle, which the check on page 1 met half-way.
        PdfWriter w;
        int num = w.AddStream(img.dict, img.stream);
        int x = w.Reserve();
        int y = w.AddStream(form + " /Resources " + XObjectResources({{"B", x}}), "/B Do\n");
        w.SetStream(x, form + " /Resources " + XObjectResources({{"A", y}, {"Z", num}}), "/A Do q 10 0 0 10 0 0 cm /Z Do Q\n");
        w.AddPage(XObjectResources({{"X", x}}), DrawXObject("X", 0, 0, 1, 1));
        w.AddPage(XObjectResources({{"Y", y}}), DrawXObject("Y", 0, 0, 1, 1));
        add("image reached through forms drawing each other", w, {Expect(1, "png", img, num, "form cycle")});
    }
    {
        // Nothing to find, but what the run reports about the missing objects
        // must be reported with the check too.
        PdfWriter w;
        w.AddPage("<< /Pattern << /Pt1 990 0 R >> /ExtGState << /GS1 991 0 R /GS2 << /SMask << /S /Luminosity >> >> >> >>",
                  "/Pattern cs /Pt1 scn 0 0 50 50 re f /GS1 gs /GS2 gs 0 0 10 10 re f\n");
        add("missing pattern, graphics state and soft-mask group", w, {});
    }
    return out;
}

FixturePdf MakeManyImagesPdf(int count, int size) {
    PdfWriter w;
    std::map<std::string, int> res;
    std::string content;
    FixturePdf f;
    for (int i = 0; i < count; ++i) {
        ImageObject img = FlateImage(size, size, "/DeviceRGB", 3, 8, 300 + i);
        int num = w.AddStream(img.dict, img.stream);
        std::string name = "Im" + std::to_string(i + 1);
        res[name] = num;
        content += DrawXObject(name, 10 + (i % 10) * 58, 10 + (i / 10) * 58, 50, 50);
        f.images.push_back(Expect(1, "png", img, num, name));
    }
    w.AddPage(XObjectResources(res), content);
    f.bytes = w.Build();
    f.pages = 1;
    return f;
}

FixturePdf MakeAbsurdSizePdf() {
    PdfWriter w;
    std::string zeros(4096, '\0');
    int huge = w.AddStream("/Type /XObject /Subtype /Image /Width 200000 /Height 200000 /ColorSpace /DeviceRGB "
                           "/BitsPerComponent 8 /Filter /FlateDecode",
                           Deflate(zeros));
    ImageObject ok = FlateImage(16, 16, "/DeviceRGB", 3, 8, 51);
    int num = w.AddStream(ok.dict, ok.stream);
    w.AddPage(XObjectResources({{"Huge", huge}, {"Ok", num}}),
              DrawXObject("Ok", 100, 100, 100, 100) + DrawXObject("Huge", 0, 0, 612, 792));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", ok, num, "normal image next to an absurd one"));
    return f;
}

FixturePdf MakeTruncatedPdf() {
    PdfWriter w;
    ImageObject j = JpegImage(JpegKind::Rgb, 48, 40, 61);
    ImageObject r = FlateImage(20, 20, "/DeviceRGB", 3, 8, 62);
    int nj = w.AddStream(j.dict, j.stream);
    int nr = w.AddStream(r.dict, r.stream);
    w.AddPage(XObjectResources({{"J", nj}, {"R", nr}}), DrawXObject("J", 72, 400, 240, 200) + DrawXObject("R", 72, 100, 100, 100));
    // A large unused stream at the end of the file, where the cut falls.
    std::string tail = Deflate(MakeSamples(200, 200, 3, 8, 63), 0);
    int nt = w.AddStream("/Type /EmbeddedFile", tail);
    w.MoveToEnd(nt);
    std::string full = w.Build();
    size_t cut = w.ObjectOffset(nt) + tail.size() / 2;
    FixturePdf f;
    f.bytes = full.substr(0, cut);
    f.pages = 1;
    f.images.push_back(Expect(1, "jpg", j, nj, "JPEG before the cut"));
    f.images.push_back(Expect(1, "png", r, nr, "Flate image before the cut"));
    return f;
}

FixturePdf MakeBrokenXrefPdf() {
    FixturePdf f = MakeLogoPdf(2);
    size_t xref = f.bytes.rfind("\nxref\n");
    size_t pos = f.bytes.find("0000000000 65535 f \n", xref);
    if (pos == std::string::npos)
        throw std::logic_error("MakeBrokenXrefPdf: no xref");
    pos += 20;
    // Shift every offset by 7 so that no entry points at its "N 0 obj".
    while (pos + 20 <= f.bytes.size() && f.bytes.compare(pos + 10, 9, " 00000 n ") == 0) {
        unsigned long long off = std::stoull(f.bytes.substr(pos, 10)) + 7;
        char entry[16];
        std::snprintf(entry, sizeof entry, "%010llu", off);
        f.bytes.replace(pos, 10, entry);
        pos += 20;
    }
    return f;
}

FixturePdf MakeLateRepairPdf() {
    const ImageObject photo = JpegImage(JpegKind::Rgb, 160, 120, 77);
    const std::string content = "q 400 0 0 300 72 300 cm /Im0 Do Q";
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /Im0 5 0 R >> >> "
        "/Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>stream\r" + content + "\nendstream",
        // The stated length cuts the JPEG short; the repair measures the stream.
        "<< " + photo.dict + " /Length " + std::to_string(photo.stream.size() * 2 / 3) + " >>stream\r" +
            photo.stream + "\nendstream",
    };
    std::string bytes = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(bytes.size());
        bytes += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    offsets[3] += 5;  // the content's entry misses its object
    const size_t xref = bytes.size();
    bytes += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        bytes += entry;
    }
    bytes += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
             std::to_string(xref) + "\n%%EOF\n";
    FixturePdf f;
    f.bytes = bytes;
    f.pages = 1;
    return f;
}

std::vector<std::pair<std::string, std::string>> MakeHostilePdfs() {
    std::vector<std::pair<std::string, std::string>> out;
    const ImageObject good = FlateImage(8, 8, "/DeviceRGB", 3, 8, 90);
    {
        PdfWriter w;
        int page = w.AddPage("<< >>", "0 0 1 rg 0 0 10 10 re f\n");
        w.SetPageTreeBody("<< /Type /Pages /Kids [" + Ref(w.PageTree()) + " " + Ref(page) + "] /Count 2 >>");
        out.emplace_back("page tree containing itself", w.Build());
    }
    {
        PdfWriter w;
        int page = w.AddPage("<< >>", "0 0 1 rg 0 0 10 10 re f\n");
        w.SetPageTreeBody("<< /Type /Pages /Kids [" + Ref(page) + "] /Count 2000000000 >>");
        out.emplace_back("absurd page count", w.Build());
    }
    {
        PdfWriter w;
        std::map<std::string, int> res;
        const char* dicts[] = {
            "/Type /XObject /Subtype /Image /Width -5 /Height 10 /ColorSpace /DeviceRGB /BitsPerComponent 8",
            "/Type /XObject /Subtype /Image /Width 10 /Height 0 /ColorSpace /DeviceRGB /BitsPerComponent 8",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace /DeviceRGB /BitsPerComponent 7",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace /NoSuchSpace /BitsPerComponent 8",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace /DeviceRGB /BitsPerComponent 8 "
            "/Decode [0 1]",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace [/Indexed /DeviceRGB 255 <00ff00>] "
            "/BitsPerComponent 8",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace /DeviceRGB /BitsPerComponent 8 "
            "/Filter /DCTDecode",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /Filter /JPXDecode",
            "/Type /XObject /Subtype /Image /Width 10 /Height 10 /ColorSpace /DeviceRGB /BitsPerComponent 8 "
            "/SMask 999 0 R /Filter /FlateDecode",
        };
        std::string content;
        int i = 0;
        for (const char* d : dicts) {
            std::string name = "Bad" + std::to_string(++i);
            res[name] = w.AddStream(d, std::string(40, '\x5a'));
            content += DrawXObject(name, 10 * i, 10, 10, 10);
        }
        res["Good"] = w.AddStream(good.dict, good.stream);
        res["Missing"] = 999;
        content += DrawXObject("Missing", 0, 0, 5, 5) + DrawXObject("Good", 200, 200, 50, 50);
        w.AddPage(XObjectResources(res), content);
        out.emplace_back("broken image dictionaries", w.Build());
    }
    {
        PdfWriter w;
        int self = w.Reserve();
        w.SetStream(self, good.dict + " /SMask " + Ref(self), good.stream);
        int mask_a = w.Reserve();
        int mask_b = w.Reserve();
        ImageObject m = SoftMaskImage(8, 8);
        w.SetStream(mask_a, m.dict + " /SMask " + Ref(mask_b), m.stream);
        w.SetStream(mask_b, m.dict + " /SMask " + Ref(mask_a), m.stream);
        int chained = w.AddStream(good.dict + " /SMask " + Ref(mask_a), good.stream);
        w.AddPage(XObjectResources({{"Self", self}, {"Chained", chained}}),
                  DrawXObject("Self", 10, 10, 50, 50) + DrawXObject("Chained", 100, 10, 50, 50));
        out.emplace_back("image that is its own soft mask", w.Build());
    }
    {
        PdfWriter w;
        int img = w.AddStream(good.dict, good.stream);
        std::string content(20000, 'q');
        std::string spaced;
        for (char c : content) {
            spaced += c;
            spaced += ' ';
        }
        w.AddPage(XObjectResources({{"Im", img}}), spaced + "50 0 0 50 0 0 cm /Im Do\n");
        out.emplace_back("deeply nested graphics states", w.Build());
    }
    {
        PdfWriter w;
        int img = w.AddStream(good.dict, good.stream);
        // Forms nested far deeper than any real file, each a distinct object.
        int inner = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources " +
                                    XObjectResources({{"Im", img}}),
                                "/Im Do\n");
        for (int i = 0; i < 300; ++i)
            inner = w.AddStream("/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources " +
                                    XObjectResources({{"F", inner}}),
                                "/F Do\n");
        w.AddPage(XObjectResources({{"F", inner}}), DrawXObject("F", 0, 0, 100, 100));
        out.emplace_back("forms nested 300 deep", w.Build());
    }
    {
        PdfWriter w;
        w.AddPage("<< /XObject 999 0 R >>", "/Im Do\n", 612, 792, "/Contents 998 0 R");
        out.emplace_back("missing resources and contents", w.Build());
    }
    {
        std::string pdf = MakeLogoPdf(2).bytes;
        // A stream /Length far beyond the end of the file.
        size_t pos = pdf.find("/Length ");
        pdf.replace(pos, 8, "/Length 99999999 ");
        out.emplace_back("stream length beyond the end", pdf);
    }
    return out;
}

namespace {

// zlib stream of `times` copies of `chunk`, without holding them all.
std::string DeflateRepeated(const std::string& chunk, int times) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (deflateInit(&zs, 6) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    std::string out;
    char buf[65536];
    for (int i = 0; i <= times; ++i) {
        const bool last = i == times;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
        zs.avail_in = last ? 0 : static_cast<uInt>(chunk.size());
        int rc;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buf);
            zs.avail_out = sizeof buf;
            rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(buf, sizeof buf - zs.avail_out);
        } while (last ? rc == Z_OK : zs.avail_out == 0);
    }
    deflateEnd(&zs);
    return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> MakeEndlessPagePdfs(const std::string& rgb) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string paint = rgb + " rg 0 0 612 792 re f\n";
    {
        PdfWriter w;
        std::string chunk = paint;
        for (int i = 0; i < 4000; ++i)
            chunk += "0 0 612 792 re f\n";
        // 170 MB of operators (ten million fills) in one stream, about 400 KB stored.
        const int contents = w.AddStream("/Filter /FlateDecode", DeflateRepeated(chunk, 2500));
        // The later /Contents entry replaces the one AddPage writes.
        w.AddPage("<< >>", "", 612, 792, "/Contents " + Ref(contents));
        out.emplace_back("content stream of ten million fills", w.Build());
    }
    {
        PdfWriter w;
        const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources ";
        int inner = w.AddStream(form + "<< >>", "0 0 612 792 re f\n");
        for (int level = 0; level < 9; ++level) {
            std::string draws;
            for (int i = 0; i < 10; ++i)
                draws += "/F Do\n";
            inner = w.AddStream(form + XObjectResources({{"F", inner}}), draws);
        }
        w.AddPage(XObjectResources({{"F", inner}}), paint + "/F Do\n");
        out.emplace_back("forms fanning out a billion times", w.Build());
    }
    {
        PdfWriter w;
        const int first = w.AddStream("", paint);
        const int fill = w.AddStream("/Filter /FlateDecode", Deflate("0 0 612 792 re f\n"));
        std::string contents = "/Contents [" + Ref(first);
        for (int i = 0; i < 50000; ++i)
            contents += " " + Ref(fill);
        w.AddPage("<< >>", "", 612, 792, contents + "]");
        out.emplace_back("content array naming one stream 50,000 times", w.Build());
    }
    return out;
}

FixturePdf MakeUndecodablePdf() {
    PdfWriter w;
    std::string garbage;
    for (int i = 0; i < 600; ++i)
        garbage.push_back(static_cast<char>(Hash(i, 7, 7)));
    int bad_flate = w.AddStream(ImageDict(30, 30, "/DeviceRGB", 8, "/FlateDecode"), garbage);
    // A real JPEG cut after its headers: the copy rule does not apply
    // (inverting /Decode), so it has to be decoded, and that fails.
    ImageObject cmyk = JpegImage(JpegKind::CmykPlainInverted, 40, 40, 8);
    int bad_jpeg = w.AddStream(cmyk.dict, cmyk.stream.substr(0, 200));
    ImageObject good = FlateImage(12, 10, "/DeviceRGB", 3, 8, 91);
    int good_num = w.AddStream(good.dict, good.stream);
    int bad_flate2 = w.AddStream(ImageDict(20, 20, "/DeviceGray", 8, "/FlateDecode"), garbage.substr(0, 100));
    w.AddPage(XObjectResources({{"B1", bad_flate}, {"B2", bad_jpeg}, {"Good", good_num}, {"B3", bad_flate2}}),
              DrawXObject("B1", 10, 10, 50, 50) + DrawXObject("B2", 100, 10, 50, 50) +
                  DrawXObject("Good", 200, 10, 50, 50) + DrawXObject("B3", 300, 10, 50, 50));
    FixturePdf f;
    f.bytes = w.Build();
    f.pages = 1;
    f.images.push_back(Expect(1, "png", good, good_num, "good image among undecodable ones"));
    return f;
}

namespace {

// `plain` written again by MuPDF, encrypted with AES-128.
std::string EncryptWithMuPdf(const std::string& plain, const std::string& user_password) {
    MuContext ctx(fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT));
    if (!ctx)
        throw std::runtime_error("MakeEncryptedPdf: no MuPDF context");
    fz_context* c = ctx.get();
    fz_stream* stm = nullptr;
    pdf_document* doc = nullptr;
    fz_buffer* buf = nullptr;
    fz_output* out = nullptr;
    std::string result;
    bool failed = false;
    fz_var(stm);
    fz_var(doc);
    fz_var(buf);
    fz_var(out);
    fz_try(c) {
        stm = fz_open_memory(c, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
        doc = pdf_open_document_with_stream(c, stm);
        pdf_write_options opts = pdf_default_write_options;
        opts.do_encrypt = PDF_ENCRYPT_AES_128;
        opts.permissions = -1;
        std::snprintf(opts.opwd_utf8, sizeof opts.opwd_utf8, "%s", "owner-secret");
        std::snprintf(opts.upwd_utf8, sizeof opts.upwd_utf8, "%s", user_password.c_str());
        buf = fz_new_buffer(c, plain.size() + 4096);
        out = fz_new_output_with_buffer(c, buf);
        pdf_write_document(c, doc, out, &opts);
        fz_close_output(c, out);
        unsigned char* data = nullptr;
        size_t len = fz_buffer_storage(c, buf, &data);
        result.assign(reinterpret_cast<char*>(data), len);
    }
    fz_always(c) {
        fz_drop_output(c, out);
        fz_drop_buffer(c, buf);
        pdf_drop_document(c, doc);
        fz_drop_stream(c, stm);
    }
    fz_catch(c) {
        failed = true;
    }
    if (failed)
        throw std::runtime_error("EncryptWithMuPdf: MuPDF could not write the file");
    return result;
}

}  // namespace

FixturePdf MakeEncryptedPdf(const std::string& user_password) {
    PdfWriter w;
    ImageObject j = JpegImage(JpegKind::Rgb, 48, 40, 71);
    ImageObject r = FlateImage(20, 20, "/DeviceRGB", 3, 8, 72);
    int nj = w.AddStream(j.dict, j.stream);
    int nr = w.AddStream(r.dict, r.stream);
    w.AddPage(XObjectResources({{"J", nj}, {"R", nr}}), DrawXObject("J", 72, 400, 240, 200) + DrawXObject("R", 72, 100, 100, 100));
    std::string plain = w.Build();
    const std::string result = EncryptWithMuPdf(plain, user_password);
    FixturePdf f;
    f.bytes = result;
    f.pages = 1;
    f.images.push_back(Expect(1, "jpg", j, nj, "JPEG in an encrypted file"));
    f.images.push_back(Expect(1, "png", r, nr, "Flate image in an encrypted file"));
    return f;
}

namespace {

// Glyph-like symbols: a frame with a deterministic pattern inside, heights
// never decreasing as a symbol dictionary wants them. A real scan's
// dictionary holds hundreds.
std::vector<jbig2::Bitmap> ScanGlyphs(int count) {
    std::vector<jbig2::Bitmap> glyphs;
    uint32_t state = 0x2545f491u;
    for (int i = 0; i < count; ++i) {
        jbig2::Bitmap g(5 + i * 7 % 9, 7 + 10 * i / count);
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x) {
                state = state * 1664525u + 1013904223u;
                const bool edge = x == 0 || y == 0 || x == g.width - 1 || y == g.height - 1;
                g.Set(x, y, (edge && (i + x + y) % 3 != 0) || (state >> 28) < 5);
            }
        glyphs.push_back(g);
    }
    return glyphs;
}

// Lines of text across a `width` x `height` page, different on every page.
std::vector<jbig2::Placement> ScanLines(const std::vector<jbig2::Bitmap>& glyphs, int width, int height, int page) {
    std::vector<jbig2::Placement> placed;
    uint32_t state = 0x9e3779b9u * static_cast<uint32_t>(page + 1);
    for (int top = 4; top + 18 <= height; top += 20) {
        for (int x = 3 + page % 7;;) {
            state = state * 1664525u + 1013904223u;
            const int symbol = static_cast<int>((state >> 16) % glyphs.size());
            const jbig2::Bitmap& g = glyphs[static_cast<size_t>(symbol)];
            if (x + g.width > width - 2)
                break;
            placed.push_back({symbol, x, top + 16 - g.height});  // on a common baseline
            x += g.width + 1 + static_cast<int>((state >> 20) % 3) + ((state >> 16) % 11 == 0 ? 6 : 0);
        }
    }
    return placed;
}

}  // namespace

Jbig2ScanPdf MakeSharedJbig2GlobalsPdf(int pages, bool backgrounds) {
    const int width = 960, height = 640;
    const std::vector<jbig2::Bitmap> glyphs = ScanGlyphs(240);
    PdfWriter w;
    const int globals = w.AddStream("", jbig2::EncodeGlobals(glyphs));
    Jbig2ScanPdf f;
    for (int p = 1; p <= pages; ++p) {
        const std::vector<jbig2::Placement> placed = ScanLines(glyphs, width, height, p);
        ImageObject stencil = MakeImage(width, height,
                                        ImageDict(width, height, "", 1, "/JBIG2Decode") +
                                            " /ImageMask true /DecodeParms << /JBIG2Globals " + Ref(globals) + " >>",
                                        jbig2::EncodePage(glyphs, width, height, placed));
        std::map<std::string, int> res;
        std::string content;
        if (backgrounds) {
            const ImageObject paper = JpegImage(JpegKind::Gray, width / 8, height / 8, 900 + static_cast<uint32_t>(p));
            res["Bg"] = w.AddStream(paper.dict, paper.stream);
            content += DrawXObject("Bg", 0, 0, width * 2, height * 2);
            f.images.push_back(Expect(p, "jpg", paper, res["Bg"], "background of page " + std::to_string(p)));
        }
        res["Text"] = w.AddStream(stencil.dict, stencil.stream);
        content += "0 g\n" + DrawXObject("Text", 0, 0, width * 2, height * 2);
        w.AddPage(XObjectResources(res), content, width * 2, height * 2);
        f.images.push_back(Expect(p, "png", stencil, res["Text"], "text of page " + std::to_string(p)));
        f.stencil_objects.push_back(res["Text"]);
        f.stencils.push_back(jbig2::RenderPage(glyphs, width, height, placed));
    }
    f.bytes = w.Build();
    f.pages = pages;
    return f;
}

// ---------------------------------------------------------------------------
// Files

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Md5Hex(const std::string& bytes) {
    fz_md5 state;
    unsigned char digest[16];
    fz_md5_init(&state);
    fz_md5_update(&state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    fz_md5_final(&state, digest);
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char d : digest) {
        s.push_back(digits[d >> 4]);
        s.push_back(digits[d & 15]);
    }
    return s;
}

TempDir::TempDir(const std::string& prefix) {
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // A test may have made a folder read-only; give the rights back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> ListFiles(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------
// Reading images back

namespace {

struct PngReadState {
    const std::string* data;
    size_t pos;
};

void PngReadData(png_structp png, png_bytep out, png_size_t len) {
    auto* st = static_cast<PngReadState*>(png_get_io_ptr(png));
    if (st->pos + len > st->data->size())
        png_error(png, "unexpected end of data");
    std::memcpy(out, st->data->data() + st->pos, len);
    st->pos += len;
}

void PngErrorFn(png_structp png, png_const_charp msg) {
    auto* err = static_cast<std::string*>(png_get_error_ptr(png));
    if (err)
        *err = msg;
    png_longjmp(png, 1);
}

void PngWarningFn(png_structp, png_const_charp) {}

}  // namespace

namespace {

struct TiffMemory {
    const std::string& bytes;
    size_t pos = 0;
};

tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t size) {
    auto* m = static_cast<TiffMemory*>(h);
    if (size <= 0 || m->pos >= m->bytes.size())
        return 0;
    size_t n = std::min(static_cast<size_t>(size), m->bytes.size() - m->pos);
    std::memcpy(buf, m->bytes.data() + m->pos, n);
    m->pos += n;
    return static_cast<tmsize_t>(n);
}
tmsize_t TiffNoWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t TiffSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<TiffMemory*>(h);
    uint64_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->bytes.size() : 0;
    m->pos = static_cast<size_t>(base + off);
    return m->pos;
}
int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t h) { return static_cast<TiffMemory*>(h)->bytes.size(); }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}

std::string SaveProfile(cmsHPROFILE profile) {
    std::string bytes;
    cmsUInt32Number size = 0;
    if (profile != nullptr && cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
            bytes.clear();
    }
    if (profile != nullptr)
        cmsCloseProfile(profile);
    return bytes;
}

void Describe(cmsHPROFILE profile, const std::string& description) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", description.c_str());
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
}

// Splits a PNG into its chunks: (type, data).
std::vector<std::pair<std::string, std::string>> PngChunks(const std::string& png) {
    std::vector<std::pair<std::string, std::string>> chunks;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(png.data() + pos);
        const size_t length = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
        if (pos + 12 + length > png.size())
            break;
        chunks.emplace_back(png.substr(pos + 4, 4), png.substr(pos + 8, length));
        pos += 12 + length;
    }
    return chunks;
}

}  // namespace

bool DecodeTiff(const std::string& bytes, TiffImage* out, std::string* error) {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    TiffMemory memory{bytes};
    TIFF* tif = TIFFClientOpen("memory.tif", "rm", &memory, TiffRead, TiffNoWrite, TiffSeek, TiffClose, TiffSize,
                               TiffMap, TiffUnmap);
    auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = why;
        if (tif != nullptr)
            TIFFClose(tif);
        return false;
    };
    if (tif == nullptr)
        return fail("not a TIFF");
    TiffImage img;
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 0, photometric = 0, compression = 0, planar = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    img.width = static_cast<int>(w);
    img.height = static_cast<int>(h);
    img.bits = bits;
    img.samples_per_pixel = spp;
    img.photometric = photometric;
    img.compression = compression;
    uint16_t inkset = 0, predictor = 0;
    if (TIFFGetField(tif, TIFFTAG_INKSET, &inkset))
        img.inkset = inkset;
    if (TIFFGetField(tif, TIFFTAG_PREDICTOR, &predictor))
        img.predictor = predictor;
    float xres = 0, yres = 0;
    uint16_t unit = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres)) {
        img.x_resolution = xres;
        img.y_resolution = yres;
    }
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit))
        img.resolution_unit = unit;
    uint16_t extra_count = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra) && extra_count == 1)
        img.unassociated_alpha = extra[0] == EXTRASAMPLE_UNASSALPHA;
    uint32_t icc_size = 0;
    void* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &icc_size, &icc) && icc != nullptr)
        img.icc_profile.assign(static_cast<const char*>(icc), icc_size);
    if (w == 0 || h == 0 || (bits != 8 && bits != 16) || spp == 0 || planar != PLANARCONFIG_CONTIG)
        return fail("unexpected layout");
    const tmsize_t line = TIFFScanlineSize(tif);
    if (line != static_cast<tmsize_t>(size_t(w) * spp * bits / 8))
        return fail("unexpected scanline size");
    std::vector<uint8_t> row(static_cast<size_t>(line));
    img.samples.reserve(size_t(w) * h * spp);
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) < 0)
            return fail("cannot read row " + std::to_string(y));
        for (size_t i = 0; i < size_t(w) * spp; ++i) {
            uint16_t v = 0;
            if (bits == 16)
                std::memcpy(&v, row.data() + 2 * i, 2);
            else
                v = row[i];
            img.samples.push_back(v);
        }
    }
    TIFFClose(tif);
    tif = nullptr;
    if (photometric == PHOTOMETRIC_SEPARATED && spp >= 4 && bits == 8) {
        img.rgba.resize(size_t(w) * h * 4);
        for (size_t i = 0; i < size_t(w) * h; ++i) {
            const uint16_t* p = &img.samples[i * spp];
            for (int c = 0; c < 3; ++c)
                img.rgba[i * 4 + c] = static_cast<uint8_t>(255 - std::min(255, p[c] + p[3]));
            img.rgba[i * 4 + 3] = spp > 4 ? static_cast<uint8_t>(p[4]) : 255;
        }
    }
    *out = std::move(img);
    return true;
}

std::string PngIccProfile(const std::string& png_bytes) {
    for (const auto& [type, data] : PngChunks(png_bytes)) {
        if (type != "iCCP")
            continue;
        const size_t name_end = data.find('\0');
        if (name_end == std::string::npos || name_end + 2 > data.size() || data[name_end + 1] != 0)
            return std::string();
        return Inflate(data.substr(name_end + 2));
    }
    return std::string();
}

bool PngHasSrgbChunk(const std::string& png_bytes) {
    for (const auto& chunk : PngChunks(png_bytes))
        if (chunk.first == "sRGB")
            return true;
    return false;
}

std::string MakeSrgbProfile() { return SaveProfile(cmsCreate_sRGBProfile()); }

std::string MakeGrayProfile() {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsFreeToneCurve(gamma);
    return SaveProfile(profile);
}

std::string MakeCmykProfile(const std::string& description) {
    // An output profile of the simplest ink model: the AToB0 table maps CMYK
    // to Lab through a 2-point grid per ink.
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* a2b = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 2, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) -> cmsInt32Number {
        cmsCIELab lab;
        const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
        lab.L = 100.0 * (1 - k) * (1 - 0.3 * c) * (1 - 0.5 * m) * (1 - 0.1 * y);
        lab.a = 60.0 * m - 30.0 * c;
        lab.b = 70.0 * y - 40.0 * c;
        cmsFloat2LabEncoded(out, &lab);
        return 1;
    }, nullptr, 0);
    // The v4 table type wants curves around the grid: identity ones.
    cmsPipelineInsertStage(a2b, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(a2b, cmsAT_END, clut);
    cmsPipelineInsertStage(a2b, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, a2b);
    cmsPipelineFree(a2b);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    Describe(profile, description);
    return SaveProfile(profile);
}

bool DecodePng(const std::string& bytes, PngImage* out, std::string* error) {
    std::string err_text;
    if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) != 0) {
        if (error)
            *error = "not a PNG signature";
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err_text, PngErrorFn, PngWarningFn);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (error)
            *error = "libpng set-up failed";
        return false;
    }
    PngReadState state{&bytes, 0};
    // Everything the jump can skip lives in heap memory owned outside this frame.
    auto raw = std::make_unique<std::vector<uint8_t>>();
    auto rows = std::make_unique<std::vector<png_bytep>>();
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (error)
            *error = err_text.empty() ? "libpng error" : err_text;
        return false;
    }
    png_set_read_fn(png, &state, PngReadData);
    png_read_info(png, info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, ctype = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &ctype, &interlace, nullptr, nullptr);
    if (interlace != PNG_INTERLACE_NONE)
        png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowbytes = png_get_rowbytes(png, info);
    raw->resize(rowbytes * h);
    rows->resize(h);
    for (png_uint_32 y = 0; y < h; ++y)
        (*rows)[y] = raw->data() + rowbytes * y;
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);

    png_colorp palette = nullptr;
    int num_palette = 0;
    if (ctype == PNG_COLOR_TYPE_PALETTE)
        png_get_PLTE(png, info, &palette, &num_palette);
    png_bytep trans_alpha = nullptr;
    int num_trans = 0;
    png_color_16p trans_color = nullptr;
    bool has_trns = png_get_tRNS(png, info, &trans_alpha, &num_trans, &trans_color) != 0;

    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    out->bit_depth = depth;
    out->color_type = ctype;
    out->has_trns = has_trns;
    out->palette_size = num_palette;
    out->rgba.assign(static_cast<size_t>(w) * h * 4, 0);
    out->samples16.clear();

    const int channels = png_get_channels(png, info);
    const int maxval = depth == 16 ? 65535 : (1 << depth) - 1;
    auto sample = [&](const uint8_t* row, size_t idx) -> int {
        if (depth == 8)
            return row[idx];
        if (depth == 16)
            return (row[idx * 2] << 8) | row[idx * 2 + 1];
        size_t bit = idx * depth;
        return (row[bit / 8] >> (8 - depth - bit % 8)) & maxval;
    };
    auto to8 = [&](int v) -> uint8_t {
        if (depth == 16)
            return static_cast<uint8_t>(v >> 8);
        return static_cast<uint8_t>(v * 255 / maxval);
    };
    for (png_uint_32 y = 0; y < h; ++y) {
        const uint8_t* row = (*rows)[y];
        for (png_uint_32 x = 0; x < w; ++x) {
            uint8_t* px = &out->rgba[(static_cast<size_t>(y) * w + x) * 4];
            int v[4] = {0, 0, 0, 0};
            for (int c = 0; c < channels; ++c) {
                v[c] = sample(row, static_cast<size_t>(x) * channels + c);
                if (depth == 16)
                    out->samples16.push_back(static_cast<uint16_t>(v[c]));
            }
            switch (ctype) {
            case PNG_COLOR_TYPE_GRAY:
                px[0] = px[1] = px[2] = to8(v[0]);
                px[3] = (has_trns && trans_color && v[0] == trans_color->gray) ? 0 : 255;
                break;
            case PNG_COLOR_TYPE_GRAY_ALPHA:
                px[0] = px[1] = px[2] = to8(v[0]);
                px[3] = to8(v[1]);
                break;
            case PNG_COLOR_TYPE_RGB:
                px[0] = to8(v[0]);
                px[1] = to8(v[1]);
                px[2] = to8(v[2]);
                px[3] = (has_trns && trans_color && v[0] == trans_color->red && v[1] == trans_color->green &&
                         v[2] == trans_color->blue)
                            ? 0
                            : 255;
                break;
            case PNG_COLOR_TYPE_RGB_ALPHA:
                px[0] = to8(v[0]);
                px[1] = to8(v[1]);
                px[2] = to8(v[2]);
                px[3] = to8(v[3]);
                break;
            case PNG_COLOR_TYPE_PALETTE:
                if (v[0] < num_palette) {
                    px[0] = palette[v[0]].red;
                    px[1] = palette[v[0]].green;
                    px[2] = palette[v[0]].blue;
                }
                px[3] = (has_trns && v[0] < num_trans) ? trans_alpha[v[0]] : 255;
                break;
            default: break;
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::vector<uint8_t> DrawImageWithMupdf(const std::string& pdf_bytes, int object, int* width, int* height,
                                        const std::string& password, uint32_t stencil_rgb) {
    std::vector<uint8_t> rgba;
    MuContext ctx(fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT));
    if (!ctx)
        return rgba;
    fz_context* c = ctx.get();
    fz_stream* stm = nullptr;
    pdf_document* doc = nullptr;
    pdf_obj* ref = nullptr;
    fz_image* img = nullptr;
    fz_pixmap* dst = nullptr;
    fz_device* dev = nullptr;
    fz_var(stm);
    fz_var(doc);
    fz_var(ref);
    fz_var(img);
    fz_var(dst);
    fz_var(dev);
    int w = 0, h = 0;
    bool ok = false;
    fz_var(w);
    fz_var(h);
    fz_var(ok);
    fz_try(c) {
        stm = fz_open_memory(c, reinterpret_cast<const unsigned char*>(pdf_bytes.data()), pdf_bytes.size());
        doc = pdf_open_document_with_stream(c, stm);
        if (pdf_needs_password(c, doc))
            pdf_authenticate_password(c, doc, password.c_str());
        ref = pdf_new_indirect(c, doc, object, 0);
        img = pdf_load_image(c, doc, ref);
        w = img->w;
        h = img->h;
        dst = fz_new_pixmap(c, fz_device_rgb(c), w, h, nullptr, 1);
        fz_clear_pixmap(c, dst);
        dev = fz_new_draw_device(c, fz_identity, dst);
        // In fitz the unit square maps the first image row to y = 0, so a plain
        // scale draws the image upright.
        fz_matrix m = fz_scale(static_cast<float>(w), static_cast<float>(h));
        if (img->imagemask) {
            float color[3] = {((stencil_rgb >> 16) & 255) / 255.0f, ((stencil_rgb >> 8) & 255) / 255.0f,
                              (stencil_rgb & 255) / 255.0f};
            fz_fill_image_mask(c, dev, img, m, fz_device_rgb(c), color, 1, fz_default_color_params);
        } else if (img->mask) {
            fz_clip_image_mask(c, dev, img->mask, m, fz_infinite_rect);
            fz_fill_image(c, dev, img, m, 1, fz_default_color_params);
            fz_pop_clip(c, dev);
        } else {
            fz_fill_image(c, dev, img, m, 1, fz_default_color_params);
        }
        fz_close_device(c, dev);
        const unsigned char* s = fz_pixmap_samples(c, dst);
        const int stride = fz_pixmap_stride(c, dst);
        rgba.resize(static_cast<size_t>(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned char* p = s + static_cast<size_t>(y) * stride + x * 4;
                uint8_t* q = &rgba[(static_cast<size_t>(y) * w + x) * 4];
                int a = p[3];
                for (int k = 0; k < 3; ++k)
                    q[k] = a ? static_cast<uint8_t>(std::min(255, (p[k] * 255 + a / 2) / a)) : 0;
                q[3] = static_cast<uint8_t>(a);
            }
        ok = true;
    }
    fz_always(c) {
        fz_drop_device(c, dev);
        fz_drop_pixmap(c, dst);
        fz_drop_image(c, img);
        pdf_drop_obj(c, ref);
        pdf_drop_document(c, doc);
        fz_drop_stream(c, stm);
    }
    fz_catch(c) {
        ok = false;
    }
    if (!ok)
        rgba.clear();
    if (width)
        *width = ok ? w : 0;
    if (height)
        *height = ok ? h : 0;
    return rgba;
}

int MaxRgbaDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size())
        return 256;
    int worst = 0;
    for (size_t i = 0; i + 3 < a.size(); i += 4) {
        worst = std::max(worst, std::abs(int(a[i + 3]) - int(b[i + 3])));
        // Un-premultiplying loses colour precision at low alpha: compare colour
        // only where both are clearly visible.
        if (a[i + 3] >= 64 && b[i + 3] >= 64)
            for (int k = 0; k < 3; ++k)
                worst = std::max(worst, std::abs(int(a[i + k]) - int(b[i + k])));
    }
    return worst;
}

// ---------------------------------------------------------------------------
// Running the PDF service

std::string ImageName(const std::string& stem, int page, int index, const std::string& ext, int copy,
                      int page_digits, int index_digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "-%0*d-%0*d", page_digits, page, index_digits, index);
    std::string name = stem + buf;
    if (copy >= 2)
        name += " (" + std::to_string(copy) + ")";
    return name + "." + ext;
}

std::vector<std::string> ExpectedNames(const FixturePdf& pdf, const std::string& stem, const std::set<int>& pages) {
    // Both numbers are padded to the digits of the largest among the file's
    // names: the page count, and the count of images written for the page.
    const auto digits = [](int largest, int at_least) {
        return std::max(at_least, static_cast<int>(std::to_string(largest).size()));
    };
    std::map<int, int> on_page;
    for (const auto& img : pdf.images)
        ++on_page[img.page];
    std::map<int, int> per_page;
    std::vector<std::string> names;
    for (const auto& img : pdf.images) {
        if (!pages.empty() && pages.count(img.page) == 0)
            continue;
        names.push_back(ImageName(stem, img.page, ++per_page[img.page], img.ext, 1, digits(pdf.pages, 3),
                                  digits(on_page[img.page], 2)));
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

struct ProgressContext {
    ExtractRun* run;
    const ProgressHook* hook;
};

int ProgressTrampoline(void* context, int done, int total) {
    auto* pc = static_cast<ProgressContext*>(context);
    pc->run->progress.emplace_back(done, total);
    return (pc->hook && *pc->hook) ? (*pc->hook)(done, total) : 0;
}

}  // namespace

ExtractRun RunExtract(const std::string& source, const std::string& range, const std::string& output_dir,
                      const ProgressHook& hook) {
    ExtractRun run;
    PdfServiceTable table;
    std::memset(&table, 0, sizeof table);
    if (CreatePdfService(&table) != 0 || !table.ExtractImages) {
        run.result = -100;
        return run;
    }
    ProgressContext pc{&run, &hook};
    run.result = table.ExtractImages(source.c_str(), range.c_str(), output_dir.c_str(), &pc, ProgressTrampoline);
    FreePdfService(&table);
    return run;
}

std::vector<std::string> StrayFiles(const std::filesystem::path& dir) {
    static const std::regex final_name(R"(.+-\d{3,}-\d{2,}( \(\d+\))?\.(png|jpg|jp2|tif))");
    std::vector<std::string> stray;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!std::regex_match(name, final_name) || name[0] == '.')
            stray.push_back(name);
    }
    std::sort(stray.begin(), stray.end());
    return stray;
}

}  // namespace fixtures
