// Writing the recipe: the part files, pid.txt, recovered.PAR and bind.sh,
// into a folder that holds nothing else. Every name is made here, never
// taken from the image; nothing is written through a link, and no file is
// replaced.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "inspect/extract.h"
#include "sys/output_path.h"

namespace morvik {

namespace {

using ull = unsigned long long;

const char kParName[] = "recovered.PAR";
const char kPidName[] = "pid.txt";
const char kScriptName[] = "bind.sh";
const char kRebuiltName[] = "rebuilt.bin";

// Only a folder that nobody else can write keeps the parts and bind.sh as
// they are written until they are used: another user who can write there
// could replace bind.sh before it runs.
bool FolderIsOwnOnly(const char* path, int folder, std::string* error) {
    struct stat st;
    if (fstat(folder, &st) != 0) {
        *error = Format("cannot examine folder %s: %s", path, std::strerror(errno));
        return false;
    }
    if (st.st_uid != geteuid()) {
        *error = Format("folder %s belongs to another user (uid %u): give a new folder, or an empty one of your own",
                        path, static_cast<unsigned>(st.st_uid));
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *error = Format(
            "folder %s can be written by other users (mode %04o): give a new folder, or an empty one "
            "only you can write (chmod go-w)",
            path, static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

bool FolderIsEmpty(const char* path, int folder, std::string* error) {
    int listed = dup(folder);
    DIR* listing = listed < 0 ? nullptr : fdopendir(listed);
    if (listing == nullptr) {
        if (listed >= 0) close(listed);
        *error = Format("cannot list folder %s: %s", path, std::strerror(errno));
        return false;
    }
    bool empty = true;
    while (const dirent* entry = readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
    closedir(listing);
    if (!empty) *error = Format("folder %s is not empty; give a new or an empty folder for the parts", path);
    return empty;
}

// An existing folder for the parts, never through a symbolic link: empty,
// of this user, and writable by no one else.
bool OpenUsableFolder(const char* path, UniqueFd* folder, std::string* error) {
    *folder = UniqueFd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder->fd < 0) {
        *error = Format("cannot use %s as the folder for the parts: %s", path, std::strerror(errno));
        return false;
    }
    return FolderIsOwnOnly(path, folder->fd, error) && FolderIsEmpty(path, folder->fd, error);
}

// A folder for the parts: one made here, or an existing usable one.
bool OpenEmptyFolder(const char* path, UniqueFd* folder, std::string* error) {
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
        *error = Format("cannot create folder %s: %s", path, std::strerror(errno));
        return false;
    }
    return OpenUsableFolder(path, folder, error);
}

UniqueFd CreateIn(int folder, const std::string& name, mode_t mode, std::string* error) {
    UniqueFd out(CreateNewFileIn(folder, name.c_str(), mode));
    if (out.fd < 0) *error = Format("cannot create %s: %s", name.c_str(), std::strerror(errno));
    return out;
}

bool WriteText(int folder, const std::string& name, const std::string& text, mode_t mode, std::string* error) {
    UniqueFd out = CreateIn(folder, name, mode, error);
    if (out.fd < 0) return false;
    if (fchmod(out.fd, mode) == 0 && WriteAllAt(out.fd, text.data(), text.size(), 0) && out.Close()) return true;
    *error = Format("cannot write %s: %s", name.c_str(), std::strerror(errno));
    return false;
}

bool CopyPart(ImageFile* image, int folder, const ExtractedPart& p, IoBuffer& buffer, std::string* error) {
    UniqueFd out = CreateIn(folder, p.file, 0644, error);
    if (out.fd < 0) return false;
    for (uint64_t at = p.dataStart; at < p.dataEnd;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size, p.dataEnd - at));
        if (!ReadAt(image, at, n, buffer.bytes.get())) {
            *error = image->error;
            return false;
        }
        if (!WriteAllAt(out.fd, buffer.bytes.get(), n, at - p.dataStart)) {
            *error = Format("cannot write %s: %s", p.file.c_str(), std::strerror(errno));
            return false;
        }
        at += n;
    }
    if (out.Close()) return true;
    *error = Format("cannot write %s: %s", p.file.c_str(), std::strerror(errno));
    return false;
}

std::string PidText(const Extraction& x) {
    std::string text;
    for (uint8_t byte : x.pid) text += Format("%02x", byte);
    return text + "\n";
}

bool WriteAll(ImageFile* image, int folder, Extraction* x, std::string* error) {
    IoBuffer buffer;
    for (const ExtractedPart& p : x->parts) {
        if (!CopyPart(image, folder, p, buffer, error)) return false;
        x->files.push_back(p.file);
    }
    if (x->hasPid) {
        if (!WriteText(folder, kPidName, PidText(*x), 0644, error)) return false;
        x->files.push_back(kPidName);
    }
    if (!WriteText(folder, kParName, RecoveredPar(*x), 0644, error)) return false;
    x->files.push_back(kParName);
    if (!WriteText(folder, kScriptName, BindScript(*x), 0755, error)) return false;
    x->files.push_back(kScriptName);
    return true;
}

}  // namespace

bool CheckExtractFolder(const char* directory, std::string* error) {
    struct stat st;
    if (lstat(directory, &st) != 0 && errno == ENOENT) return true;  // made when the parts are written
    UniqueFd folder;
    return OpenUsableFolder(directory, &folder, error);
}

std::string ParLine(const ExtractedPart& p) {
    std::string line = Format(":%s &%llx", p.file.c_str(), static_cast<ull>(ParOffset(p)));
    if (p.rangeEnd > p.dataEnd) line += Format(" -l 0x%llx", static_cast<ull>(p.rangeEnd - p.dataStart));
    if (p.rangeEnd > p.dataEnd && p.pad >= 0) line += Format(" -p 0x%02x", p.pad);
    if (p.group >= 0) line += Format(p.kernel ? " -k %d" : " -f %d", p.group);
    if (p.group >= 0 && p.verify) line += " -c";
    if (p.group >= 0 && p.versionGiven) {
        // A version that starts with '-' is attached, so that it cannot read as an option.
        line += p.version[0] == '-' ? " -v" : " -v ";
        line.append(reinterpret_cast<const char*>(p.version), kFwVersionSize);
    }
    return line;
}

std::string RecoveredPar(const Extraction& x) {
    std::string par = "# Recovered by Morvik-inspect from a bound image; bind.sh binds it.\n";
    par += Format("$Size &%llx\n", static_cast<ull>(x.sizeKiB));
    if (x.hasPid) {
        par += Format("%%%s &%llx", kPidName, static_cast<ull>(x.pidEnd));
        if (x.fwLocation != 0) par += Format(" &%llx", static_cast<ull>(x.fwLocation));
        par += "\n";
    }
    for (const ExtractedPart& p : x.parts) par += ParLine(p) + "\n";
    return par;
}

std::string BindScript(const Extraction& x) {
    return Format("#!/bin/sh\n"
                  "# Rebinds the parts in this folder into %s. MORVIK names the binder when it is\n"
                  "# not on the PATH.\n"
                  "cd \"$(dirname \"$0\")\" || exit 1\n"
                  "exec \"${MORVIK:-Morvik}\" -i %s -o %s -p 0x%02x\n",
                  kRebuiltName, kParName, kRebuiltName, x.fill);
}

int ExtractImage(const Inspection& inspection, const char* imagePath, const char* directory, Extraction* out,
                 std::string* error) {
    out->directory = directory;
    PlanExtraction(inspection, out);
    ImageFile image;
    if (OpenImage(imagePath, &image) != 0) {
        *error = image.error;
        return kInspectUsage;
    }
    UniqueFd folder;
    if (image.size != inspection.size) {
        *error = Format("image %s changed while it was read", imagePath);
        return kInspectUsage;
    }
    if (!OpenEmptyFolder(directory, &folder, error) || !WriteAll(&image, folder.fd, out, error)) return kInspectUsage;
    FileStamp after;
    if (!StampOf(image.in.fd, &after) || !(after == image.stamp)) {
        *error = Format("image %s changed while the parts were copied", imagePath);
        return kInspectUsage;
    }
    return out->problems.empty() ? kInspectOk : kInspectFailed;
}

}  // namespace morvik
