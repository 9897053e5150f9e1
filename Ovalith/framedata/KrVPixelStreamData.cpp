#include <Ovalith/framedata/KrVPixelStreamData.h>

#include <Ovalith/properties/KrVCheckInternal.h>

namespace {

// Reads an integer stream property and keeps its low 16 bits.
KrStatus ReadShort(const KrVStream& stream, const char* property, unsigned short& field) {
  uint64_t value = 0;
  KRV_RETURN_IF_FAILED(stream.GetProperty(property, value));
  field = static_cast<unsigned short>(value);
  return KR_STATUS_OK;
}

}  // namespace

KrVPixelStreamData::KrVPixelStreamData(unsigned short newXRes, unsigned short newYRes)
    : KrVStreamData(nullptr, 0, 0),
      xRes(newXRes),
      yRes(newYRes),
      xOffset(0),
      yOffset(0),
      parentXRes(newXRes),
      parentYRes(newYRes) {}

KrVPixelStreamData::KrVPixelStreamData(KrVStream* boundStream, int isLive, int isDeferred)
    : KrVStreamData(boundStream, isLive, isDeferred),
      xRes(0),
      yRes(0),
      xOffset(0),
      yOffset(0),
      parentXRes(0),
      parentYRes(0) {
  if (isLive != 0) {
    AddWatchedProperty("XRes");
    AddWatchedProperty("YRes");
    AddWatchedProperty("Cropping");
  }
  KrVPixelStreamData::ReadPropertiesFromStream();
}

KrVPixelStreamData::~KrVPixelStreamData() = default;

KrStatus KrVPixelStreamData::ReadPropertiesFromStream() {
  KRV_RETURN_IF_FAILED(KrVStreamData::ReadPropertiesFromStream());
  const KrVStream& source = *GetStream();
  KRV_RETURN_IF_FAILED(ReadShort(source, "XRes", parentXRes));
  KRV_RETURN_IF_FAILED(ReadShort(source, "YRes", parentYRes));
  CroppingRecord cropping = {};
  const KrGeneralBuffer value = {&cropping, static_cast<uint32_t>(sizeof(cropping))};
  if (source.GetProperty("Cropping", value) == KR_STATUS_OK && cropping.enabled != 0) {
    xRes = cropping.xSize;
    yRes = cropping.ySize;
    xOffset = cropping.xOffset;
    yOffset = cropping.yOffset;
  } else {
    // An unreadable record counts as cropping disabled.
    xOffset = 0;
    yOffset = 0;
    xRes = parentXRes;
    yRes = parentYRes;
  }
  return KR_STATUS_OK;
}

KrStatus KrVPixelStreamData::ResetSubMap() {
  if (IsLive() != 0) {
    return KR_STATUS_OS_ERROR;
  }
  parentXRes = xRes;
  parentYRes = yRes;
  return KR_STATUS_OK;
}

KrStatus KrVPixelStreamData::UpdateResolution(unsigned short newXRes, unsigned short newYRes) {
  if (IsLive() != 0) {
    return KR_STATUS_OS_ERROR;
  }
  xRes = newXRes;
  yRes = newYRes;
  return KR_STATUS_OK;
}

KrStatus KrVPixelStreamData::Initialize(const KrVPixelStreamData& other, unsigned short newXOffset,
                                        unsigned short newYOffset, unsigned short newXRes, unsigned short newYRes) {
  // other's resolution first: other may be this object.
  const unsigned short otherXRes = other.xRes;
  const unsigned short otherYRes = other.yRes;
  KRV_RETURN_IF_FAILED(KrVStreamData::Initialize(other));
  xOffset = newXOffset;
  yOffset = newYOffset;
  xRes = newXRes;
  yRes = newYRes;
  parentXRes = otherXRes;
  parentYRes = otherYRes;
  return KR_STATUS_OK;
}

void KrVPixelStreamData::CopyWindow(const KrVPixelStreamData& other) {
  xRes = other.xRes;
  yRes = other.yRes;
  xOffset = other.xOffset;
  yOffset = other.yOffset;
  parentXRes = other.parentXRes;
  parentYRes = other.parentYRes;
}
