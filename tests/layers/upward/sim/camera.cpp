// A simulator that reaches into the library.
#include "platform/platform.h"
