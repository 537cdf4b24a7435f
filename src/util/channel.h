#pragma once
// A first-in-first-out message queue between threads with sending and receiving ends.
// Plain sends never block: an unbounded queue always takes the message, a bounded one
// drops it when full. A throttled send is the one exception: it waits while too many
// throttled messages are queued, so a fast producer is held back instead of filling
// memory. Receives wait with or without a deadline and report when no sender is left;
// sends report when the receiver is gone.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrune {

enum class SendResult { Sent, Full, Disconnected };
enum class RecvStatus { Message, Timeout, Disconnected };

namespace detail {
template <class T>
struct ChannelEntry {
  T item;
  bool throttled;
};

template <class T>
struct ChannelState {
  std::mutex mu;
  std::condition_variable cv;        // the receiver waits here
  std::condition_variable space_cv;  // throttled senders wait here
  std::deque<ChannelEntry<T>> items;
  size_t capacity = 0;  // 0: unbounded
  size_t senders = 0;
  size_t throttled_queued = 0;   // entries sent with send_throttled still in `items`
  size_t throttled_waiting = 0;  // throttled senders waiting for room
  size_t resume_at = 0;          // a waiting throttled sender resumes at or below this
  bool receiver_alive = true;
};

/// How long a throttled sender sleeps before it looks again even without a wake-up.
inline constexpr std::chrono::milliseconds kThrottleRecheck{50};
}  // namespace detail

template <class T>
class Receiver;

/// A sending end. Copies count as separate senders; the last one destroyed tells the
/// receiver that no sender is left.
template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) { attach(); }
  Sender(const Sender& o) : s_(o.s_) { attach(); }
  Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Sender() { detach(); }

  /// Never blocks.
  SendResult send(T item) const {
    if (!s_) return SendResult::Disconnected;
    {
      std::lock_guard lock(s_->mu);
      if (!s_->receiver_alive) return SendResult::Disconnected;
      if (s_->capacity != 0 && s_->items.size() >= s_->capacity) return SendResult::Full;
      s_->items.push_back({std::move(item), false});
    }
    s_->cv.notify_one();
    return SendResult::Sent;
  }

  /// Like send, but first waits while `limit` or more throttled messages are queued, and
  /// then until the receiver has brought them down to half of `limit`, so the sender runs
  /// in bursts rather than waking for every message taken. Throttled messages therefore
  /// never number more than `limit` (at least 1). Waits as long as the receiver lives and
  /// the queue stays full; the capacity of a bounded queue still applies.
  SendResult send_throttled(T item, size_t limit) const {
    if (!s_) return SendResult::Disconnected;
    if (limit == 0) limit = 1;
    {
      std::unique_lock lock(s_->mu);
      if (s_->receiver_alive && s_->throttled_queued >= limit) {
        s_->resume_at = limit / 2;
        ++s_->throttled_waiting;
        auto room = [&] { return !s_->receiver_alive || s_->throttled_queued <= limit / 2; };
        while (!room()) s_->space_cv.wait_for(lock, detail::kThrottleRecheck, room);
        --s_->throttled_waiting;
      }
      if (!s_->receiver_alive) return SendResult::Disconnected;
      if (s_->capacity != 0 && s_->items.size() >= s_->capacity) return SendResult::Full;
      s_->items.push_back({std::move(item), true});
      ++s_->throttled_queued;
    }
    s_->cv.notify_one();
    return SendResult::Sent;
  }

  explicit operator bool() const { return s_ != nullptr; }

 private:
  void attach() {
    if (!s_) return;
    std::lock_guard lock(s_->mu);
    ++s_->senders;
  }
  void detach() {
    if (!s_) return;
    bool last;
    {
      std::lock_guard lock(s_->mu);
      last = --s_->senders == 0;
    }
    if (last) s_->cv.notify_all();
    s_.reset();
  }
  std::shared_ptr<detail::ChannelState<T>> s_;
};

/// The one receiving end. Destroying it makes later sends fail with Disconnected.
template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& o) noexcept {
    close();
    s_ = std::move(o.s_);
    return *this;
  }
  ~Receiver() { close(); }

  struct Received {
    RecvStatus status;
    std::optional<T> item;  // set with Message
  };

  /// Waits with no time limit. Disconnected once the queue is empty and no sender is left.
  Received recv() { return recv_impl(std::nullopt); }

  /// Waits at most `timeout` (0: just looks).
  Received recv_for(std::chrono::nanoseconds timeout) { return recv_impl(timeout); }

  /// Messages queued now, and how many of them came through send_throttled.
  size_t queued() const {
    std::lock_guard lock(s_->mu);
    return s_->items.size();
  }
  size_t queued_throttled() const {
    std::lock_guard lock(s_->mu);
    return s_->throttled_queued;
  }

 private:
  Received recv_impl(std::optional<std::chrono::nanoseconds> timeout) {
    std::unique_lock lock(s_->mu);
    auto ready = [&] { return !s_->items.empty() || s_->senders == 0; };
    if (!timeout) {
      s_->cv.wait(lock, ready);
    } else if (!ready()) {
      if (timeout->count() > 0) s_->cv.wait_for(lock, *timeout, ready);
    }
    if (!s_->items.empty()) {
      Received r{RecvStatus::Message, std::move(s_->items.front().item)};
      const bool throttled = s_->items.front().throttled;
      s_->items.pop_front();
      if (throttled && --s_->throttled_queued == s_->resume_at && s_->throttled_waiting != 0) {
        s_->space_cv.notify_all();
      }
      return r;
    }
    if (s_->senders == 0) return {RecvStatus::Disconnected, std::nullopt};
    return {RecvStatus::Timeout, std::nullopt};
  }
  void close() {
    if (!s_) return;
    {
      std::lock_guard lock(s_->mu);
      s_->receiver_alive = false;
      s_->items.clear();
      s_->throttled_queued = 0;
    }
    s_->space_cv.notify_all();
  }
  std::shared_ptr<detail::ChannelState<T>> s_;
};

/// A new queue; `capacity` 0 means unbounded.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(size_t capacity = 0) {
  auto s = std::make_shared<detail::ChannelState<T>>();
  s->capacity = capacity;
  return {Sender<T>(s), Receiver<T>(s)};
}

}  // namespace kestrune
