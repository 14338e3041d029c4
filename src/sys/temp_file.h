// A new file made beside the path it is meant for, and its removal when a
// signal ends the process before the file has taken that path.
//
// The removal needs the program's only process-wide state apart from the
// option scanner's, because a signal handler can reach nothing else: the
// paths of the temporary files that are there at once (a bind's image, its
// map and its dependency file, all complete before any takes its name) and
// a flag for each that says it is there. They are set and cleared in
// temp_file.cpp only, with the signals blocked, and the handler calls
// nothing but unlink and raise (both async-signal-safe).
#pragma once

#include <signal.h>

#include <cstddef>

namespace morvik {

// Room for a temporary path: a final path of up to 255 characters plus the
// dot and suffix added to its last component.
constexpr size_t kTempPathSize = 512;

// How many temporary files may be there at once.
constexpr int kMaxTempFiles = 3;

// SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM: the signals that end a run
// from outside (a terminal, a pipeline, kill) and are caught to clean up.
constexpr int kEndingSignalCount = 5;

// The dispositions CatchEndingSignals replaced.
struct SavedSignals {
    struct sigaction ending[kEndingSignalCount];
    struct sigaction fileSizeLimit;
};

// Until RestoreSignals: each ending signal that is not ignored removes the
// temporary file, if there is one, and then ends the process by the
// signal's default action (an ignored one stays ignored, as under nohup).
// SIGXFSZ is ignored, so that a write past the file-size limit fails with
// EFBIG instead of killing the process silently.
SavedSignals CatchEndingSignals();
void RestoreSignals(const SavedSignals& saved);

// The folder part of `path`, with its trailing '/' ("" for a bare name),
// into `folder` of kTempPathSize bytes.
void FolderOf(const char* path, char* folder);

// Creates a new empty file ".NAME.morvik-XXXXXX" (NAME the last component
// of `finalPath`, XXXXXX random) in the folder of `finalPath`: exclusively,
// so never through an existing name or link, with mode 0600. From then on a
// caught ending signal removes it, and an exclusive flock on it, held until
// its descriptor is closed, tells other runs that it is in use. Then the
// temporary files of the same final name that a killed run left behind are
// removed (RemoveLeftoverTempFiles). The read-write, close-on-exec
// descriptor with the name in `tempPath` (kTempPathSize bytes), or -1 with
// errno set and `tempPath` "" (EMFILE when kMaxTempFiles are there already). The file keeps mode 0600 until it is
// complete: give it its final mode only then, so that a leftover is known by it.
int CreateTempFileBeside(const char* finalPath, char* tempPath);

// Removes the temporary files of `finalPath` that no running process holds
// and that nothing has written for over a minute: what a run killed
// without a chance to clean up (SIGKILL, a crash, a power cut) left. Only
// regular files of this user with the mode 0600 a temporary file is made
// with are removed, each while its lock is held, so a run that is still
// writing (or only stopped) keeps its file.
void RemoveLeftoverTempFiles(const char* finalPath);

// Renames the temporary file over `finalPath`, which atomically replaces
// whatever entry was there (a symbolic link included, never followed).
// After success no signal removes anything. false with errno set; the
// temporary file is then still there and still removed on a signal.
bool RenameTempFileOver(const char* tempPath, const char* finalPath);

// Removes the temporary file and forgets it.
void RemoveTempFile(const char* tempPath);

}  // namespace morvik
