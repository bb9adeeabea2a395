// quarvex --test with every block buffer refused, as under an address-space limit too tight for
// one block: a limit the test build can't set, since the sanitizers map terabytes of their own.
#include "archive_report.h"
#include "codec/block_buffers.h"
#include "options.h"

int main(int argc, char** argv) {
  uq::codec::set_allocation_hook([] { return true; });
  const uq::suite::Command command = uq::suite::parse_command_line(argc, argv, 2);
  if (command.action != uq::suite::Command::Action::run || command.options.mode != uq::suite::Mode::test) return 2;
  return uq::suite::run_test(command.options);
}
