#include "settings.h"

int32_t gain = 1000;
int32_t interval = 2;
int32_t ppm = 0;
int32_t devid = 0;
int32_t verbose = 0;
int32_t freq = 0;
