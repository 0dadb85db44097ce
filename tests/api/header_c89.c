/* The public header must compile as plain C89. */
#include "kalvex.h"

int kalvex_header_c89_probe(void);
int kalvex_header_c89_probe(void) { return KALVEX_DLL_VERSION + KALVEX_WM_EVENT; }
