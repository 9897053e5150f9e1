// Tollan: the device kit under Ovalith. Include this header only.
//
// The kit offers devices of three kinds: "SensorV2" (a simulated depth
// sensor), "File" (a recording, written or played back) and, for tests,
// "Scripted" (see <Tollan/TollanTesting.h>). See TollanDevice.h for the
// conventions every call follows.
#pragma once

#include <Orvane/Orvane.h>
#include <Tollan/TollanTypes.h>
#include <Tollan/TollanStatus.h>
#include <Tollan/TollanPropertySet.h>
#include <Tollan/TollanDevice.h>
#include <Tollan/TollanModule.h>
#include <Tollan/TollanBC.h>
