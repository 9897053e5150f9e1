// The simulated sensor's side of the "Device" flash records: the public
// layouts of <Tollan/TollanFlash.h> and the sensor's constants. Plain data;
// no threading concerns.
#pragma once

#include <Tollan/TollanFlash.h>

namespace tollan::sensor {

using ::BistRecord;
using ::FileAttributesRecord;
using ::FileListEntry;
using ::FileListHeader;
using ::FlashChunkRecord;
using ::FlashFileRecord;
using ::NesaParamsRecord;
using ::SensorIdentityFile;
using ::VersionRecord;

using ::kBistSelectorNesaUnlimited;
using ::kFlashAttributeReadOnly;
using ::kFlashDeleteUpgradeZone;
using ::kFlashTypeNesaParams;
using ::kFlashTypeProtection;
using ::kFlashTypeSensorFault;

}  // namespace tollan::sensor
