// Not compiled: input of the layer rule's tests (tests/cpp/CMakeLists.txt), checked as if it were a
// file of the engine. Every include below is allowed there.
#pragma once

#include <atomic>
#include <vector>

#include "ombrel/field.h"
#include "platform/io_error.h"
#include "pool/thread_pool.h"
