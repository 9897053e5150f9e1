#include <Ovalith/framedata/KrVDepthRepresentation.h>

#include <Ovalith/properties/KrVCheckInternal.h>

#include <new>

namespace {

// Reads an integer stream property into a 16-bit field; a failed read keeps
// the field.
void ReadShort(const KrVStream& stream, const char* property, unsigned short& field, unsigned short add = 0) {
  uint64_t value = 0;
  if (stream.GetProperty(property, value) == KR_STATUS_OK) {
    field = static_cast<unsigned short>(value + add);
  }
}

}  // namespace

KrVDepthRepresentation::KrVDepthRepresentation() : KrVDepthRepresentation(0, 0) {}

KrVDepthRepresentation::KrVDepthRepresentation(unsigned short newXRes, unsigned short newYRes)
    : KrVPixelStreamData(newXRes, newYRes),
      zMin(0),
      zRes(0),
      noSampleValue(0),
      translator(nullptr),
      shadowValue(0),
      mode(KRV_PROJECTION_MODE_NONE) {}

KrVDepthRepresentation::KrVDepthRepresentation(KrVStream* boundStream, int isLive, int isDeferred)
    : KrVPixelStreamData(boundStream, isLive, isDeferred),
      zMin(0),
      zRes(0),
      noSampleValue(0),
      translator(nullptr),
      shadowValue(0),
      mode(KRV_PROJECTION_MODE_NONE) {
  if (isLive != 0) {
    AddWatchedProperty("MinDepthValue");
    AddWatchedProperty("MaxDepthValue");
    AddWatchedProperty("ShadowValue");
    AddWatchedProperty("NoSampleValue");
    AddWatchedProperty("ZPD");
    AddWatchedProperty("ZPPS");
  }
  KrVDepthRepresentation::ReadPropertiesFromStream();
}

KrVDepthRepresentation::KrVDepthRepresentation(const KrVDepthRepresentation& other)
    : KrVPixelStreamData(other),
      zMin(other.zMin),
      zRes(other.zRes),
      noSampleValue(other.noSampleValue),
      translator(nullptr),
      shadowValue(other.shadowValue),
      mode(other.mode) {
  CopyTranslator(other.translator);
}

KrVDepthRepresentation& KrVDepthRepresentation::operator=(const KrVDepthRepresentation& other) {
  if (this != &other) {
    KrVPixelStreamData::operator=(other);
    zMin = other.zMin;
    zRes = other.zRes;
    noSampleValue = other.noSampleValue;
    shadowValue = other.shadowValue;
    mode = other.mode;
    CopyTranslator(other.translator);
  }
  return *this;
}

KrVDepthRepresentation::~KrVDepthRepresentation() { delete translator; }

void KrVDepthRepresentation::CopyTranslator(const KrVRealWorldTranslator* source) {
  if (source == nullptr) {
    delete translator;
    translator = nullptr;
  } else if (translator != nullptr) {
    *translator = *source;
  } else {
    translator = new (std::nothrow) KrVRealWorldTranslator(*source);
  }
}

void KrVDepthRepresentation::SetUpTranslator(const KrVRealWorldTranslator* fallback) {
  uint64_t zpdValue = 0;
  double zpps = 0.0;
  double zpd = 0.0;
  if (fallback != nullptr) {
    zpd = fallback->GetZPD();
    zpps = fallback->GetZPPS();
  }
  const KrVStream* source = GetStream();
  if (source != nullptr && source->GetProperty("ZPD", zpdValue) == KR_STATUS_OK) {
    zpd = static_cast<double>(zpdValue);
  }
  double zppsValue = 0.0;
  if (source != nullptr && source->GetProperty("ZPPS", zppsValue) == KR_STATUS_OK) {
    zpps = zppsValue;
  }
  if (translator != nullptr) {
    translator->Init(zpd, zpps, xRes, yRes, parentXRes, parentYRes, xOffset, yOffset);
  } else {
    // An allocation failure leaves the object without a translator.
    translator =
        new (std::nothrow) KrVRealWorldTranslator(zpd, zpps, xRes, yRes, parentXRes, parentYRes, xOffset, yOffset);
  }
}

KrStatus KrVDepthRepresentation::ReadPropertiesFromStream() {
  KRV_RETURN_IF_FAILED(KrVPixelStreamData::ReadPropertiesFromStream());
  const KrVStream& source = *GetStream();
  ReadShort(source, "MinDepthValue", zMin);
  ReadShort(source, "MaxDepthValue", zRes, 1);  // 65535 wraps to 0
  ReadShort(source, "ShadowValue", shadowValue);
  ReadShort(source, "NoSampleValue", noSampleValue);
  SetUpTranslator(translator);
  return KR_STATUS_OK;
}

KrStatus KrVDepthRepresentation::Initialize(const KrVDepthRepresentation& other, unsigned short newXOffset,
                                            unsigned short newYOffset, unsigned short newXRes, unsigned short newYRes) {
  KRV_RETURN_IF_FAILED(KrVPixelStreamData::Initialize(other, newXOffset, newYOffset, newXRes, newYRes));
  zMin = other.zMin;
  zRes = other.zRes;
  shadowValue = other.shadowValue;
  noSampleValue = other.noSampleValue;
  // The stream is other's now; other's calibration stands in for a failed read.
  SetUpTranslator(other.translator != nullptr ? other.translator : translator);
  SetValidity(1);
  return KR_STATUS_OK;
}

void KrVDepthRepresentation::CopyWindow(const KrVDepthRepresentation& other) {
  KrVPixelStreamData::CopyWindow(other);
  CopyTranslator(other.translator);
}
