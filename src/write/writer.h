// The image writer: every byte of the output. Each step reports its own
// failures (a write failure as "Error : Write output bin file(...) failed!")
// and says only whether it succeeded.
#pragma once

#include <cstdint>

#include "format/image_format.h"
#include "model/context.h"
#include "model/image_reader.h"
#include "sys/io.h"
#include "write/output_file.h"

namespace morvik {

// The one read of an image's planned bytes: exactly `image->length` bytes
// from the start of `inFd`, checksummed into `*crc` and, when `outFd` is
// not -1, written at the image's offset there. A file that ends early, or
// goes on past its planned length, is not the file that was planned.
ImageRead TransferImage(int inFd, const ImageInfo* image, int outFd, uint32_t* crc, IoBuffer& buffer);

// What the planner reads group images through in a bind: each image goes
// into the output-to-be as it is checksummed. The first read asks for the
// temporary output (the output path has been checked by then); where none
// can be made, the images are only checksummed, and the writer copies them
// later. A failed write is reported and fails the read.
struct GroupImageCopy {
    OutputFile* out;
    IoBuffer* buffer;
    bool asked = false;   // the temporary output was asked for
    bool copied = false;  // every group image read so far is in it
};
ImageReader CopyingImageReader(GroupImageCopy* copy);

// Reads group images for their CRC-32 only.
ImageReader ChecksumImageReader(IoBuffer* buffer);

// Writes image i of the table: the pad byte of its reserved range behind
// its data, and exactly the `length` bytes measured while the PAR file was
// read, which for a group image must be those its header lists. With
// `groupImagesPlaced` the group images are already in the output (the
// planner's reads put them there) and only their ranges are padded. Returns
// the image bytes placed, or 0 after its messages: the image cannot be
// opened or read, is empty, has changed since it was measured, or the
// output cannot be written.
int32_t LocateImage(const OutputFile& out, const ParInfo* info, uint32_t i, IoBuffer& buffer, bool groupImagesPlaced);

// An empty image is refused as it is placed: true after the located
// diagnostic that says so.
bool RefuseEmptyImage(const ParInfo* info, const ImageInfo* image);

// Writes the fill byte into every byte up to targetSize that no image's data
// or padded range claims. Together with PlaceImage this writes each byte of
// the output once; the PID data and the headers are written over it.
bool FillGaps(const OutputFile& out, const ParInfo* info, IoBuffer& buffer);

// Builds the PID block from the PID file. 0 or 3. With the bind context, a
// failure also gets a located diagnostic naming the PID line, and hex
// digits behind the PID's 112 a warning (an error under --strict, counted
// in `strictErrors`).
int MakePIDFormat(PidBlock* block, const char* path);
int MakePIDFormat(PidBlock* block, const char* path, ParInfo* info);

void HexStr2Chrs(uint8_t* out, const char* text, uint16_t length);

// Writes the 70-byte block from position + 1. false when the write fails
// (errno kept).
bool LocatePID(int outFd, const PidBlock* block, uint32_t position);

// Builds, prints and writes the FW PID record at `location`. false when the
// write fails (errno kept).
bool putAnotherPID(int outFd, const PidBlock* block, uint32_t location);

// The PID step of a bind, once MakePIDFormat has built the block: the block,
// then the FW PID records.
bool WritePidData(const OutputFile& out, const ParInfo* info, const PidBlock* block);

// Seals each group's header (magic and CRC), prints it and writes it in
// front of its kernel image.
bool WriteFwHeaders(const OutputFile& out, ParInfo* info);

}  // namespace morvik
