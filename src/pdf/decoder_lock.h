// Decoders whose state outlives one image and is shared below MuPDF's locks.
//
// jbig2dec keeps the symbols of a /JBIG2Globals stream (a symbol dictionary
// that every image naming that stream shares) in one global context, and each
// text region decoded against it takes and releases references to those
// symbol bitmaps without any lock. MuPDF gives all images naming the same
// stream one fz_jbig2_globals object (it comes from the store), so two threads
// decoding two such images at once corrupt the counts: a double free. Scanners
// and JBIG2 optimisers write exactly this layout for whole documents.
//
// Every path that may decode an image on any thread (an encoding task on a
// worker or on the walking thread, the image key's pixel hash) first takes a
// SharedDecoderLock for it. The lock is one of a fixed set of mutexes chosen
// by the address of the shared state, so it needs no lifetime of its own and
// costs nothing for the images (most of them) that share none.
#ifndef KESTRAN_PDF_DECODER_LOCK_H
#define KESTRAN_PDF_DECODER_LOCK_H

#include <cstdint>
#include <vector>

#include "pdf/mu_context.h"

namespace kestran::pdf {

// The codec states that decoding `img` reads or changes and that other images
// may hold too: the JBIG2 globals of the image and of its mask (and the mask's
// mask). Empty for almost every image. The one place that decides whether a
// decode needs the lock.
std::vector<const void*> SharedCodecStates(fz_context* ctx, fz_image* img);

// Holds, for its lifetime, the locks of every state SharedCodecStates names
// for `img` (none when it names none). Locks are taken in one fixed order, so
// no two threads can wait for each other in a cycle. A lock this thread already holds is
// not taken again; the one nested use (the real image loaded behind a
// stand-in) nests inside a lock of the stand-in, which names no state, so the
// order holds there too. `img` may be null.
class SharedDecoderLock {
public:
    SharedDecoderLock(fz_context* ctx, fz_image* img);
    ~SharedDecoderLock();
    SharedDecoderLock(const SharedDecoderLock&) = delete;
    SharedDecoderLock& operator=(const SharedDecoderLock&) = delete;

private:
    uint64_t taken_ = 0;  // bit i: stripe i, locked by this object
};

}  // namespace kestran::pdf

#endif
