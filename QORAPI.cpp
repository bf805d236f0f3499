#include "QORAPI.h"
