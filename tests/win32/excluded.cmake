# Test cases that cannot hold on Windows, as a gtest negative filter
# (KALVEX_WIN32_EXCLUDED, ':'-separated), each with its reason.
set(_excluded
  # The narrow text of the library is the ANSI code page there, not UTF-8.
  "Text.*"
  # The posted-message quota belongs to the system there (10,000 per queue by
  # default on Windows, none under Wine), not to the library.
  "Events.WindowQueueHoldsTenThousandMessages"
  # These pin the heap-only images of platforms without GDI: on Windows an
  # image lives in a DIB section with a DC, can be drawn, and a copy is a blit,
  # which copies pixels but not the rows' padding bytes. The same ground is
  # covered for GDI by platform/dib_surface_win32_test.cpp (WithSurfaces.*).
  "DibImage.CreateFillsTheHeaderAndZeroedHeapPixels"
  "DibImage.AssignAndValueSemantics"
  "DibImage.DrawNeedsDeviceContexts"
  # It counts open files and threads in /proc/self, which Windows has not.
  "Resources.*"
)
list(JOIN _excluded ":" KALVEX_WIN32_EXCLUDED)
