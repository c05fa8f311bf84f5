#include "scheduler/beacon_interval.h"

double beacon_interval = BEACON_INTERVAL_START;
