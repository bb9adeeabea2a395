// The compressed input as a C stream, and what the file decoder needs of the file beneath it:
// its size and a descriptor of its own for the writer's positioned copies. Its position is in
// stream_position.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace uq::platform {

// Opens `path` for reading in binary mode, as fopen(path, "rb") does: null and errno on failure.
std::FILE* open_input(const char* path);

// The size of the file beneath `stream` when it is a regular file; none for anything else (a
// pipe, a device) or when it can't be read.
std::optional<std::uint64_t> regular_file_size(std::FILE* stream);

// A descriptor that reads the same file as `stream` without moving the stream's own position,
// for OutputFile::copy_from on any thread; -1 when none can be had (out of descriptors).
int duplicate_input(std::FILE* stream);

// Closes a descriptor from duplicate_input.
void close_input(int descriptor);

// Locks and unlocks `stream` for one thread, so that a message written between the two is
// never cut by another thread's.
void lock_stream(std::FILE* stream);
void unlock_stream(std::FILE* stream);

}  // namespace uq::platform
