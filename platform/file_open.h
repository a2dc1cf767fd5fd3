// Opening the files of the mail directories without ever waiting at the
// open itself: a named pipe by a message's name must not hold up the run.
#pragma once

#include <cstdio>

namespace quorvexia::platform {

// Opens a regular file for reading as text; null when it cannot be opened
// or is something else (a directory, a pipe, a device).
std::FILE* OpenRegularFileForReading(const char* path);

// Creates a file for writing as text, or truncates the one of that name;
// null when it cannot be had at once.
std::FILE* CreateFileForWriting(const char* path);

}  // namespace quorvexia::platform
