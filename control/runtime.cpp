#include "control/runtime.h"

Runtime runtime;
