// Ovalith: the depth-sensor engine. Include this header only.
//
// Start the engine with KrVDevice::EngineInit, create KrVDevice objects on
// sensors or recordings, add and open streams, read frames through the
// device's frame objects (GetDepthMap, GetImageMap, GetIRMap,
// GetAudioBuffer), convert depth pixels with their real-world translator,
// and end with KrVDevice::EngineShutdown.
#pragma once

#include <Orvane/Orvane.h>
#include <Tollan/Tollan.h>

#include <Ovalith/Infrastructure/KrVStatus.h>

#include <Ovalith/properties/KrVDeviceCallbackHandler.h>
#include <Ovalith/properties/KrVEventHandlers.h>
#include <Ovalith/properties/KrVInitStreamProperties.h>
#include <Ovalith/properties/KrVModule.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Ovalith/properties/KrVStream.h>
#include <Ovalith/properties/KrVStreamContainer.h>

#include <Ovalith/geometry/KrVBoundingBox.h>
#include <Ovalith/geometry/KrVCameraParameters.h>
#include <Ovalith/geometry/KrVContainer.h>
#include <Ovalith/geometry/KrVFrameAligner.h>
#include <Ovalith/geometry/KrVMatrix.h>
#include <Ovalith/geometry/KrVPoint.h>
#include <Ovalith/geometry/KrVPointContainer.h>
#include <Ovalith/geometry/KrVRealWorldTranslator.h>

#include <Ovalith/filters/KrVDepthFilters.h>

#include <Ovalith/framedata/KrVAudioBuffer.h>
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVDepthRepresentation.h>
#include <Ovalith/framedata/KrVImageMap.h>
#include <Ovalith/framedata/KrVPixelStreamData.h>
#include <Ovalith/framedata/KrVStreamData.h>

#include <Ovalith/Infrastructure/KrVDevice.h>
#include <Ovalith/Infrastructure/KrVDeviceStream.h>
#include <Ovalith/Infrastructure/KrVDeviceRecorder.h>
