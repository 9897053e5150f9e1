// Ovalith: the depth-sensor engine. Include this header only.
//
// Start the engine with KrVDevice::EngineInit, create KrVDevice objects on
// sensors or recordings, read frames through their frame objects, and end
// with KrVDevice::EngineShutdown.
#pragma once

#include <Orvane/Orvane.h>
#include <Tollan/Tollan.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/Infrastructure/KrVDevice.h>
#include <Ovalith/properties/KrVPropertySet.h>
