// The supervisor's decisions, driven with a fake world and a fake clock in milliseconds.

#include "main/supervisor.h"

#include <gtest/gtest.h>

#include <cmath>

#include "main/final_stop.h"
#include "protocol/error_codes.h"
#include "fakes/fake_world.h"

namespace kestrune {
namespace supervisor_test {

using testing::FakeWorld;

StartCmd start_cmd(bool cpu = true, bool gpu = false) {
  StartCmd c;
  c.v = 1;
  c.nonce = "n-1";
  c.parent_pid = 77;
  c.cpu.enable = cpu;
  c.gpu.enable = gpu;
  return c;
}

DomainSet free_mode() { return DomainSet{DomainMode::Free, std::nullopt, std::nullopt}; }

class Supervisor : public ::testing::Test {
 protected:
  SupervisorState s = SupervisorState::at_loop_entry(0);
  FakeWorld w;

  Outcome cmd(const Command& c, uint64_t now) { return handle_command(s, w, c, now); }
  Outcome msg(SupervisorMsg m, uint64_t now) { return handle_message(s, w, std::move(m), now); }
  Outcome hb(uint64_t now) { return cmd(HbCmd{}, now); }
  /// Ticks every 100 ms from `from` (exclusive) to `to` (inclusive); the first stop, if any.
  std::pair<Outcome, uint64_t> tick_until(uint64_t from, uint64_t to, uint64_t step = 100) {
    for (uint64_t t = from + step; t <= to; t += step)
      if (Outcome o = tick(s, w, t)) return {o, t};
    return {std::nullopt, to};
  }
};

// --- start ---------------------------------------------------------------------------

TEST_F(Supervisor, StartRefusalsComeInOrderAfterAskingAllThreeProbes) {
  struct Row {
    uint32_t v;
    os::Elevation el;
    os::JobAnswer job;
    os::LockAnswer lock;
    StopReason want;
    int probe_calls;
  };
  const Row rows[] = {
      {0, os::Elevation::NotElevated, os::JobAnswer::Yes, os::LockAnswer::Held, StopReason::BadVersion, 0},
      {2, os::Elevation::Elevated, os::JobAnswer::Yes, os::LockAnswer::Held, StopReason::BadVersion, 0},
      {1, os::Elevation::Elevated, os::JobAnswer::No, os::LockAnswer::Failed, StopReason::Elevated, 3},
      {1, os::Elevation::QueryFailed, os::JobAnswer::Yes, os::LockAnswer::Held, StopReason::Elevated, 3},
      {1, os::Elevation::NotElevated, os::JobAnswer::No, os::LockAnswer::TakenElsewhere, StopReason::NoJob, 3},
      {1, os::Elevation::NotElevated, os::JobAnswer::QueryFailed, os::LockAnswer::Held, StopReason::NoJob, 3},
      {1, os::Elevation::NotElevated, os::JobAnswer::Yes, os::LockAnswer::TakenElsewhere, StopReason::Already, 3},
      {1, os::Elevation::NotElevated, os::JobAnswer::Yes, os::LockAnswer::Failed, StopReason::Already, 3},
  };
  for (const Row& r : rows) {
    SupervisorState st = SupervisorState::at_loop_entry(0);
    FakeWorld fw;
    fw.elevation = r.el;
    fw.job = r.job;
    fw.lock = r.lock;
    StartCmd c = start_cmd();
    c.v = r.v;
    EXPECT_EQ(handle_command(st, fw, c, 5), r.want) << "v=" << r.v;
    EXPECT_EQ(fw.probe_calls, r.probe_calls);
    EXPECT_TRUE(fw.events.empty());
    EXPECT_FALSE(st.started);
    EXPECT_FALSE(fw.pool_request.has_value());
  }
}

TEST_F(Supervisor, StartWithoutGpuSendsTheHelloAtOnce) {
  StartCmd c = start_cmd();
  c.cpu.workers = 2;
  c.nonce = std::string(70, 'x');
  ASSERT_EQ(cmd(c, 40), std::nullopt);
  EXPECT_EQ(w.pool_request, std::optional<std::optional<uint32_t>>(2u));
  EXPECT_EQ(w.opened_parent, 77u);
  auto hellos = w.all<Hello>();
  ASSERT_EQ(hellos.size(), 1u);
  const Hello& h = hellos[0];
  EXPECT_EQ(h.nonce, std::string(64, 'x'));
  EXPECT_EQ(h.pid, 4242u);
  EXPECT_EQ(h.isa, "avx2fma");
  EXPECT_EQ(h.isa_max, "avx2");
  EXPECT_EQ(h.workers, 3u);
  EXPECT_EQ(h.gpu, GpuInfo{});
  EXPECT_TRUE(s.started);
  EXPECT_EQ(s.start_ms, 40u);
  EXPECT_FALSE(w.gpu_hint.has_value());
}

TEST_F(Supervisor, StartClampsTheLimits) {
  struct Row {
    uint64_t hb, max_run_s, want_hb, want_run_ms;
  };
  for (Row r : {Row{100, 10, 500, 30000}, Row{10000, 5000, 3000, 1800000}, Row{600, 780, 600, 780000}}) {
    SupervisorState st = SupervisorState::at_loop_entry(0);
    FakeWorld fw;
    StartCmd c = start_cmd();
    c.hb_timeout_ms = r.hb;
    c.max_run_s = r.max_run_s;
    ASSERT_EQ(handle_command(st, fw, c, 0), std::nullopt);
    EXPECT_EQ(st.hb_timeout_ms, r.want_hb);
    EXPECT_EQ(st.max_run_ms, r.want_run_ms);
  }
}

TEST_F(Supervisor, StartWithoutAUsableParentSendsTheHelloThenStops) {
  StartCmd c = start_cmd();
  c.parent_pid = 0;
  EXPECT_EQ(cmd(c, 0), StopReason::ParentGone);
  EXPECT_EQ(w.all<Hello>().size(), 1u);
  EXPECT_FALSE(w.opened_parent.has_value());

  SupervisorState st = SupervisorState::at_loop_entry(0);
  FakeWorld fw;
  fw.parent_opens = false;
  EXPECT_EQ(handle_command(st, fw, start_cmd(true, true), 0), StopReason::ParentGone);
  EXPECT_TRUE(fw.all<Hello>().empty());  // GPU pending: no hello yet
}

TEST_F(Supervisor, StartFindsAHeartbeatAlreadyTooOld) {
  hb(0);
  StartCmd c = start_cmd();
  c.hb_timeout_ms = 500;
  EXPECT_EQ(cmd(c, 500), StopReason::HbTimeout);
}

TEST_F(Supervisor, CpuPoolFailureIsFatalAfterAnError) {
  w.pool = fail(error_code::kCpuWorker);
  EXPECT_EQ(cmd(start_cmd(), 0), StopReason::Fatal);
  auto errors = w.all<Error>();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, "cpuWorker");
  EXPECT_EQ(errors[0].detail, std::nullopt);
  EXPECT_TRUE(w.all<Hello>().empty());
}

TEST_F(Supervisor, SecondStartIsABadLine) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  ASSERT_EQ(cmd(start_cmd(), 10), std::nullopt);
  auto errors = w.all<Error>();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, "badLine");
  EXPECT_EQ(errors[0].detail, "start twice");
  EXPECT_EQ(w.all<Hello>().size(), 1u);
  // Out-of-order commands count towards the bad-line limit.
  EXPECT_EQ(cmd(start_cmd(), 20), std::nullopt);
  EXPECT_EQ(cmd(start_cmd(), 30), StopReason::Protocol);
}

