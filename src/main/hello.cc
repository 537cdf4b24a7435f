#include "main/supervisor.h"

namespace kestrune {

std::string cut_nonce(std::string_view text) {
  constexpr size_t kMaxChars = 64;
  size_t chars = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const bool starts_char = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts_char && chars++ == kMaxChars) break;
  }
  return std::string(text.substr(0, i));
}

void send_hello(SupervisorState& s, SupervisorWorld& world) {
  if (s.hello_sent) return;
  s.hello_sent = true;
  const CpuFeatures features = world.cpu_features();
  Hello h;
  h.v = 1;
  h.nonce = s.nonce;
  h.pid = world.process_id();
  h.isa = isa_text(features);
  h.isa_max = isa_max_text(features);
  h.workers = s.workers;
  h.gpu = s.gpu_info;
  h.elevated = false;  // an elevated run never gets this far
  h.in_job = true;     // nor does one outside a kill-on-close job
  h.lab = false;
  world.emit(std::move(h));
}

}  // namespace kestrune
