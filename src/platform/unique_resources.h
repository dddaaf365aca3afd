// Owners for C resources: a stdio stream that is closed, a malloc'd block that is freed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FileCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
// A stream opened with fopen, closed when the owner goes.
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct MallocFreer {
    void operator()(void* block) const { std::free(block); }
};
// A malloc'd string (read_logical_line, strdup_or_die), freed when the owner goes.
using UniqueCString = std::unique_ptr<char, MallocFreer>;
