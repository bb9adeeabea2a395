// 64-bit positions in a C stream: where it is, and moving it, for files past 4 GiB.
#pragma once

#include <cstdint>
#include <cstdio>

namespace uq::platform {

// The stream's position from its start, or -1 when it has none (a pipe).
std::int64_t stream_position(std::FILE* stream);

// Moves the stream to `offset` from its start. Gives 0, or the errno of the failure.
int seek_stream(std::FILE* stream, std::uint64_t offset);

// Moves the stream `bytes` on from where it is. Gives 0, or the errno of the failure.
int skip_in_stream(std::FILE* stream, std::uint64_t bytes);

}  // namespace uq::platform
