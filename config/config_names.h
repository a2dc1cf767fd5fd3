// Finding korv.cfg and bexolind.cfg in a directory. Files copied from the old
// system often carry their names in capitals (KORV.CFG, BEXOLIND.CFG); the
// programs take such a file when the lower-case name is absent.
#pragma once

#include <string>

namespace quorvexia {

// The path of the file called `name` in `dir` ("" or "." for the current
// directory): `name` itself when it exists, else the first name in `dir`, in
// byte order, that equals it without regard to letter case, else `name`
// (where a new file is created).
std::string FindConfigFile(const std::string& dir, const char* name);

}  // namespace quorvexia