TEST_F(Supervisor, OutOfOrderCommandsBeforeStart) {
  EXPECT_EQ(cmd(SetCmd{1, free_mode(), std::nullopt}, 0), std::nullopt);
  EXPECT_EQ(cmd(PowerCmd{50.0, 20.0, std::nullopt}, 1), std::nullopt);
  auto errors = w.all<Error>();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].detail, "set before start");
  EXPECT_EQ(errors[1].detail, "power before start");
  EXPECT_TRUE(w.all<Ack>().empty());
}

// --- GPU hello -----------------------------------------------------------------------

TEST_F(Supervisor, HelloWaitsForTheGpuInitReport) {
  StartCmd c = start_cmd(true, true);
  c.gpu.adapter_hint = "vendor a";
  ASSERT_EQ(cmd(c, 100), std::nullopt);
  EXPECT_EQ(w.gpu_hint, std::optional<std::optional<std::string>>(std::string("vendor a")));
  EXPECT_TRUE(w.all<Hello>().empty());
  GpuInfo info{true, "Vendor A Graphics", 0x10DE, 19.5, std::nullopt};
  ASSERT_EQ(msg(GpuInit{info}, 2599), std::nullopt);
  auto hellos = w.all<Hello>();
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_EQ(hellos[0].gpu, info);
  EXPECT_TRUE(s.gpu_usable);
}

