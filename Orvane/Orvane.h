// Orvane: the portability and logging library under Tollan and Ovalith.
// Include this header only; see the headers below for each family.
#pragma once

#include <Orvane/OrvaneTypes.h>
#include <Orvane/OrvaneOS.h>
#include <Orvane/OrvaneLog.h>
#include <Orvane/OrvaneStatus.h>
