// Prints every event of event_cases() as the program writes it, one "name<TAB>line" per
// line, for the C++ client's test: that test may not link the program's libraries, whose
// records share the client's names.

#include <cstdio>

#include "contract/event_cases.h"
#include "protocol/encode.h"

int main() {
  for (const kestrune::contract::EventCase& c : kestrune::contract::event_cases()) {
    const kestrune::Result<std::string> line = kestrune::encode_event(c.event);
    if (!line.ok()) {
      std::fprintf(stderr, "%s: %s\n", c.name, line.error().c_str());
      return 1;
    }
    std::printf("%s\t%s\n", c.name, line.value().c_str());
  }
  return 0;
}
