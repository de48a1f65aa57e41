#include "nmbclient/Ledger.h"

#include <algorithm>

namespace nmb {

namespace {

std::optional<double> spanMs(const std::optional<net::Clock::time_point>& from,
                             const std::optional<net::Clock::time_point>& to) {
  if (!from || !to) return std::nullopt;
  return std::chrono::duration<double, std::milli>(*to - *from).count();
}

}  // namespace

Stages stagesOf(const Moments& m) {
  return Stages{spanMs(m.trigger, m.postStep), spanMs(m.postStep, m.values), spanMs(m.values, m.shown)};
}

void Ledger::stamp(std::int32_t volume, Moment moment, net::Clock::time_point at) {
  if (volume < 1 || moment < 0 || moment >= kMoments) return;
  if (!first_) {
    first_ = at;
    firstWall_ = std::chrono::system_clock::now() -
                 std::chrono::duration_cast<std::chrono::system_clock::duration>(net::Clock::now() - at);
  }
  const std::size_t index = static_cast<std::size_t>(volume) - 1;
  if (index >= volumes_.size()) {
    // Room for a run of the usual length at once, then doubling: stamps never copy often.
    if (index >= volumes_.capacity())
      volumes_.reserve(std::max<std::size_t>({index + 1, 2 * volumes_.capacity(), 1024}));
    volumes_.resize(index + 1);
  }
  net::Clock::time_point& slot = volumes_[index][static_cast<std::size_t>(moment)];
  if (slot == net::Clock::time_point{}) slot = at;
}

Moments Ledger::moments(std::int32_t volume) const {
  Moments m;
  if (volume < 1 || static_cast<std::size_t>(volume) > volumes_.size()) return m;
  const Entry& e = volumes_[static_cast<std::size_t>(volume) - 1];
  auto get = [&e](Moment k) -> std::optional<net::Clock::time_point> {
    const net::Clock::time_point t = e[static_cast<std::size_t>(k)];
    if (t == net::Clock::time_point{}) return std::nullopt;
    return t;
  };
  m.trigger = get(Trigger);
  m.preStep = get(PreStep);
  m.postStep = get(PostStep);
  m.values = get(Values);
  m.shown = get(Shown);
  return m;
}

}  // namespace nmb
