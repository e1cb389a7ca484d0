// Texts of numbers and extents for messages, written the same way by the core and every front
// end.
#pragma once

#include <cstdio>
#include <string>

#include "common/volume.h"

namespace volnlm {

// `v` with `digits` significant digits (printf's %g); the default gives back the double exactly.
inline std::string number_text(double v, int digits = 17) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, v);
  return text;
}

// "d0xd1xd2", e.g. "181x217x181".
inline std::string extents_text(const Extents& e) {
  return std::to_string(e.d0) + "x" + std::to_string(e.d1) + "x" + std::to_string(e.d2);
}

}  // namespace volnlm
