// decode_file: restores one compressed file, checking its header, creating its output and feeding
// its blocks to decoding (to the decode workers, or decoded here in the run without them).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "pipeline/output.h"
#include "pipeline/queues.h"
#include "report/reporter.h"

namespace uq::format {

// Makes the output of a file named `name` whose header announces `block_count` blocks; gives null,
// with the errno in `err`, when it can't be made. The restore tool creates the file on disk.
using OutputMaker = std::function<std::unique_ptr<pipeline::Output>(
    const std::string& name, std::int64_t block_count, report::Reporter& reporter, int& err)>;

// Where decode_file reads, when not from the file that input_path names, and in which order.
struct DecodeSource {
  // Read from this stream, already open at the header (standard input, say), instead of opening
  // input_path; it is left open.
  std::FILE* stream = nullptr;
  // Read every record first, passing over the block bytes, then the blocks in index order:
  // blocks go out in order whatever order the records lie in. The input must be a regular file.
  bool index_order = false;
  // Gets the 32 header bytes once they are read (a pipe can't be read twice).
  std::uint8_t* header_copy = nullptr;
};

// Gives 0 when the records ended (every block queued or written), -1 when the input can't be
// opened or the stop flag is up, or -code after a numbered report. An output that can't be
// created ends the whole run with status -1. What goes wrong is told to `reporter`; the blocks
// go to the output `make_output` makes (by default, the restored file).
int decode_file(pipeline::DecodeQueue& queue, const std::string& input_path,
                const std::string& output_path,
                report::Reporter& reporter = report::console_reporter(),
                const OutputMaker& make_output = nullptr, const DecodeSource& source = {});

// Opens an input for reading, as fopen(path, "rb") does. Tests replace it to give a stream that
// fails part way (a failing disk or network file system can't be had on demand); the program
// never does. Gives the previous opener; null restores fopen.
using InputOpener = std::FILE* (*)(const char* path);
InputOpener set_input_opener(InputOpener opener);

}  // namespace uq::format
