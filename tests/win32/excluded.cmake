# Test cases that cannot hold on Windows, as a gtest negative filter
# (KALVEX_WIN32_EXCLUDED, ':'-separated), each with its reason.
set(_excluded
  # The narrow text of the library is the ANSI code page there, not UTF-8.
  "Text.*"
  # The posted-message quota belongs to the system there (10,000 per queue by
  # default on Windows, none under Wine), not to the library.
  "Events.WindowQueueHoldsTenThousandMessages"
)
list(JOIN _excluded ":" KALVEX_WIN32_EXCLUDED)
