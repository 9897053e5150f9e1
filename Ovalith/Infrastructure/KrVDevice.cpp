// Construction and destruction of the device object.
#include <Ovalith/Infrastructure/KrVDevice.h>

KrVDevice::KrVDevice(int compatibility) { Ctor(compatibility); }

KrVDevice::~KrVDevice() {
  if (deviceHandle != nullptr) {
    KrDeviceProxyDestroy(&deviceHandle);
  }
}

void KrVDevice::Ctor(int compatibilityArgument) {
  deviceHandle = nullptr;
  lastStatus = KR_STATUS_OK;
  compatibility = compatibilityArgument;
}
