#include "support/jbig2_writer.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace fixtures::jbig2 {
namespace {

// The probability estimation table: Qe, next index after an MPS, after an
// LPS, and whether an LPS swaps the MPS.
struct QeEntry {
    uint16_t qe;
    uint8_t nmps;
    uint8_t nlps;
    uint8_t swap;
};
constexpr QeEntry kQe[47] = {
    {0x5601, 1, 1, 1},   {0x3401, 2, 6, 0},   {0x1801, 3, 9, 0},   {0x0AC1, 4, 12, 0},  {0x0521, 5, 29, 0},
    {0x0221, 38, 33, 0}, {0x5601, 7, 6, 1},   {0x5401, 8, 14, 0},  {0x4801, 9, 14, 0},  {0x3801, 10, 14, 0},
    {0x3001, 11, 17, 0}, {0x2401, 12, 18, 0}, {0x1C01, 13, 20, 0}, {0x1601, 29, 21, 0}, {0x5601, 15, 14, 1},
    {0x5401, 16, 14, 0}, {0x5101, 17, 15, 0}, {0x4801, 18, 16, 0}, {0x3801, 19, 17, 0}, {0x3401, 20, 18, 0},
    {0x3001, 21, 19, 0}, {0x2801, 22, 19, 0}, {0x2401, 23, 20, 0}, {0x2201, 24, 21, 0}, {0x1C01, 25, 22, 0},
    {0x1801, 26, 23, 0}, {0x1601, 27, 24, 0}, {0x1401, 28, 25, 0}, {0x1201, 29, 26, 0}, {0x1101, 30, 27, 0},
    {0x0AC1, 31, 28, 0}, {0x09C1, 32, 29, 0}, {0x08A1, 33, 30, 0}, {0x0521, 34, 31, 0}, {0x0441, 35, 32, 0},
    {0x02A1, 36, 33, 0}, {0x0221, 37, 34, 0}, {0x0141, 38, 35, 0}, {0x0111, 39, 36, 0}, {0x0085, 40, 37, 0},
    {0x0049, 41, 38, 0}, {0x0025, 42, 39, 0}, {0x0015, 43, 40, 0}, {0x0009, 44, 41, 0}, {0x0005, 45, 42, 0},
    {0x0001, 45, 43, 0}, {0x5601, 46, 46, 0},
};

enum SegmentType : uint8_t {
    kSymbolDictionary = 0,
    kImmediateTextRegion = 6,
    kPageInformation = 48,
    kEndOfPage = 49,
};

constexpr uint32_t kGlobalsSegment = 0;

void Put32(std::string& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xff));
}

void Put16(std::string& out, uint16_t v)
{
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xff));
}

// A segment header (short form: at most four referred-to segments, numbers
// below 256, a one-byte page association) followed by the data.
std::string Segment(uint32_t number, SegmentType type, uint8_t page, const std::vector<uint32_t>& refers_to,
                    bool retain, const std::string& data)
{
    std::string out;
    Put32(out, number);
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>((refers_to.size() << 5) | (retain ? 1u : 0u)));
    for (uint32_t r : refers_to)
        out.push_back(static_cast<char>(r));
    out.push_back(static_cast<char>(page));
    Put32(out, static_cast<uint32_t>(data.size()));
    return out + data;
}

// Generic region coding, template 0 with the nominal adaptive pixels (3,-1),
// (-3,-1), (2,-2), (-2,-2): the context is the 16 pixels above and to the
// left. A decoder may number the contexts in its own order; only the set of
// pixels matters.
void EncodeGenericTemplate0(MqEncoder& mq, std::vector<MqEncoder::Context>& gb, const Bitmap& bm)
{
    for (int y = 0; y < bm.height; ++y)
        for (int x = 0; x < bm.width; ++x) {
            const unsigned cx =
                bm.At(x - 1, y) | bm.At(x - 2, y) << 1 | bm.At(x - 3, y) << 2 | bm.At(x - 4, y) << 3 |
                bm.At(x + 3, y - 1) << 4 | bm.At(x + 2, y - 1) << 5 | bm.At(x + 1, y - 1) << 6 |
                bm.At(x, y - 1) << 7 | bm.At(x - 1, y - 1) << 8 | bm.At(x - 2, y - 1) << 9 |
                bm.At(x - 3, y - 1) << 10 | bm.At(x + 2, y - 2) << 11 | bm.At(x + 1, y - 2) << 12 |
                bm.At(x, y - 2) << 13 | bm.At(x - 1, y - 2) << 14 | bm.At(x - 2, y - 2) << 15;
            mq.Encode(gb[cx], bm.At(x, y));
        }
}

std::vector<MqEncoder::Context> IntegerContexts() { return std::vector<MqEncoder::Context>(512); }

}  // namespace

