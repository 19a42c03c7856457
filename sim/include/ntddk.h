/* The kernel's full driver interface; for this product the same as wdm.h. */
#ifndef VAVEDU_SIM_NTDDK_H
#define VAVEDU_SIM_NTDDK_H
#include "wdm.h"
#endif
