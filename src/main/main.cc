// kestrune-load: puts a steady, duty-cycled load on the CPU and GPU for a controller that
// talks to it over standard input and output. No arguments, no window.

#include "main/startup.h"

int main() { kestrune::run_program(kestrune::ProgramVariant{}); }
