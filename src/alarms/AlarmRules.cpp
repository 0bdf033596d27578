#include "alarms/AlarmRules.h"

namespace km7::alarms {
namespace {

constexpr std::time_t kMaxReadingAge = 30;

struct Ctx {
  const RuleSettings& settings;
  const RuleReading& reading;
  std::time_t now;
  std::vector<RuleMail>& mails;
};

RuleMail MailFor(const Ctx& c, MailKind kind, Quantity q, Limit l, double limitValue, double value,
                 const LimitState& s) {
  RuleMail m;
  m.kind = kind;
  m.quantity = q;
  m.limit = l;
  m.limitValue = limitValue;
  m.valueNow = value;
  m.peak = s.peak;
  m.firedAt = s.firedAt;
  m.now = c.now;
  m.reading = c.reading;
  return m;
}

// "Sensor lost" or "sensor back": what the state knows of the outage.
RuleMail SensorMail(MailKind kind, const RuleState& state, const RuleReading& reading, std::time_t now) {
  RuleMail m;
  m.kind = kind;
  m.now = now;
  m.lastGoodAt = state.lastGoodAt;
  m.problem = state.lastProblem;
  m.crcErrors = state.crcErrors;
  m.reading = reading;
  return m;
}

bool GapOpen(const Ctx& c, const LimitState& s) {
  return c.settings.minGapMinutes > 0 && s.lastMailAt != 0 &&
         c.now - s.lastMailAt < std::time_t(c.settings.minGapMinutes) * 60;
}

// One limit of one quantity against a current value.
void StepLimit(const Ctx& c, Quantity q, Limit l, double limitValue, double value, LimitState& s) {
  const bool high = l == Limit::High;
  // Strict comparisons: a value that is not a number neither fires nor re-arms.
  const bool outside = high ? value > limitValue : value < limitValue;
  if (!s.fired) {
    if (!outside) return;
    s.fired = true;
    s.firedAt = c.now;
    s.peak = value;
    s.backPending = false;  // the new excursion's mail says more than it would
    if (GapOpen(c, s)) {
      if (s.suppressed++ == 0) s.suppressedSince = c.now;
      s.mailed = false;
      return;
    }
    RuleMail m = MailFor(c, MailKind::Alarm, q, l, limitValue, value, s);
    m.suppressed = s.suppressed;
    m.suppressedSince = s.suppressedSince;
    c.mails.push_back(m);
    s.suppressed = 0;
    s.mailed = true;
    s.lastMailAt = c.now;
    return;
  }

  if (high ? value > s.peak : value < s.peak) s.peak = value;
  const bool rearm = high ? limitValue - kRearmMargin > value : limitValue + kRearmMargin < value;
  if (rearm) {
    if (c.settings.backToNormal && s.mailed) {
      // The gap holds every mail of the alarm, this one too.
      if (GapOpen(c, s)) {
        s.backPending = true;
      } else {
        c.mails.push_back(MailFor(c, MailKind::BackToNormal, q, l, limitValue, value, s));
        s.lastMailAt = c.now;
      }
    }
    s.fired = false;
    s.mailed = false;
  } else if (s.mailed && c.settings.repeatMinutes > 0 && !GapOpen(c, s) &&
             c.now - s.lastMailAt >= std::time_t(c.settings.repeatMinutes) * 60) {
    c.mails.push_back(MailFor(c, MailKind::Repeat, q, l, limitValue, value, s));
    s.lastMailAt = c.now;
  }
}

// Excursions held back by the gap are named as soon as it ends: in the alarm
// mail of the one still out of band, else in a mail of their own.
void EndOfGap(const Ctx& c, Quantity q, Limit l, double limitValue, double value, LimitState& s) {
  if (GapOpen(c, s)) return;
  if (s.backPending) {
    s.backPending = false;
    if (!s.fired) {
      c.mails.push_back(MailFor(c, MailKind::BackToNormal, q, l, limitValue, value, s));
      s.lastMailAt = c.now;
      return;
    }
  }
  if (s.suppressed == 0) return;
  RuleMail m;
  if (s.fired && !s.mailed) {
    m = MailFor(c, MailKind::Alarm, q, l, limitValue, value, s);
    m.suppressed = s.suppressed - 1;  // this one is mailed now
    s.mailed = true;
  } else {
    m = MailFor(c, MailKind::Suppressed, q, l, limitValue, value, s);
    m.suppressed = s.suppressed;
  }
  m.suppressedSince = s.suppressedSince;
  if (m.kind == MailKind::Alarm && m.suppressed == 0) m.suppressedSince = 0;
  c.mails.push_back(m);
  s.suppressed = 0;
  s.suppressedSince = 0;
  s.lastMailAt = c.now;
}

}  // namespace

RuleStep StepRules(const RuleState& state, const RuleSettings& settings, const RuleReading& reading,
                   std::time_t now) {
  RuleStep out{state, {}};
  RuleState& next = out.state;
  const Ctx c{settings, reading, now, out.mails};
  if (!next.started) {
    next.started = true;
    next.startedAt = now;
  }

  if (!reading.current) {
    if (reading.problem != SensorProblem::None) next.lastProblem = reading.problem;
    if (reading.crcErrors > next.crcErrors) next.crcErrors = reading.crcErrors;
    const std::time_t since = next.lastGoodAt != 0 ? next.lastGoodAt : next.startedAt;
    if (settings.sensorLostSeconds > 0 && !next.lost && now - since >= settings.sensorLostSeconds) {
      out.mails.push_back(SensorMail(MailKind::SensorLost, next, reading, now));
      next.lost = true;
    }
    return out;  // old values are no alarm: nothing fires and nothing re-arms
  }

  if (next.lost) {
    RuleMail m = SensorMail(MailKind::SensorBack, next, reading, now);
    m.valueNow = reading.temperature;
    out.mails.push_back(m);
    next.lost = false;
  }
  // A current reading is seconds old at most; a stamp further off means the
  // wall clock was set meanwhile, and the step's time is the better guess.
  const std::time_t age = now - reading.measuredAt;
  next.lastGoodAt = reading.measuredAt != 0 && age >= 0 && age <= kMaxReadingAge ? reading.measuredAt : now;
  next.lastProblem = SensorProblem::None;
  next.crcErrors = 0;

  const struct {
    Quantity q;
    bool on;
    const RuleBand& band;
    double value;
  } quantities[] = {
      {Quantity::Temperature, settings.temperatureOn, settings.temperature, reading.temperature},
      {Quantity::Humidity, settings.humidityOn, settings.humidity, reading.humidity},
  };
  for (const auto& qa : quantities) {
    if (!qa.on) continue;
    if (qa.band.highOn) {
      StepLimit(c, qa.q, Limit::High, qa.band.high, qa.value, next.At(qa.q, Limit::High));
      EndOfGap(c, qa.q, Limit::High, qa.band.high, qa.value, next.At(qa.q, Limit::High));
    }
    if (qa.band.lowOn) {
      StepLimit(c, qa.q, Limit::Low, qa.band.low, qa.value, next.At(qa.q, Limit::Low));
      EndOfGap(c, qa.q, Limit::Low, qa.band.low, qa.value, next.At(qa.q, Limit::Low));
    }
  }
  return out;
}

const char* ProblemText(SensorProblem problem) {
  switch (problem) {
    case SensorProblem::Unplugged: return "the module was unplugged";
    case SensorProblem::NoAnswer: return "the sensor did not answer";
    case SensorProblem::CrcFailures: return "readings failed their CRC check";
    case SensorProblem::None: break;
  }
  return "no reading arrived";
}

}  // namespace km7::alarms
