// The dependency file of a bind (--makedeps), in the syntax make reads and
// ninja and CMake's DEPFILE read as well, so that a build binds again when
// an input changes:
//
//   out.bin: /work/board/ARMPARA.PAR /work/board/boot.bin /work/board/pid.txt
//   /work/board/ARMPARA.PAR:
//   /work/board/boot.bin:
//   /work/board/pid.txt:
//
// The target is the output path exactly as given with -o, since make and
// ninja match a target by its text. Every input the bind read follows as an
// absolute path (a build tool may read the file from another folder than the
// one the bind ran in): the PAR file, each image in the order of its PAR
// line, the PID file. The empty rule of each input keeps a build going when
// the input is removed from the PAR file and from the disk.
//
// In a name, '$' is written "$$", and a blank, '#' and ':' stand behind a
// backslash. Names that make or ninja would read as something else whatever
// the escaping are refused (see DepfileRefusal).
#pragma once

#include <string>
#include <vector>

#include "model/context.h"

namespace morvik {

// Why `name` cannot stand in a dependency file, as the end of a sentence
// ("holds a newline", "starts with '~' (make reads a home folder there)"),
// or "" when it can. Besides letters, digits, bytes
// from 0x80 (UTF-8) and the four escaped characters above, a name may hold
// / . _ - + , @ ! ( ) { } ~. Everything else is read otherwise by make or by
// ninja: a line end, control characters, a backslash, the wildcards * ? [ ],
// ; = | % (a recipe, a variable, order-only prerequisites, a pattern), the
// quotes and shell characters ninja stops a name at. A name may not start
// with '~' (a home folder to make), nor hold '(' and end in ')' (a member of
// an archive to make).
std::string DepfileRefusal(const std::string& name);

// `name` as one word of a dependency file, escaped as above. Only for a
// name DepfileRefusal has no objection to.
std::string DepfileWord(const std::string& name);

// The inputs a bind read, each once and absolute (AbsolutePlace): the PAR
// file, each image in the order of its PAR line, the PID file.
std::vector<std::string> BindInputs(const char* parPath, const ParInfo* info);

// The whole dependency file of `target` and `inputs`; a name that cannot
// stand in it goes into `refusedName`, with why into `refusal`, and the text
// is then "".
std::string DepfileText(const std::string& target, const std::vector<std::string>& inputs, std::string* refusedName,
                        std::string* refusal);

}  // namespace morvik
