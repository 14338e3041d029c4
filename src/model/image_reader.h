// How the planner's header stage gets the CRC-32 of each group image. The
// read belongs to the writer, which may put the bytes into the output-to-be
// on the way, so that a bind reads each group image once; the planner only
// asks for the checksum and words what went wrong.
#pragma once

#include <cstdint>

#include "model/context.h"

namespace morvik {

// What reading an image's planned bytes came to.
enum class ImageRead {
    kOk,
    kCannotOpen,   // the file cannot be opened (errno kept)
    kReadError,    // a read failed (errno kept)
    kShorter,      // the file ends before its planned length
    kLonger,       // the file goes on past its planned length
    kWriteFailed,  // copying into the output failed; the writer has said so
};

// Reads the `length` bytes of `image` that were measured when its line was
// read, from the start of its file, and leaves their CRC-32 in `*crc`.
struct ImageReader {
    void* context;
    ImageRead (*read)(void* context, const ImageInfo* image, uint32_t* crc);
};

}  // namespace morvik
