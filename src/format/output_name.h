// The restored file's name: the output path less its ".qvx" extension, or with ".out" appended.
#pragma once

#include <string>

namespace uq::format {

std::string output_name(const std::string& output_path);

}  // namespace uq::format
