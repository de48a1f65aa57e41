// mark(): tell a recorder on this computer (nmb record) what the stimulus
// program just did, one UDP datagram per event to 127.0.0.1.
//
//   nmb::mark("feedback shown", n->timePoint);   // right after the flip
//   nmb::mark("cue");                            // the recorder gives it a volume
//
// The datagram is ASCII text, no NUL, no newline:
//   "Nimbrel Mark: <volume> <seconds> <label>"
// <volume> counted from 1 as the notifications count it, or "-"; <seconds> the
// system clock (Unix time) at the send with 6 decimals; <label> UTF-8, at most
// kMaxLabelBytes, tabs and line breaks turned into spaces.  The port is
// kEventsPort unless the environment variable NMB_EVENTS_PORT or `port` says
// otherwise.  A mark never blocks and never throws: one that cannot be sent
// returns false and is counted in droppedMarks().  Any thread may mark.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nmb {

inline constexpr std::uint16_t kEventsPort = 55570;
inline constexpr std::size_t kMaxLabelBytes = 256;
inline constexpr const char* kFeedbackShown = "feedback shown";

// The datagram of one mark.
std::string encodeMark(std::string_view label, std::optional<std::int32_t> volume, double unixSeconds);

bool mark(std::string_view label, std::optional<std::int32_t> volume = std::nullopt,
          std::uint16_t port = 0) noexcept;

std::uint64_t droppedMarks() noexcept;

}  // namespace nmb
