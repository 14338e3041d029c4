#pragma once

#include <cstdint>

#include "format/image_format.h"
#include "model/context.h"
#include "sys/io.h"

namespace morvik {

// Result of the output writers when a write or seek on the output fails.
constexpr int32_t kWriteFailed = -1;
// Result of placing an image whose file is no longer what was planned.
constexpr int32_t kImageChanged = -2;

// Writes one image: the pad byte of its reserved range behind its data, and
// exactly the `length` bytes measured while the PAR file was read. Returns
// the image bytes copied, 0 when the image cannot be read (or is empty),
// kImageChanged (after its message) when the file is shorter or longer now,
// kWriteFailed when the output cannot be written. The CRC-32 of the bytes
// copied goes to *crc.
int32_t LocateImage(int outFd, const ImageInfo* image, uint32_t* crc, IoBuffer& buffer);
int32_t LocateImage(int outFd, const ImageInfo* image);

// LocateImage for image i of the table, which also requires a group image's
// bytes to be those its header lists (else kImageChanged). With
// `groupImagesPlaced` the group images are already in the output (the
// planner put them there) and only their ranges are padded.
int32_t PlaceImage(int outFd, const ParInfo* info, uint32_t i, IoBuffer& buffer, bool groupImagesPlaced);

// Writes the fill byte into every byte up to targetSize that no image's data
// or padded range claims. Together with PlaceImage this writes each byte of
// the output once; the PID data and the headers are written over it.
bool FillGaps(int outFd, const ParInfo* info, IoBuffer& buffer);

// Builds the PID block from the PID file. 0 or 3. With `where`, a failure
// also gets a located diagnostic naming the PID line of `parPath`.
int MakePIDFormat(PidBlock* block, const char* path);
int MakePIDFormat(PidBlock* block, const char* path, const PidInfo* where, const char* parPath);

void HexStr2Chrs(uint8_t* out, const char* text, uint16_t length);

// Writes the 70-byte block from position + 1. 0 or kWriteFailed.
int LocatePID(int outFd, const PidBlock* block, uint32_t position);

// Builds, prints and writes the FW PID record at `location`. 0 or kWriteFailed.
int putAnotherPID(int outFd, const PidBlock* block, uint32_t location);

// The PID step of a bind, once MakePIDFormat has built the block: the block,
// then the FW PID records. false when the output cannot be written.
bool WritePidData(int outFd, const ParInfo* info, const PidBlock* block);

// Seals each group's header (magic and CRC), prints it and writes it in
// front of its kernel image. false when the output cannot be written.
bool WriteFwHeaders(int outFd, ParInfo* info);

}  // namespace morvik
