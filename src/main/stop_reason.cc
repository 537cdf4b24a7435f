#include "main/stop_reason.h"

namespace kestrune {
namespace {
struct ReasonRow {
  const char* text;
  uint32_t code;
};
constexpr ReasonRow kReasons[] = {
    {"stop", 0},     {"maxRun", 0},  {"stdinClosed", 2}, {"hbTimeout", 3},
    {"parentGone", 4}, {"elevated", 5}, {"noJob", 6},     {"already", 7},
    {"badVersion", 8}, {"protocol", 9}, {"fatal", 9},
};
}  // namespace

const char* stop_reason_text(StopReason reason) { return kReasons[static_cast<int>(reason)].text; }
uint32_t stop_reason_code(StopReason reason) { return kReasons[static_cast<int>(reason)].code; }

}  // namespace kestrune
