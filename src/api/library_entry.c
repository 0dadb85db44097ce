/* The shared library's own translation unit. Loading it does nothing beyond
 * what static construction does; the exports come from the core archive. */
#include "kalvex.h"
