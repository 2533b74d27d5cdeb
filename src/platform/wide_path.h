// Paths the tool builds: UTF-16, at most kMaxPath units with the terminating
// zero. A path that would not fit is never built, so nothing acts on a cut one.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

// base + suffix; empty when base is empty or the result would not fit.
inline std::u16string JoinPath(std::u16string_view base, std::u16string_view suffix) {
  if (base.empty() || base.size() + suffix.size() >= kMaxPath) return {};
  std::u16string path(base);
  path.append(suffix);
  return path;
}

}  // namespace platform
