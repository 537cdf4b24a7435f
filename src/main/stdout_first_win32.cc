// The output guard before any other code of the program runs: C++ initialisers of every
// library linked in come after it, so a C runtime that one of them brings in starts with
// descriptor 1 already on NUL and the events' handle kept aside. (DLLs the program imports
// initialise before any of its own code; what they write is the guard's limit.) Linked
// into the programs only, never the unit tests, whose output must stay where it is.

#include "os/std_streams.h"

namespace {

struct StdoutFirst {
  StdoutFirst() { kestrune::os::take_stdout(); }
};

[[gnu::init_priority(101)]] const StdoutFirst stdout_first;

}  // namespace
