// The "File" device kind (recordings) is not in this build yet; creating one
// reports an unknown kind. Its implementation replaces this file.
#include "KitInternal.h"

namespace tollan {

KrStatus CreateFileDevice(const DeviceParams& /*params*/, std::shared_ptr<DeviceBase>* /*device*/) {
  return KR_STATUS_TL_UNKNOWN_DEVICE_KIND;
}

}  // namespace tollan
