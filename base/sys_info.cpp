#include "base/sys_info.h"

sys_info sys_info_instruments[SYS_INFO_MAX_INSTRUMENTS];
