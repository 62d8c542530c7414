#include "pdf/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace kestran::pdf {

namespace {

constexpr size_t kOutBlock = size_t(1) << 16;

struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

// libjpeg ends a failing call through error_exit, which must not return:
// back to the setjmp of the call that failed, with no C++ frame between.
void ErrorExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

void NoMessage(j_common_ptr) {}

}  // namespace

struct JpegStreamEncoder::State {
    jpeg_compress_struct cinfo{};
    ErrorJump error{};
    jpeg_destination_mgr dest{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kOutBlock);
    JpegSink sink;
    JpegFormat format;
    bool created = false;
    bool failed = false;
    uint32_t rows_done = 0;
    PixelHasher hasher;
    PixelHash* pixels = nullptr;

    // Apart from AddRows, so that no local of the function that called
    // setjmp changes after it.
    static void WriteRows(State& s, const uint8_t* rows, size_t stride, size_t count)
    {
        const size_t row_bytes = size_t(s.format.width) * static_cast<size_t>(s.format.components);
        for (size_t r = 0; r < count && !s.failed; ++r) {
            JSAMPROW row = const_cast<JSAMPROW>(rows + r * stride);
            jpeg_write_scanlines(&s.cinfo, &row, 1);
            s.hasher.Add(rows + r * stride, row_bytes);
            ++s.rows_done;
        }
    }

    static State* Of(j_compress_ptr cinfo) { return static_cast<State*>(cinfo->client_data); }

    static void InitDestination(j_compress_ptr cinfo)
    {
        State* s = Of(cinfo);
        cinfo->dest->next_output_byte = s->buffer.data();
        cinfo->dest->free_in_buffer = s->buffer.size();
    }
    // A sink that refuses ends the file: the rest is compressed into the
    // buffer and dropped, and the encoder answers false.
    static boolean EmptyBuffer(j_compress_ptr cinfo)
    {
        State* s = Of(cinfo);
        if (!s->failed && !s->sink(s->buffer.data(), s->buffer.size()))
            s->failed = true;
        InitDestination(cinfo);
        return TRUE;
    }
    static void TermDestination(j_compress_ptr cinfo)
    {
        State* s = Of(cinfo);
        const size_t used = s->buffer.size() - cinfo->dest->free_in_buffer;
        if (!s->failed && used > 0 && !s->sink(s->buffer.data(), used))
            s->failed = true;
    }
};

JpegStreamEncoder::JpegStreamEncoder(const JpegFormat& format, JpegSink sink, PixelHash* pixels)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.sink = std::move(sink);
    s.format = format;
    s.pixels = pixels;
    if (format.width == 0 || format.height == 0 || format.width > JPEG_MAX_DIMENSION ||
        format.height > JPEG_MAX_DIMENSION || (format.components != 1 && format.components != 3)) {
        s.failed = true;
        return;
    }
    s.cinfo.err = jpeg_std_error(&s.error.mgr);
    s.error.mgr.error_exit = ErrorExit;
    s.error.mgr.output_message = NoMessage;
    if (setjmp(s.error.jump)) {
        s.failed = true;
        return;
    }
    jpeg_create_compress(&s.cinfo);
    s.created = true;
    s.cinfo.client_data = &s;
    s.dest.init_destination = State::InitDestination;
    s.dest.empty_output_buffer = State::EmptyBuffer;
    s.dest.term_destination = State::TermDestination;
    s.cinfo.dest = &s.dest;
    s.cinfo.image_width = format.width;
    s.cinfo.image_height = format.height;
    s.cinfo.input_components = format.components;
    s.cinfo.in_color_space = format.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, format.quality, TRUE);
    // Standard Huffman tables: optimised ones need a first pass over the
    // whole image's coefficients, held in memory, which a large image
    // written by rows must not need.
    s.cinfo.optimize_coding = FALSE;
    if (format.components == 3) {
        const int luma = format.full_chroma ? 1 : 2;
        s.cinfo.comp_info[0].h_samp_factor = luma;
        s.cinfo.comp_info[0].v_samp_factor = luma;
        for (int c = 1; c < 3; ++c) {
            s.cinfo.comp_info[c].h_samp_factor = 1;
            s.cinfo.comp_info[c].v_samp_factor = 1;
        }
    }
    jpeg_start_compress(&s.cinfo, TRUE);
    // What the file shows is decided by the rows and these settings alone.
    s.hasher.Add(reinterpret_cast<const uint8_t*>("jpeg"), 4);
    s.hasher.AddNumber(format.width);
    s.hasher.AddNumber(format.height);
    s.hasher.AddNumber(static_cast<uint64_t>(format.components));
    s.hasher.AddNumber(static_cast<uint64_t>(format.quality));
    s.hasher.AddNumber(format.full_chroma ? 1 : 0);
}

JpegStreamEncoder::~JpegStreamEncoder()
{
    if (state_->created)
        jpeg_destroy_compress(&state_->cinfo);
}

bool JpegStreamEncoder::AddRows(const uint8_t* rows, size_t stride, size_t count)
{
    State& s = *state_;
    if (s.failed || count > s.format.height - s.rows_done)
        return false;
    if (setjmp(s.error.jump)) {
        s.failed = true;
        return false;
    }
    State::WriteRows(s, rows, stride, count);
    return !s.failed;
}

bool JpegStreamEncoder::Finish()
{
    State& s = *state_;
    if (s.failed || s.rows_done != s.format.height)
        return false;
    if (setjmp(s.error.jump)) {
        s.failed = true;
        return false;
    }
    jpeg_finish_compress(&s.cinfo);
    if (s.failed)
        return false;
    if (s.pixels != nullptr)
        *s.pixels = s.hasher.Finish();
    return true;
}

}  // namespace kestran::pdf
