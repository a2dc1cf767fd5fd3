// An open standard I/O stream that closes itself on every way out.
#pragma once

#include <cstdio>
#include <memory>

namespace quorvexia::platform {

struct StdioFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

}  // namespace quorvexia::platform
