/* zembrel.h compiled as strict C99 and alone: no C++ type may slip in. */
#include "zembrel/zembrel.h"

int zembrel_header_check(void);
int zembrel_header_check(void) { return (int)sizeof(zembrel_message_fn); }
