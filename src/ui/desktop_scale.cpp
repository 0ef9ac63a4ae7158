#include "desktop_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

double desktopScale(const char* xftDpi) {
  if (xftDpi == nullptr) return 1.0;
  char* end = nullptr;
  const double dpi = std::strtod(xftDpi, &end);
  if (end == xftDpi || !std::isfinite(dpi) || dpi <= 0) return 1.0;
  return std::clamp(std::round(dpi / 96.0 * 4.0) / 4.0, 1.0, 4.0);
}
