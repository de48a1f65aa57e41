// One request as it goes on the wire: a name and up to four 32-bit integer
// arguments.  The reply to it echoes both, which the decoders check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string_view>

namespace nmb {

// The plug-in reads at most four arguments for any request.
inline constexpr std::size_t kMaxRequestArguments = 4;

struct Request {
  // `name` is not copied: it must stay valid while the request is in use (the
  // client's own requests use the constants of protocol/ProtocolTexts.h).
  Request(std::string_view name, std::initializer_list<std::int32_t> arguments = {}) : name(name) {
    if (arguments.size() > kMaxRequestArguments)
      throw std::invalid_argument("a request takes at most 4 arguments");
    for (std::int32_t a : arguments) args[argCount++] = a;
  }

  std::string_view name;
  std::array<std::int32_t, kMaxRequestArguments> args{};
  std::size_t argCount = 0;
};

}  // namespace nmb
