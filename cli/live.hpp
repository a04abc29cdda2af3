// The live subcommands: listen (an MLLP receiver writing JSON lines) and
// send (an MLLP sender).  Each returns the exit status.
#pragma once

#include "args.hpp"

namespace segmorph::cli {

int run_listen(const Options& opts);
int run_send(const Options& opts);

}  // namespace segmorph::cli
