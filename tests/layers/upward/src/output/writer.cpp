// A writer that reaches up into the layer above it.
#include "output/recorder.h"
#include "thermal/thermo_table.h"
