#include "protocol/command.h"

namespace kestrune {

const char* domain_mode_text(DomainMode mode) {
  switch (mode) {
    case DomainMode::Off:
      return "off";
    case DomainMode::Free:
      return "free";
    case DomainMode::Target:
      return "target";
  }
  return "off";
}

}  // namespace kestrune
