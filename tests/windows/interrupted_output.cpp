// What a compression interrupted by Ctrl-C does, for Windows under Wine, which delivers no console
// event to a child: quarvex's temporary-file cleanup set up as its runs set it up, an archive's
// temporary file made and written beside argv[1], then the interruption itself, as the console's
// handler thread would run it.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/replaced_file.h"
#include "safe_output.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  uq::suite::remove_temporary_files_on_signals();
  uq::suite::SafeOutput out;
  std::string error;
  if (!out.open(argv[1], false, nullptr, &error)) return 3;
  const std::vector<std::uint8_t> bytes(1 << 21, 'q');
  if (!out.write(bytes.data(), bytes.size())) return 4;
  uq::platform::interrupt_as_the_user_would();
}
