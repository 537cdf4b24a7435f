#include "power/power_regulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrune {
namespace power_regulator_test {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

DomainSet free_set() { return DomainSet{DomainMode::Free, std::nullopt, std::nullopt}; }
DomainSet off_set() { return DomainSet{DomainMode::Off, std::nullopt, std::nullopt}; }
DomainSet target_set(std::optional<double> target, std::optional<double> cap = std::nullopt) {
  return DomainSet{DomainMode::Target, target, cap};
}

// A regulator already in `set`'s mode at time `now`, nothing learned.
PowerRegulator regulator_in(const DomainSet& set, uint64_t now = 0) {
  PowerRegulator r;
  r.apply_mode(set, true, now);
  return r;
}

// A target-mode regulator whose previous reading was at `last_ms`, so the next reading at
// `last_ms + dt_ms` gets that interval.
PowerRegulator target_at(double target, double duty, double integral, uint64_t last_ms) {
  PowerRegulator r = regulator_in(target_set(target));
  r.duty = duty;
  r.integral = integral;
  r.last_sample = last_ms;
  return r;
}

// ---- readings and their validity ------------------------------------------------------

TEST(ReadingIsValid, RangeIsZeroToFiveThousandInclusive) {
  struct Case {
    std::optional<double> w;
    bool valid;
  };
  const Case cases[] = {
      {0.0, true},        {-0.0, true},      {5000.0, true},  {123.4, true},
      {5000.5, false},    {-1.0, false},     {-1e-9, false},  {kNaN, false},
      {kInf, false},      {-kInf, false},    {std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reading_is_valid(c.w), c.valid) << (c.w ? std::to_string(*c.w) : "missing");
  }
}

TEST(PowerRegulator, IgnoredReadingsChangeNothing) {
  // An ignored reading must neither ramp nor count as a sign of life.
  PowerRegulator r = regulator_in(free_set(), 1000);
  r.apply_reading(50, 1000);
  ASSERT_DOUBLE_EQ(r.duty, 0.0625);
  const std::vector<std::optional<double>> ignored = {std::nullopt, 5000.5, -1, kNaN, kInf};
  uint64_t now = 1250;
  for (std::optional<double> w : ignored) {
    const std::string what = w ? std::to_string(*w) : "missing";
    r.apply_reading(w, now);
    EXPECT_DOUBLE_EQ(r.duty, 0.0625) << what;
    EXPECT_EQ(r.last_sample, 1000u) << what;
    now += 250;
  }
  r.check_stale(3000);
  EXPECT_TRUE(r.stale);
  EXPECT_EQ(r.duty, 0.0);

  r.apply_reading(5000, 3100);  // the top of the range is a real reading
  EXPECT_FALSE(r.stale);
  EXPECT_EQ(r.last_sample, 3100u);
  EXPECT_DOUBLE_EQ(r.duty, 0.25);  // ramps again from 0 with a full 1 s interval
}

// ---- "free" ramp ------------------------------------------------------------------------

TEST(PowerRegulator, FreeRampStepFollowsClampedInterval) {
  struct Case {
    const char* name;
    uint64_t interval_ms;
    double step;
  };
  const Case cases[] = {
      {"250 ms", 250, 0.0625},     {"exactly 1 s", 1000, 0.25}, {"1.5 s counts 1 s", 1500, 0.25},
      {"10 s counts 1 s", 10000, 0.25}, {"50 ms counts 0.1 s", 50, 0.025},
      {"same ms counts 0.1 s", 0, 0.025}, {"100 ms", 100, 0.025}, {"400 ms", 400, 0.1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PowerRegulator r = regulator_in(free_set());
    r.apply_reading(30, 500);  // very first reading of the process: 0.25 s
    ASSERT_DOUBLE_EQ(r.duty, 0.0625);
    r.apply_reading(30, 500 + c.interval_ms);
    EXPECT_DOUBLE_EQ(r.duty, 0.0625 + c.step);
  }
}

TEST(PowerRegulator, FreeReachesFullDutyAfterSixteenReadingsAt250ms) {
  PowerRegulator r = regulator_in(free_set());
  for (int i = 0; i < 16; ++i) {
    r.apply_reading(40, 250 * static_cast<uint64_t>(i));
    EXPECT_NEAR(r.duty, 0.0625 * (i + 1), 1e-12) << "reading " << i + 1;
  }
  EXPECT_EQ(r.duty, 1.0);
  r.apply_reading(40, 4000);
  EXPECT_EQ(r.duty, 1.0);  // capped
}

TEST(PowerRegulator, ClockGoingBackwardsCountsAsShortestInterval) {
  PowerRegulator r = regulator_in(free_set(), 5000);
  r.apply_reading(40, 5000);
  r.apply_reading(40, 4000);
  EXPECT_DOUBLE_EQ(r.duty, 0.0625 + 0.025);
}

// ---- learning idle and full-load power ---------------------------------------------------

TEST(PowerRegulator, IdleLearningUsesDutyBeforeTheReading) {
  PowerRegulator r = regulator_in(free_set());
  r.apply_reading(21, 0);  // taken at duty 0 although it raises the duty
  EXPECT_EQ(r.idle_avg, 21.0);
  EXPECT_EQ(r.idle_window.size(), 1u);
  r.apply_reading(60, 250);  // taken under load: window emptied, average kept
  EXPECT_TRUE(r.idle_window.empty());
  EXPECT_EQ(r.idle_avg, 21.0);
}

TEST(PowerRegulator, IdleAverageCoversTheLastSecond) {
  PowerRegulator r;  // off
  const double watts[] = {10, 20, 30, 40, 50, 60};
  std::vector<double> expected = {10, 15, 20, 25, 35, 45};  // entries aged 1000 ms drop out
  for (size_t i = 0; i < 6; ++i) {
    r.apply_reading(watts[i], 250 * i);
    EXPECT_DOUBLE_EQ(*r.idle_avg, expected[i]) << "reading at " << 250 * i;
  }
  EXPECT_EQ(r.idle_window.size(), 4u);
  r.apply_reading(100, 5000);  // a long gap leaves only the new reading
  EXPECT_EQ(r.idle_window.size(), 1u);
  EXPECT_EQ(r.idle_avg, 100.0);
}

// Ramps a fresh free regulator to duty 1 with readings every 250 ms; returns the time of
// the reading that reached it.
uint64_t ramp_to_full(PowerRegulator& r) {
  uint64_t t = 0;
  for (int i = 0; i < 16; ++i, t += 250) r.apply_reading(50, t);
  return t - 250;
}

TEST(PowerRegulator, FullAverageFromTheFourthReadingAtFullDuty) {
  PowerRegulator r = regulator_in(free_set());
  uint64_t t = ramp_to_full(r);
  ASSERT_EQ(r.duty, 1.0);
  EXPECT_TRUE(r.full_window.empty());  // the reading that reached 1 was taken below it

  const double watts[] = {100, 110, 120, 130, 140, 150, 160, 170, 180, 190};
  std::vector<std::optional<double>> expected = {
      std::nullopt, std::nullopt, std::nullopt, 115.0, 120.0, 125.0, 130.0, 135.0,
      145.0,  // the 9th reading pushes the 1st (2000 ms old) out
      155.0};
  for (size_t i = 0; i < 10; ++i) {
    t += 250;
    r.apply_reading(watts[i], t);
    EXPECT_EQ(r.full_avg, expected[i]) << "reading " << i + 1 << " at full duty";
  }
  EXPECT_EQ(r.full_window.size(), 8u);
}

TEST(PowerRegulator, FullLearningOnlyInFreeAndRestartsOnEnteringFree) {
  PowerRegulator r = regulator_in(free_set());
  uint64_t t = ramp_to_full(r);
  for (int i = 0; i < 4; ++i) r.apply_reading(120, t += 250);
  ASSERT_EQ(r.full_avg, 120.0);

  // Target mode at full duty learns nothing and empties the window; the average stays.
  r.apply_mode(target_set(500), true, t);
  r.apply_reading(130, t += 250);
  ASSERT_EQ(r.duty, 1.0);
  EXPECT_TRUE(r.full_window.empty());
  EXPECT_EQ(r.full_avg, 120.0);

  // Back to free at full duty: three fresh readings are not enough to replace it.
  r.apply_mode(free_set(), true, t);
  for (int i = 0; i < 3; ++i) r.apply_reading(200, t += 250);
  EXPECT_EQ(r.full_avg, 120.0);
  r.apply_reading(200, t += 250);
  EXPECT_EQ(r.full_avg, 200.0);

  // A repeated free set is no mode change: the window survives.
  r.apply_mode(free_set(), true, t);
  EXPECT_EQ(r.full_window.size(), 4u);
}

TEST(PowerRegulator, EnteringFreeEmptiesAPartialFullWindow) {
  PowerRegulator r = regulator_in(free_set());
  uint64_t t = ramp_to_full(r);
  for (int i = 0; i < 3; ++i) r.apply_reading(120, t += 250);
  ASSERT_EQ(r.full_window.size(), 3u);
  r.apply_mode(target_set(90), true, t);  // no reading in between
  r.apply_mode(free_set(), true, t);
  EXPECT_TRUE(r.full_window.empty());
  r.apply_reading(120, t += 250);
  EXPECT_FALSE(r.full_avg.has_value());  // one reading, not a fourth
}

TEST(PowerRegulator, WindowsStayBoundedUnderAFlood) {
  // Thousands of readings within one millisecond: age alone would keep them all.
  const size_t flood = PowerRegulator::kMaxWindowSamples * 3;
  PowerRegulator idle;  // off: every reading goes to the idle window
  for (size_t i = 0; i < flood; ++i) idle.apply_reading(i % 2 ? 10 : 30, 7);
  EXPECT_LE(idle.idle_window.size(), PowerRegulator::kMaxWindowSamples);
  EXPECT_DOUBLE_EQ(*idle.idle_avg, 20.0);
  idle.apply_reading(40, 1007);
  EXPECT_EQ(idle.idle_window.size(), 1u);

  PowerRegulator full = regulator_in(free_set());
  uint64_t t = ramp_to_full(full);
  for (size_t i = 0; i < flood; ++i) full.apply_reading(150, t + 1);
  EXPECT_LE(full.full_window.size(), PowerRegulator::kMaxWindowSamples);
  EXPECT_EQ(full.full_avg, 150.0);
}

// ---- modes and targets -------------------------------------------------------------------

TEST(PowerRegulator, ApplyModeDecidesModeAndEffectiveTarget) {
  struct Case {
    const char* name;
    std::optional<DomainSet> set;
    bool active;
    DomainMode mode;
    std::optional<double> target;
  };
  const Case cases[] = {
      {"target capped", target_set(80, 60), true, DomainMode::Target, 60},
      {"cap above target", target_set(80, 100), true, DomainMode::Target, 80},
      {"cap absent", target_set(80), true, DomainMode::Target, 80},
      {"cap infinite", target_set(80, kInf), true, DomainMode::Target, 80},
      {"cap NaN", target_set(80, kNaN), true, DomainMode::Target, 80},
      {"cap minus infinity", target_set(80, -kInf), true, DomainMode::Target, 80},
      {"cap zero", target_set(80, 0), true, DomainMode::Off, std::nullopt},
      {"cap negative", target_set(80, -5), true, DomainMode::Off, std::nullopt},
      {"target zero", target_set(0), true, DomainMode::Off, std::nullopt},
      {"target negative", target_set(-10), true, DomainMode::Off, std::nullopt},
      {"target absent", target_set(std::nullopt, 60), true, DomainMode::Off, std::nullopt},
      {"target infinite", target_set(kInf), true, DomainMode::Off, std::nullopt},
      {"target NaN", target_set(kNaN), true, DomainMode::Off, std::nullopt},
      {"free", free_set(), true, DomainMode::Free, std::nullopt},
      {"free ignores targetW", DomainSet{DomainMode::Free, 50, 40}, true, DomainMode::Free,
       std::nullopt},
      {"off", off_set(), true, DomainMode::Off, std::nullopt},
      {"domain absent", std::nullopt, true, DomainMode::Off, std::nullopt},
      {"domain not running", target_set(80), false, DomainMode::Off, std::nullopt},
      {"free not running", free_set(), false, DomainMode::Off, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Start from a loaded target so that "off" visibly takes the duty down.
    PowerRegulator r = target_at(100, 0.7, 0.2, 0);
    r.apply_mode(c.set, c.active, 10);
    EXPECT_EQ(r.mode, c.mode);
    EXPECT_EQ(r.target_w, c.target);
    EXPECT_EQ(r.duty, c.mode == DomainMode::Off ? 0.0 : 0.7);
  }
}

TEST(PowerRegulator, CappedTargetIsWhatGetsRegulated) {
  // With everything else equal, cap 60 must steer exactly like an uncapped 60 W target.
  PowerRegulator capped = regulator_in(target_set(80, 60));
  PowerRegulator plain = regulator_in(target_set(60));
  for (uint64_t t = 250; t <= 5000; t += 250) {
    const double w = 20 + 100 * capped.duty;
    capped.apply_reading(w, t);
    plain.apply_reading(w, t);
    ASSERT_EQ(capped.duty, plain.duty) << t;
  }
}

TEST(PowerRegulator, ModeChangeEffects) {
  PowerRegulator r = regulator_in(free_set(), 100);
  EXPECT_EQ(r.mode_since, 100u);
  r.duty = 0.6;
  r.integral = 0.3;
  r.apply_mode(free_set(), true, 200);  // same mode: nothing
  EXPECT_EQ(r.mode_since, 100u);
  EXPECT_EQ(r.integral, 0.3);

  r.apply_mode(target_set(90), true, 300);  // free -> target: integral 0, duty kept
  EXPECT_EQ(r.mode_since, 300u);
  EXPECT_EQ(r.integral, 0.0);
  EXPECT_EQ(r.duty, 0.6);

  r.integral = -0.4;
  r.apply_mode(target_set(120), true, 400);  // target -> target: only the target moves
  EXPECT_EQ(r.mode_since, 300u);
  EXPECT_EQ(r.integral, -0.4);
  EXPECT_EQ(r.target_w, 120.0);
  EXPECT_EQ(r.duty, 0.6);

  r.stale = true;
  r.idle_avg = 20;
  r.full_avg = 110;
  r.last_sample = 250;
  r.switch_off(500);  // a failed domain: off with the mode-change effects
  EXPECT_EQ(r.mode, DomainMode::Off);
  EXPECT_EQ(r.mode_since, 500u);
  EXPECT_EQ(r.integral, 0.0);
  EXPECT_EQ(r.duty, 0.0);
  EXPECT_FALSE(r.stale);
  EXPECT_FALSE(r.target_w.has_value());
  // Learned levels and the last reading survive mode changes.
  EXPECT_EQ(r.idle_avg, 20.0);
  EXPECT_EQ(r.full_avg, 110.0);
  EXPECT_EQ(r.last_sample, 250u);

  r.switch_off(600);  // already off: no new mode time
  EXPECT_EQ(r.mode_since, 500u);
}

TEST(PowerRegulator, OffLearnsIdleHoldsZeroAndNeverGoesStale) {
  PowerRegulator r;
  r.integral = 0.5;  // whatever was left behind is cleared by the first reading
  r.apply_reading(18, 1000);
  r.apply_reading(22, 1250);
  EXPECT_EQ(r.duty, 0.0);
  EXPECT_EQ(r.integral, 0.0);
  EXPECT_EQ(r.idle_avg, 20.0);
  for (uint64_t t : {3250u, 100000u, 10000000u}) {
    r.check_stale(t);
    EXPECT_FALSE(r.stale);
    EXPECT_EQ(r.duty, 0.0);
  }
}

// ---- the control step ---------------------------------------------------------------------

TEST(PowerRegulator, FirstControlStepRisesByTheStepLimit) {
  PowerRegulator r = regulator_in(target_set(100));
  r.apply_reading(0, 40);  // first reading: dt 0.25 s; e = 1, p = 0.8 without levels
  EXPECT_DOUBLE_EQ(r.duty, 0.0625);
  EXPECT_EQ(r.integral, 0.0);  // the rise was cut by the step limit: no windup
}

TEST(PowerRegulator, FeedForwardFromLearnedLevels) {
  // Reading equal to the target: e = 0, so the output is exactly the feed-forward. A 1 s
  // interval allows a 0.25 rise, enough from 0.8 to reach 1.
  struct Case {
    const char* name;
    double idle, full, target, ff;
  };
  const Case cases[] = {
      {"middle of the line", 20, 120, 70, 0.5},
      {"quarter", 20, 120, 45, 0.25},
      {"above full", 20, 120, 150, 1.0},
      {"below idle", 20, 120, 10, 0.0},
      {"span exactly 5 W", 20, 25, 24, 0.5},
      {"span under 5 W", 20, 23, 22, 0.5},
      {"span just over 5 W", 20, 25.5, 21.375, 0.25},
      {"span just over 5 W, top", 20, 25.5, 25.5, 1.0},
      {"full below idle", 120, 20, 100, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PowerRegulator r = target_at(c.target, 0.8, 0, 0);
    r.idle_avg = c.idle;
    r.full_avg = c.full;
    r.apply_reading(c.target, 1000);
    EXPECT_DOUBLE_EQ(r.duty, c.ff);
  }
  // The feed-forward is clamped before the error acts on it, so a target beyond either
  // learned level still leaves the loop room to correct (dt = 1 s, so I = 0.6·e).
  struct Clamped {
    double target, reading, duty;
  };
  const Clamped clamped[] = {
      {220, 253, 1.0 - 0.045 - 0.09},  // e = -0.15, ff 1 (not 2)
      {10, 7, 0.0 + 0.09 + 0.18},      // e = 0.3, ff 0 (not -0.1)
  };
  for (const Clamped& c : clamped) {
    SCOPED_TRACE(c.target);
    PowerRegulator r = target_at(c.target, 0.8, 0, 0);
    r.idle_avg = 20;
    r.full_avg = 120;
    r.apply_reading(c.reading, 1000);
    EXPECT_NEAR(r.duty, c.duty, 1e-12);
  }

  // With only one level learned the default stands.
  PowerRegulator r = target_at(100, 0.8, 0, 0);
  r.idle_avg = 20;
  r.apply_reading(100, 1000);
  EXPECT_DOUBLE_EQ(r.duty, 0.5);
}

TEST(PowerRegulator, IntegralHeldWhileOutputIsPinned) {
  struct Case {
    const char* name;
    double duty, integral, target, reading;
    double expected_integral;
  };
  // dt = 1 s throughout, so an integrating step adds 0.6·e.
  const Case cases[] = {
      // Below target at full duty: no growth.
      {"full duty, below target", 1.0, 0.3, 100, 50, 0.3},
      // Above target at zero duty: no fall.
      {"zero duty, above target", 0.0, -0.2, 100, 200, -0.2},
      // Below target but the step limit cuts the rise: no growth.
      {"rise cut by step limit", 0.0, 0.0, 100, 0, 0.0},
      // Free to move: integrates.
      {"mid duty, below target", 0.5, 0.0, 100, 90, 0.06},
      {"mid duty, above target", 0.5, 0.0, 100, 150, -0.3},
      {"rise just within step limit", 0.3, 0.0, 100, 90, 0.06},
      {"rise just beyond step limit", 0.25, 0.0, 100, 90, 0.0},
      {"full duty, above target", 1.0, 0.0, 100, 150, -0.3},
      {"on target", 0.5, 0.25, 100, 100, 0.25},
      // The limits hold.
      {"upper limit", 0.8, 0.95, 100, 0, 1.0},
      {"lower limit", 0.5, -0.95, 100, 300, -1.0},
      // Target under 1 W: the error is relative to 1 W.
      {"tiny target", 0.5, 0.0, 0.5, 1.5, -0.6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PowerRegulator r = target_at(c.target, c.duty, c.integral, 0);
    r.apply_reading(c.reading, 1000);
    EXPECT_NEAR(r.integral, c.expected_integral, 1e-12);
    EXPECT_GE(r.duty, 0.0);
    EXPECT_LE(r.duty, 1.0);
  }
}

TEST(PowerRegulator, FallsAtOnceRisesLimited) {
  // Far above target at full duty: down to 0 in one reading.
  PowerRegulator r = target_at(50, 1.0, 0, 0);
  r.apply_reading(200, 250);
  EXPECT_EQ(r.duty, 0.0);

  // A partial fall lands exactly on the controller output: e = -0.2, p = 0.44,
  // I = 0.25 s · 0.6 · -0.2 = -0.03, u = 0.41.
  PowerRegulator f = target_at(100, 0.9, 0, 0);
  f.apply_reading(120, 250);
  EXPECT_NEAR(f.duty, 0.41, 1e-12);

  // Far below target: every rise is at most 0.25·dt, dt being the clamped interval.
  PowerRegulator g = regulator_in(target_set(200));
  const uint64_t times[] = {0, 30, 250, 1750, 1800, 2100, 2600, 2610};
  const double dts[] = {0.25, 0.1, 0.22, 1.0, 0.1, 0.3, 0.5, 0.1};
  for (size_t i = 0; i < 8; ++i) {
    const double before = g.duty;
    g.apply_reading(0, times[i]);
    EXPECT_NEAR(g.duty - before, 0.25 * dts[i], 1e-12) << "reading at " << times[i];
  }
}

TEST(PowerRegulator, ClosedLoopSettlesOnALinearPlant) {
  // A lag-free plant: 20 W idle + 100 W at full duty. Whatever the start, the duty must
  // settle where the plant meets the target and stay within 0..1.
  for (double target : {45.0, 70.0, 110.0}) {
    SCOPED_TRACE(target);
    PowerRegulator r = regulator_in(target_set(target));
    for (uint64_t t = 0; t <= 30000; t += 250) {
      r.apply_reading(20 + 100 * r.duty, t);
      ASSERT_GE(r.duty, 0.0);
      ASSERT_LE(r.duty, 1.0);
    }
    EXPECT_NEAR(20 + 100 * r.duty, target, 0.01 * target);
  }
}

// ---- staleness ----------------------------------------------------------------------------

TEST(PowerRegulator, StaleAfterTwoSecondsFromLaterOfReadingAndModeChange) {
  struct Case {
    const char* name;
    DomainSet set;
    uint64_t mode_at;
    std::optional<uint64_t> reading_at;
    uint64_t stale_at;  // first tick time that trips
  };
  const Case cases[] = {
      {"free, reading after mode", free_set(), 1000, 1500, 3500},
      {"target, reading after mode", target_set(80), 1000, 1500, 3500},
      {"free, no reading yet", free_set(), 1000, std::nullopt, 3000},
      {"free, reading before mode change", free_set(), 1000, 400, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PowerRegulator r;
    if (c.reading_at && *c.reading_at < c.mode_at) r.apply_reading(20, *c.reading_at);
    r.apply_mode(c.set, true, c.mode_at);
    if (c.reading_at && *c.reading_at >= c.mode_at) r.apply_reading(20, *c.reading_at);
    r.duty = 0.4;

    r.check_stale(c.stale_at - 1);
    EXPECT_FALSE(r.stale);
    EXPECT_EQ(r.duty, 0.4);
    r.check_stale(c.stale_at);
    EXPECT_TRUE(r.stale);
    EXPECT_EQ(r.duty, 0.0);
  }
}

TEST(PowerRegulator, ModeChangeRestartsStaleAllowanceAndReadingResumes) {
  PowerRegulator r = regulator_in(free_set(), 0);
  r.apply_reading(20, 0);
  r.apply_mode(target_set(80), true, 1900);  // a new mode just before it would trip
  r.check_stale(2000);
  EXPECT_FALSE(r.stale);
  r.check_stale(3899);
  EXPECT_FALSE(r.stale);
  r.integral = 0.1;
  r.check_stale(3900);
  EXPECT_TRUE(r.stale);
  EXPECT_EQ(r.integral, 0.1);  // stale only drops the duty

  // The next valid reading clears the flag; target resumes from duty 0 with its integral.
  r.apply_reading(20, 4000);
  EXPECT_FALSE(r.stale);
  EXPECT_GT(r.duty, 0.0);
  EXPECT_LE(r.duty, 0.25);

  // Off clears staleness and never trips again.
  r.check_stale(9000);
  ASSERT_TRUE(r.stale);
  r.apply_mode(off_set(), true, 9000);
  EXPECT_FALSE(r.stale);
  r.check_stale(20000);
  EXPECT_FALSE(r.stale);
}

}  // namespace power_regulator_test
}  // namespace kestrune