TEST_F(Supervisor, OverdueHelloSaysGpuSlowAndALateInitIsDropped) {
  ASSERT_EQ(cmd(start_cmd(true, true), 100), std::nullopt);
  hb(1500);
  ASSERT_EQ(tick(s, w, 2599), std::nullopt);
  EXPECT_TRUE(w.all<Hello>().empty());
  hb(2599);
  ASSERT_EQ(tick(s, w, 2600), std::nullopt);
  auto hellos = w.all<Hello>();
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_FALSE(hellos[0].gpu.ok);
  EXPECT_EQ(hellos[0].gpu.err, "gpuSlow");
  ASSERT_EQ(msg(GpuInit{GpuInfo{true, "late", 1, 20.0, std::nullopt}}, 2700), std::nullopt);
  EXPECT_EQ(w.all<Hello>().size(), 1u);
  EXPECT_FALSE(s.gpu_usable);
  // A later set asking for GPU load leaves it off.
  cmd(SetCmd{1, std::nullopt, free_mode()}, 2700);
  EXPECT_EQ(s.gpu_reg.mode, DomainMode::Off);
}

TEST_F(Supervisor, GpuThreadThatCannotStartGivesNoAdapterAtOnce) {
  w.gpu_thread_starts = false;
  ASSERT_EQ(cmd(start_cmd(false, true), 0), std::nullopt);
  auto hellos = w.all<Hello>();
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_EQ(hellos[0].gpu.err, "noAdapter");
  EXPECT_EQ(hellos[0].workers, 0u);
}

TEST_F(Supervisor, SetBeforeTheGpuIsUsableConfiguresItOff) {
  ASSERT_EQ(cmd(start_cmd(true, true), 0), std::nullopt);
  cmd(SetCmd{1, free_mode(), free_mode()}, 10);
  EXPECT_EQ(s.gpu_reg.mode, DomainMode::Off);
  EXPECT_EQ(s.cpu_reg.mode, DomainMode::Free);
  msg(GpuInit{GpuInfo{true, "G", 1, 20.0, std::nullopt}}, 500);
  cmd(SetCmd{2, free_mode(), free_mode()}, 600);
  EXPECT_EQ(s.gpu_reg.mode, DomainMode::Free);
}

// --- set, power, publish ---------------------------------------------------------------

TEST_F(Supervisor, EverySetIsAcknowledgedButOnlyNewerOnesApply) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  cmd(SetCmd{5, free_mode(), std::nullopt}, 10);
  cmd(SetCmd{4, std::nullopt, std::nullopt}, 20);
  cmd(SetCmd{5, std::nullopt, std::nullopt}, 30);
  auto acks = w.all<Ack>();
  ASSERT_EQ(acks.size(), 3u);
  EXPECT_EQ(acks[0].seq, 5u);
  EXPECT_EQ(acks[1].seq, 4u);
  EXPECT_EQ(s.cpu_reg.mode, DomainMode::Free);
  // A set naming only the GPU switches the CPU off.
  cmd(SetCmd{6, std::nullopt, free_mode()}, 40);
  EXPECT_EQ(s.cpu_reg.mode, DomainMode::Off);
}

TEST_F(Supervisor, TargetIsCappedInTheStatus) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  hb(0);
  cmd(SetCmd{1, DomainSet{DomainMode::Target, 150.0, 120.0}, std::nullopt}, 10);
  ASSERT_EQ(tick(s, w, 100), std::nullopt);
  auto st = w.all<Status>();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].cpu.mode, DomainMode::Target);
  EXPECT_EQ(st[0].cpu.target_w, 120.0);
  EXPECT_EQ(st[0].gpu.target_w, std::nullopt);
}

