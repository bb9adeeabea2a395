// unquarvex: restores files from quarvex compressed files.
#include <cstdio>
#include <new>

#include "cli/run_driver.h"
#include "report/report.h"

int main(int argc, char** argv) {
  try {
    return uq::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    // The only allocations outside a file's own restore are the argument list and paths.
    uq::report::report_error(uq::report::kMallocError);
    return -1;
  }
}
