#include "kestrune/heartbeat.h"

#include <algorithm>

#include "kestrune/client.h"

namespace kestrune {

Heartbeat::Heartbeat(HelperProcess& helper, std::chrono::milliseconds period)
    : helper_(helper.impl_), period_(std::max(period, std::chrono::milliseconds(1))) {
  thread_ = std::thread([this] { run(); });
}

Heartbeat::~Heartbeat() { stop(); }

void Heartbeat::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  running_ = false;
}

void Heartbeat::run() {
  const std::string beat = encode(HeartbeatCommand{}) + '\n';
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    Failure failure;
    const bool sent = HelperProcess::write_to(*helper_, beat, failure);
    lock.lock();
    if (!sent) break;
    wake_.wait_for(lock, period_, [this] { return stopping_; });
  }
  running_ = false;
}

}  // namespace kestrune
