// Writing the recipe: the part files, pid.txt, recovered.PAR and bind.sh,
// into a folder that holds nothing else. Every name is made here, never
// taken from the image; nothing is written through a link, and no file is
// replaced.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inspect/extract/extract.h"
#include "inspect/pass/text.h"
#include "sys/output_path.h"

namespace morvik {

namespace {

const char kParName[] = "recovered.PAR";
const char kPidName[] = "pid.txt";
const char kScriptName[] = "bind.sh";
const char kRebuiltName[] = "rebuilt.bin";
const char kFolderHolds[] = "the parts";  // what the folder's messages call its files

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
    return MayMakeOwnEmptyFolder(directory, kFolderHolds, error);
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
    return Format(
        "#!/bin/sh\n"
        "# Rebinds the parts in this folder into %s. MORVIK names the binder when it is\n"
        "# not on the PATH.\n"
        "cd \"$(dirname \"$0\")\" || exit 1\n"
        "exec \"${MORVIK:-Morvik}\" -i %s -o %s -p 0x%02x\n",
        kRebuiltName, kParName, kRebuiltName, x.fill);
}

bool ExtractImage(const Inspection& inspection, ImageFile* image, const char* directory, Extraction* out,
                  std::string* error) {
    out->directory = directory;
    PlanExtraction(inspection, out);
    UniqueFd folder;
    if (!MakeOwnEmptyFolder(directory, kFolderHolds, &folder, error) || !WriteAll(image, folder.fd, out, error))
        return false;
    // The parts come from the descriptor the inspection read; a write into
    // that file since the inspection opened it changes its stamp.
    FileStamp after;
    if (!StampOf(image->in.fd, &after) || !(after == image->stamp)) {
        *error = Format("image %s changed while the parts were copied", image->path.c_str());
        return false;
    }
    return true;
}

}  // namespace morvik
