// Not compiled: input of the layer rule's tests (tests/cpp/CMakeLists.txt), checked as if it were a
// file of the pool. Each include below breaks the rule in its own way.
#pragma once

#include <vector>

#include "pool/job.h"
#include "ombrel/fault.h"
#include <lib/convert.h>
#include "../ombrel/field.h"
#include "job.h"
#include <Python.h>