MqEncoder::MqEncoder() : out_(1, '\0') {}

void MqEncoder::Encode(Context& cx, int bit)
{
    const QeEntry& q = kQe[cx.index];
    a_ -= q.qe;
    if (bit == cx.mps) {
        if ((a_ & 0x8000) != 0) {
            c_ += q.qe;
            return;
        }
        if (a_ < q.qe)
            a_ = q.qe;
        else
            c_ += q.qe;
        cx.index = q.nmps;
    } else {
        if (a_ < q.qe)
            c_ += q.qe;
        else
            a_ = q.qe;
        if (q.swap)
            cx.mps = static_cast<uint8_t>(1 - cx.mps);
        cx.index = q.nlps;
    }
    Renormalise();
}

void MqEncoder::Renormalise()
{
    do {
        a_ <<= 1;
        c_ <<= 1;
        if (--ct_ == 0)
            ByteOut();
    } while ((a_ & 0x8000) == 0);
}

void MqEncoder::ByteOut()
{
    auto& b = reinterpret_cast<unsigned char&>(out_.back());
    bool stuffed = b == 0xff;
    if (!stuffed && c_ >= 0x8000000) {
        // The carry goes into the byte already written.
        ++b;
        if (b == 0xff) {
            c_ &= 0x7ffffff;
            stuffed = true;
        }
    }
    if (stuffed) {
        // After 0xFF only seven bits follow, so no marker can appear.
        out_.push_back(static_cast<char>((c_ >> 20) & 0xff));
        c_ &= 0xfffff;
        ct_ = 7;
    } else {
        out_.push_back(static_cast<char>((c_ >> 19) & 0xff));
        c_ &= 0x7ffff;
        ct_ = 8;
    }
}

std::string MqEncoder::Finish()
{
    const uint32_t top = c_ + a_;
    c_ |= 0xffff;
    if (c_ >= top)
        c_ -= 0x8000;
    c_ <<= ct_;
    ByteOut();
    c_ <<= ct_;
    ByteOut();
    if (static_cast<unsigned char>(out_.back()) != 0xff)
        out_.push_back(static_cast<char>(0xff));
    out_.push_back(static_cast<char>(0xac));
    std::string data = out_.substr(1);
    out_.assign(1, '\0');
    a_ = 0x8000;
    c_ = 0;
    ct_ = 12;
    return data;
}

void MqEncoder::EncodeIntegerParts(std::vector<Context>& iax, int sign, uint32_t magnitude)
{
    unsigned prev = 1;
    auto bit = [&](int d) {
        Encode(iax[prev], d);
        prev = prev < 256 ? (prev << 1) | d : (((prev << 1) | d) & 511) | 256;
    };
    // Prefix length in ones, value bits, and the first value of each range.
    struct Range {
        int ones;
        int bits;
        uint32_t base;
    };
    static constexpr Range kRanges[] = {{0, 2, 0}, {1, 4, 4}, {2, 6, 20}, {3, 8, 84}, {4, 12, 340}, {5, 32, 4436}};
    bit(sign);
    size_t r = 0;
    while (r + 1 < std::size(kRanges) && magnitude >= kRanges[r + 1].base)
        ++r;
    for (int i = 0; i < kRanges[r].ones; ++i)
        bit(1);
    if (kRanges[r].ones < 5)
        bit(0);
    const uint32_t rest = magnitude - kRanges[r].base;
    for (int i = kRanges[r].bits - 1; i >= 0; --i)
        bit(static_cast<int>((rest >> i) & 1));
}

void MqEncoder::EncodeInteger(std::vector<Context>& iax, int value)
{
    EncodeIntegerParts(iax, value < 0 ? 1 : 0, static_cast<uint32_t>(value < 0 ? -value : value));
}

void MqEncoder::EncodeOob(std::vector<Context>& iax) { EncodeIntegerParts(iax, 1, 0); }

void MqEncoder::EncodeId(std::vector<Context>& iaid, int bits, int id)
{
    unsigned prev = 1;
    for (int i = bits - 1; i >= 0; --i) {
        const int d = (id >> i) & 1;
        Encode(iaid[prev], d);
        prev = (prev << 1) | d;
    }
}