TEST_F(Supervisor, PowerMovesTheDutyOnlyWhileTheHeartbeatIsFresh) {
  StartCmd c = start_cmd();
  c.hb_timeout_ms = 1000;
  ASSERT_EQ(cmd(c, 0), std::nullopt);
  cmd(SetCmd{1, free_mode(), std::nullopt}, 0);
  cmd(PowerCmd{50.0, std::nullopt, std::nullopt}, 100);  // no heartbeat yet: dropped
  EXPECT_EQ(s.cpu_reg.duty, 0.0);
  hb(200);
  cmd(PowerCmd{50.0, std::nullopt, std::nullopt}, 250);
  EXPECT_DOUBLE_EQ(s.cpu_reg.duty, 0.0625);
  EXPECT_EQ(w.cpu_e4, 625u);
  // Invalid readings change nothing.
  cmd(PowerCmd{5000.5, std::nullopt, std::nullopt}, 500);
  cmd(PowerCmd{std::nan(""), std::nullopt, std::nullopt}, 500);
  EXPECT_DOUBLE_EQ(s.cpu_reg.duty, 0.0625);
  // A heartbeat older than the timeout: readings dropped and the duty published as 0.
  cmd(PowerCmd{50.0, std::nullopt, std::nullopt}, 1200);
  EXPECT_DOUBLE_EQ(s.cpu_reg.duty, 0.0625);
  EXPECT_EQ(w.cpu_e4, 0u);
}

TEST_F(Supervisor, NoLoadBeforeTheHello) {
  ASSERT_EQ(cmd(start_cmd(true, true), 0), std::nullopt);
  hb(0);
  s.cpu_reg.duty = 0.5;  // as if readings had moved it
  publish_duties(s, w, 10);
  EXPECT_EQ(w.cpu_e4, 0u);
  msg(GpuInit{GpuInfo{true, "G", 1, 20.0, std::nullopt}}, 20);
  publish_duties(s, w, 30);
  EXPECT_EQ(w.cpu_e4, 5000u);
}

TEST_F(Supervisor, DutySecondsAccumulateTheDutyInForce) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  uint64_t t = 0;
  s.cpu_reg.mode = DomainMode::Free;
  s.cpu_reg.duty = 0.5;
  for (; t <= 10000; t += 100) {
    hb(t);
    publish_duties(s, w, t);
  }
  EXPECT_NEAR(s.cpu_s, 5.0, 1e-9);
  EXPECT_EQ(s.gpu_s, 0.0);
  EXPECT_EQ(make_bye(StopReason::Stop, 1.25, 0.0).cpu_s, 1.3);
  EXPECT_EQ(make_bye(StopReason::Stop, s.cpu_s, s.gpu_s).cpu_s, 5.0);
}

TEST(DutyWord, ConvertsFractionsToTenThousandths) {
  struct Row {
    double in;
    uint32_t out;
  };
  const Row rows[] = {{0.0, 0},       {-0.5, 0},      {std::nan(""), 0}, {INFINITY, 0},
                      {0.00005, 1},   {0.00004, 0},   {0.5, 5000},       {1.0, 10000},
                      {1.25, 10000},  {0.12345, 1235}};
  for (Row r : rows) EXPECT_EQ(duty_to_e4(r.in), r.out) << r.in;
}

TEST(Nonce, KeepsTheFirst64WholeCharacters) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += (i % 2) ? "\xC3\xA9" : "\xE2\x82\xAC";  // é and €
  std::string cut = cut_nonce(text);
  std::string want;
  for (int i = 0; i < 64; ++i) want += (i % 2) ? "\xC3\xA9" : "\xE2\x82\xAC";
  EXPECT_EQ(cut, want);
  EXPECT_EQ(cut_nonce("short"), "short");
  EXPECT_EQ(cut_nonce(""), "");
}

// --- GPU and worker reports ---------------------------------------------------------------

TEST_F(Supervisor, GpuFailureSwitchesTheGpuOffForGood) {
  ASSERT_EQ(cmd(start_cmd(true, true), 0), std::nullopt);
  msg(GpuInit{GpuInfo{true, "G", 1, 20.0, std::nullopt}}, 10);
  hb(10);
  cmd(SetCmd{1, std::nullopt, free_mode()}, 20);
  s.gpu_reg.duty = 0.8;
  publish_duties(s, w, 30);
  EXPECT_EQ(w.gpu_e4, 8000u);
  EXPECT_EQ(msg(GpuFailed{"gpuSlow", "two dispatches above 250 ms"}, 40), std::nullopt);
  EXPECT_EQ(w.gpu_e4, 0u);
  EXPECT_EQ(s.gpu_reg.mode, DomainMode::Off);
  auto errors = w.all<Error>();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, "gpuSlow");
  EXPECT_EQ(errors[0].detail, "two dispatches above 250 ms");
  cmd(SetCmd{2, std::nullopt, free_mode()}, 50);
  EXPECT_EQ(s.gpu_reg.mode, DomainMode::Off);
}

