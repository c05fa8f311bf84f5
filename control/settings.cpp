#include "control/settings.h"

Settings settings;
