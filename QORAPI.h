// QORAPI: the library core. Include this header to reach the whole library.
#ifndef QORAPI_QORAPI_H
#define QORAPI_QORAPI_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"
#include "common/WriteBuffer.h"

#endif