TEST_F(Supervisor, WorkerTimerFailureIsFatal) {
  EXPECT_EQ(msg(WorkerFailed{}, 0), StopReason::Fatal);
  auto errors = w.all<Error>();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, "timer");
  EXPECT_EQ(errors[0].detail, std::nullopt);
  EXPECT_EQ(msg(StdinClosed{}, 0), StopReason::StdinClosed);
  EXPECT_EQ(msg(StdoutFailed{}, 0), StopReason::StdinClosed);
  EXPECT_EQ(cmd(StopCmd{}, 0), StopReason::Stop);
}

TEST_F(Supervisor, SamplesKeepTheDispatchTimeToOneDecimal) {
  msg(GpuSample{19.96}, 0);
  EXPECT_EQ(s.dispatch_ms, 20.0);
  msg(GpuSample{std::nan("")}, 0);
  EXPECT_EQ(s.dispatch_ms, 0.0);
}

// --- watchdogs -----------------------------------------------------------------------------

TEST_F(Supervisor, FirstHeartbeatGraceBeforeAndAfterStart) {
  // Before any start: 10 s from loop entry.
  auto [out, at] = tick_until(0, 20000);
  EXPECT_EQ(out, StopReason::HbTimeout);
  EXPECT_EQ(at, 10000u);
  EXPECT_TRUE(w.events.empty());

  // After a start at 3 s: 10 s from the start.
  SupervisorState st = SupervisorState::at_loop_entry(0);
  FakeWorld fw;
  ASSERT_EQ(handle_command(st, fw, start_cmd(), 3000), std::nullopt);
  EXPECT_EQ(tick(st, fw, 12999), std::nullopt);
  EXPECT_EQ(tick(st, fw, 13000), StopReason::HbTimeout);
}

TEST_F(Supervisor, HeartbeatTimeoutFollowsTheClampedLimit) {
  struct Row {
    uint64_t asked, effective;
  };
  for (Row r : {Row{100, 500}, Row{600, 600}, Row{10000, 3000}}) {
    SupervisorState st = SupervisorState::at_loop_entry(0);
    FakeWorld fw;
    StartCmd c = start_cmd();
    c.hb_timeout_ms = r.asked;
    ASSERT_EQ(handle_command(st, fw, c, 0), std::nullopt);
    handle_command(st, fw, HbCmd{}, 1000);
    EXPECT_EQ(tick(st, fw, 1000 + r.effective - 1), std::nullopt) << r.asked;
    EXPECT_EQ(tick(st, fw, 1000 + r.effective), StopReason::HbTimeout) << r.asked;
  }
}

TEST_F(Supervisor, HeartbeatsEverySecondAgainst600MsTimeOut) {
  StartCmd c = start_cmd();
  c.hb_timeout_ms = 600;
  ASSERT_EQ(cmd(c, 0), std::nullopt);
  hb(0);
  auto [out, at] = tick_until(0, 5000);
  EXPECT_EQ(out, StopReason::HbTimeout);
  EXPECT_EQ(at, 600u);
}

TEST_F(Supervisor, RunLimit) {
  StartCmd c = start_cmd();
  c.max_run_s = 10;
  ASSERT_EQ(cmd(c, 0), std::nullopt);
  for (uint64_t t = 100; t < 30000; t += 100) {
    hb(t);
    ASSERT_EQ(tick(s, w, t), std::nullopt) << t;
  }
  hb(30000);
  EXPECT_EQ(tick(s, w, 30000), StopReason::MaxRun);
}

TEST_F(Supervisor, ParentIsCheckedEvery250Ms) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  hb(0);
  w.parent_running = false;
  EXPECT_EQ(tick(s, w, 249), std::nullopt);  // not yet due
  EXPECT_EQ(tick(s, w, 250), StopReason::ParentGone);
}

TEST_F(Supervisor, OutputStallAfter3000MsWithALinePending) {
  w.pending = 1;
  w.last_write_ms = 1000;
  EXPECT_EQ(tick(s, w, 3999), std::nullopt);
  EXPECT_EQ(tick(s, w, 4000), StopReason::StdinClosed);
  w.last_write_ms = 5000;  // a write newer than now counts as no time passed
  EXPECT_EQ(tick(s, w, 4100), std::nullopt);
  w.pending = 0;
  w.last_write_ms = 0;
  EXPECT_EQ(tick(s, w, 9000), std::nullopt);
}

