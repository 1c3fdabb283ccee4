#include "tools/cli.h"

int main(int argc, char** argv) {
  return tolvane::cli::RunCli(argc, argv);
}
