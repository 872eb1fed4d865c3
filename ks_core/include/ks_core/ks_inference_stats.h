// Timing statistics of repeated inference runs, as a backend reports them.
#pragma once

#include <cstdint>

namespace ks {

struct InferenceStats {
  // False when the backend reported no statistics; the other fields are then zero.
  bool hasInfo = false;
  // The backend's timing figure; its unit and statistic are the backend's to document.
  float duration = 0.0f;
  // How many runs the figure covers.
  uint32_t repetitionsCount = 0;
};

}  // namespace ks