TEST_F(Supervisor, StalenessDropsTheDutyAfter2000Ms) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  cmd(SetCmd{1, DomainSet{DomainMode::Target, 80.0, std::nullopt}, std::nullopt}, 0);
  for (uint64_t t = 100; t <= 2000; t += 100) {
    hb(t);
    if (t <= 1000) cmd(PowerCmd{10.0, std::nullopt, std::nullopt}, t);
    ASSERT_EQ(tick(s, w, t), std::nullopt);
  }
  EXPECT_GT(s.applied_cpu, 0.0);
  hb(3000);
  ASSERT_EQ(tick(s, w, 3000), std::nullopt);
  EXPECT_EQ(s.applied_cpu, 0.0);
  auto st = w.all<Status>();
  EXPECT_TRUE(st.back().cpu.power_stale);
  EXPECT_EQ(st.back().cpu.duty, 0.0);
}

// --- status ---------------------------------------------------------------------------------

TEST_F(Supervisor, StatusEvery250MsOnAverageAndNeverBeforeTheHello) {
  ASSERT_EQ(cmd(start_cmd(true, true), 0), std::nullopt);
  for (uint64_t t = 100; t <= 1000; t += 100) {
    hb(t);
    ASSERT_EQ(tick(s, w, t), std::nullopt);
  }
  EXPECT_TRUE(w.all<Status>().empty());  // hello still due
  msg(GpuInit{GpuInfo{true, "G", 1, 20.0, std::nullopt}}, 1050);
  std::vector<uint64_t> times;
  for (uint64_t t = 1100; t <= 11100; t += 100) {
    hb(t);
    size_t before = w.all<Status>().size();
    ASSERT_EQ(tick(s, w, t), std::nullopt);
    if (w.all<Status>().size() > before) times.push_back(t);
  }
  ASSERT_GE(times.size(), 30u);
  EXPECT_EQ(times.front(), 1100u);  // the first status follows the hello at the next tick
  for (size_t i = 1; i < times.size(); ++i) {
    uint64_t gap = times[i] - times[i - 1];
    EXPECT_TRUE(gap == 200 || gap == 300) << gap;
  }
  double avg = double(times.back() - times.front()) / double(times.size() - 1);
  EXPECT_NEAR(avg, 250.0, 5.0);
  EXPECT_EQ(w.all<Status>().back().t_ms, times.back());
}

TEST_F(Supervisor, StatusScheduleRestartsInsteadOfBursting) {
  ASSERT_EQ(cmd(start_cmd(), 0), std::nullopt);
  hb(100);
  tick(s, w, 100);
  EXPECT_EQ(s.next_status_ms, 250u);
  hb(1000);
  tick(s, w, 1000);  // 650 ms behind
  EXPECT_EQ(s.next_status_ms, 1250u);
  EXPECT_EQ(w.all<Status>().size(), 2u);
}

TEST_F(Supervisor, DispatchTimeShowsOnlyWhileTheGpuIsLoaded) {
  ASSERT_EQ(cmd(start_cmd(false, true), 0), std::nullopt);
  msg(GpuInit{GpuInfo{true, "G", 1, 20.0, std::nullopt}}, 10);
  msg(GpuSample{18.04}, 20);
  hb(50);
  tick(s, w, 100);
  EXPECT_EQ(w.all<Status>().back().gpu.dispatch_ms, std::nullopt);  // off
  cmd(SetCmd{1, std::nullopt, free_mode()}, 110);
  tick(s, w, 400);
  EXPECT_EQ(w.all<Status>().back().gpu.dispatch_ms, std::nullopt);  // free, but duty 0
  hb(400);
  cmd(PowerCmd{std::nullopt, 30.0, std::nullopt}, 450);
  tick(s, w, 700);
  auto last = w.all<Status>().back();
  EXPECT_EQ(last.gpu.mode, DomainMode::Free);
  EXPECT_GT(last.gpu.duty, 0.0);
  EXPECT_EQ(last.gpu.dispatch_ms, 18.0);
}

}  // namespace supervisor_test
}  // namespace kestrune
