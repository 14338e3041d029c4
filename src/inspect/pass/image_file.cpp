// Opening the image without blocking, and the small reads after the pass.
#include "inspect/pass/image_file.h"

#include <cerrno>
#include <cstring>

#include "inspect/pass/text.h"

namespace morvik {

std::string ChangedText(const ImageFile& file) {
    return Format("image %s changed while it was read; check it again when nothing writes to it", file.path.c_str());
}

std::string ReadErrorText(const ImageFile& file) {
    return Format("cannot read image %s: %s", file.path.c_str(), std::strerror(errno));
}

bool OpenImage(const char* path, ImageFile* file) {
    file->path = path;
    file->in = OpenForReading(path);
    if (file->in.fd < 0) {
        file->error = Format("cannot open image %s: %s", path, std::strerror(errno));
        return false;
    }
    if (!StampOf(file->in.fd, &file->stamp) || !file->stamp.regular) {
        file->error = Format("%s is not a regular file", path);
        return false;
    }
    file->size = file->stamp.size;
    return true;
}

bool ReadAt(ImageFile* file, uint64_t at, size_t length, uint8_t* out) {
    ssize_t got = ReadFullAt(file->in.fd, out, length, at);
    if (got == static_cast<ssize_t>(length)) return true;
    if (file->error.empty()) file->error = got < 0 ? ReadErrorText(*file) : ChangedText(*file);
    std::memset(out, 0, length);
    return false;
}

}  // namespace morvik
