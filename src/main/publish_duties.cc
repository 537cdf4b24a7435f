#include <cmath>

#include "main/supervisor.h"

namespace kestrune {

uint32_t duty_to_e4(double duty) {
  if (!std::isfinite(duty) || duty <= 0.0) return 0;
  const double scaled = std::round((duty < 1.0 ? duty : 1.0) * 10000.0);
  return static_cast<uint32_t>(scaled);  // within 0..10000 after the clamp above
}

void publish_duties(SupervisorState& s, SupervisorWorld& world, uint64_t now) {
  const double dt = static_cast<double>(elapsed_ms(now, s.last_acct_ms)) / 1000.0;
  s.cpu_s += s.applied_cpu * dt;
  s.gpu_s += s.applied_gpu * dt;
  s.last_acct_ms = now;

  // Load only while the run is announced and the controller's heartbeat is fresh.
  const bool fresh = s.started && s.hello_sent && s.hb_seen && elapsed_ms(now, s.last_hb_ms) < s.hb_timeout_ms;
  s.applied_cpu = fresh && s.cpu_running ? s.cpu_reg.duty : 0.0;
  s.applied_gpu = fresh && s.gpu_usable ? s.gpu_reg.duty : 0.0;
  world.write_duties(duty_to_e4(s.applied_cpu), duty_to_e4(s.applied_gpu));
}

}  // namespace kestrune