std::string EncodeGlobals(const std::vector<Bitmap>& symbols)
{
    for (size_t i = 0; i < symbols.size(); ++i) {
        if (symbols[i].width <= 0 || symbols[i].height <= 0)
            throw std::invalid_argument("jbig2: empty symbol");
        if (i > 0 && symbols[i].height < symbols[i - 1].height)
            throw std::invalid_argument("jbig2: symbols must be sorted by height");
    }
    const uint32_t count = static_cast<uint32_t>(symbols.size());
    std::string data;
    Put16(data, 0);  // arithmetic, no refinement, template 0, contexts neither used nor kept
    const char at[] = {3, -1, -3, -1, 2, -2, -2, -2};
    data.append(at, sizeof at);
    Put32(data, count);  // exported
    Put32(data, count);  // new

    MqEncoder mq;
    auto iadh = IntegerContexts();
    auto iadw = IntegerContexts();
    auto iaex = IntegerContexts();
    std::vector<MqEncoder::Context> gb(size_t(1) << 16);  // one set for the whole dictionary
    int class_height = 0;
    for (size_t i = 0; i < symbols.size();) {
        const int height = symbols[i].height;
        mq.EncodeInteger(iadh, height - class_height);
        class_height = height;
        int width = 0;
        for (; i < symbols.size() && symbols[i].height == height; ++i) {
            mq.EncodeInteger(iadw, symbols[i].width - width);
            width = symbols[i].width;
            EncodeGenericTemplate0(mq, gb, symbols[i]);
        }
        mq.EncodeOob(iadw);
    }
    // Export flags as run lengths: none not exported, then all.
    mq.EncodeInteger(iaex, 0);
    mq.EncodeInteger(iaex, static_cast<int>(count));
    data += mq.Finish();
    return Segment(kGlobalsSegment, kSymbolDictionary, 0, {}, true, data);
}

std::string EncodePage(const std::vector<Bitmap>& symbols, int width, int height,
                       const std::vector<Placement>& placements)
{
    const uint8_t page = 1;
    std::string info;
    Put32(info, static_cast<uint32_t>(width));
    Put32(info, static_cast<uint32_t>(height));
    Put32(info, 0);  // resolution unknown
    Put32(info, 0);
    info.push_back(1);  // eventually lossless; default pixel 0; OR
    Put16(info, 0);     // not striped

    std::string region;
    Put32(region, static_cast<uint32_t>(width));
    Put32(region, static_cast<uint32_t>(height));
    Put32(region, 0);
    Put32(region, 0);
    region.push_back(0);  // OR onto the page
    // Arithmetic, no refinement, one row per strip, reference corner top
    // left, not transposed, OR, default pixel 0, no S offset.
    Put16(region, 1u << 4);
    Put32(region, static_cast<uint32_t>(placements.size()));

    int code_bits = 0;
    while ((size_t(1) << code_bits) < symbols.size())
        ++code_bits;
    MqEncoder mq;
    auto iadt = IntegerContexts();
    auto iafs = IntegerContexts();
    auto iads = IntegerContexts();
    std::vector<MqEncoder::Context> iaid(size_t(1) << code_bits);
    // Strips of one row: every symbol whose top is on that row, left to right.
    std::map<int, std::vector<Placement>> strips;
    for (const Placement& p : placements) {
        if (p.symbol < 0 || static_cast<size_t>(p.symbol) >= symbols.size())
            throw std::invalid_argument("jbig2: no such symbol");
        strips[p.y].push_back(p);
    }
    mq.EncodeInteger(iadt, 0);  // STRIPT starts at 0
    int strip_t = 0;
    int first_s = 0;
    for (auto& [t, row] : strips) {
        std::stable_sort(row.begin(), row.end(), [](const Placement& a, const Placement& b) { return a.x < b.x; });
        mq.EncodeInteger(iadt, t - strip_t);
        strip_t = t;
        int cur_s = 0;
        for (size_t k = 0; k < row.size(); ++k) {
            if (k == 0) {
                mq.EncodeInteger(iafs, row[k].x - first_s);
                first_s = row[k].x;
            } else {
                mq.EncodeInteger(iads, row[k].x - cur_s);
            }
            mq.EncodeId(iaid, code_bits, row[k].symbol);
            cur_s = row[k].x + symbols[static_cast<size_t>(row[k].symbol)].width - 1;
        }
        mq.EncodeOob(iads);  // end of strip
    }
    region += mq.Finish();

    return Segment(1, kPageInformation, page, {}, false, info) +
           Segment(2, kImmediateTextRegion, page, {kGlobalsSegment}, false, region) +
           Segment(3, kEndOfPage, page, {}, false, std::string());
}

Bitmap RenderPage(const std::vector<Bitmap>& symbols, int width, int height,
                  const std::vector<Placement>& placements)
{
    Bitmap page(width, height);
    for (const Placement& p : placements) {
        const Bitmap& s = symbols.at(static_cast<size_t>(p.symbol));
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x)
                if (s.At(x, y) && p.x + x >= 0 && p.x + x < width && p.y + y >= 0 && p.y + y < height)
                    page.Set(p.x + x, p.y + y, 1);
    }
    return page;
}

}  // namespace fixtures::jbig2
