// The one rule for every file the tools write: the bound image, the layout
// picture, the parts of an image. A tool checks the path with it before it
// makes any file, and puts the finished file in place with it.
//
// The path, followed through its links, must name a regular file or
// nothing. A device, a FIFO, a socket or a folder at the end of the links is
// refused, and so is any link (or folder on the way) that leads into /proc,
// where /dev/stdout and /dev/fd/N live, or into another of the kernel's own
// file systems (/sys and those mounted under it): a "file" there is a
// descriptor of a process or a setting of the machine, and replacing the
// link would replace a piece of the machine. A link to a regular file, or
// one that leads nowhere, is replaced by the new file and never written
// through.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "sys/io.h"

namespace morvik {

enum class OutputKind {
    kNothing,  // nothing there: the file is new
    kFile,     // a regular file, or a link that leads to one or to nothing: replaced
    kRefused,  // never written: see OutputTarget::reason
};

struct OutputTarget {
    OutputKind kind = OutputKind::kNothing;
    const char* kernelFiles = nullptr;  // refused: a link or folder on the way is in this
                                        // kernel file system ("/proc", "/sys", ...)
    bool device = false;                // refused: the path leads to a block or character device
    std::string reason;                 // why it is refused, to follow the path in a message
};

// Follows `path` through its links and says whether a file may be written
// there. `what` names the file in the advice for a device ("image",
// "picture"). Looks only; makes, renames and removes nothing.
OutputTarget ExamineOutputPath(const char* path, const char* what);

// True when both paths, followed through their links, name the same
// existing file.
bool SameFile(const char* a, const char* b);
// The same for an open descriptor and a path.
bool SameFile(int fd, const char* path);

// `path` as an absolute path: its folder followed through its links (no
// ".", ".." or link left in it) and then its last component as it is; ""
// when the folder cannot be followed (it is missing, or cannot be searched).
std::string AbsolutePlace(const char* path);

// True when both paths name the same place for a file: the same existing
// file (SameFile), or the same name in the same folder, whether a file is
// there yet or not. Two files that are to be written must not share one.
bool SamePlace(const char* a, const char* b);

// Gives the finished temporary file the final path (see
// RenameTempFileOver). When the old file there had other hard links, a note
// on standard error says that they keep the old contents. false with errno
// set.
bool PutInPlace(const char* tempPath, const char* finalPath);

// Creates the new file `name` inside the open folder `folder`: exclusively,
// never through a link. The descriptor (write-only, close-on-exec), or -1
// with errno set.
int CreateNewFileIn(int folder, const char* name, mode_t mode);

// A folder for files a tool makes and that are used later (the parts of an
// image and the script that binds them): it must hold nothing else, belong
// to this user, and be writable by no one else, since another user who can
// write there could replace a file before it is used. `what` names those
// files in the messages ("the parts").
//
// Opens the existing folder `path`, never through a symbolic link, and
// checks it; false with `error` saying why.
bool OpenOwnEmptyFolder(const char* path, const char* what, UniqueFd* folder, std::string* error);
// The same, making the folder first (mode 0755, less the umask) when it is
// missing.
bool MakeOwnEmptyFolder(const char* path, const char* what, UniqueFd* folder, std::string* error);
// The check alone, before anything is read or made: true when nothing is
// at `path` yet, else what OpenOwnEmptyFolder says.
bool MayMakeOwnEmptyFolder(const char* path, const char* what, std::string* error);

}  // namespace morvik
