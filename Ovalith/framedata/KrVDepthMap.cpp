#include <Ovalith/framedata/KrVDepthMap.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/geometry/KrVPointContainer.h>
#include <Ovalith/properties/KrVCheckInternal.h>

KrVDepthMap::KrVDepthMap() : KrVDepthRepresentation(), matrix(0, 0) {}

KrVDepthMap::KrVDepthMap(KrVStream* boundStream, int isLive, int isDeferred)
    : KrVDepthRepresentation(boundStream, isLive, isDeferred), matrix(nullptr, 0, 0) {
  KrVDepthMap::ReadPropertiesFromStream();
  SetMode(KRV_PROJECTION_MODE_PROJECTIVE);
  // A stream without a reachable buffer (a null address included) gives a
  // map that is not valid, over no pixels.
  void* buffer = nullptr;
  if (boundStream == nullptr || boundStream->GetBuffer(buffer) != KR_STATUS_OK || buffer == nullptr) {
    matrix.ReAdjust(nullptr, 0, 0);
    SetValidity(0);
  }
}

KrVDepthMap::KrVDepthMap(unsigned short* buffer, unsigned short newXRes, unsigned short newYRes)
    : KrVDepthRepresentation(newXRes, newYRes), matrix(buffer, newXRes, newYRes) {}

KrVDepthMap::~KrVDepthMap() = default;

KrStatus KrVDepthMap::ReadPropertiesFromStream() {
  KRV_RETURN_IF_FAILED(KrVDepthRepresentation::ReadPropertiesFromStream());
  // The matrix never describes more values than the stream's buffer holds:
  // a frame that does not fit is shown as no pixels, and the re-read is
  // tried again at the next update.
  const size_t bytes = static_cast<size_t>(xRes) * yRes * sizeof(unsigned short);
  ReadBufferCapacity();
  void* buffer = KrVStreamData::Data();
  if (buffer == nullptr || bytes > BufferCapacity()) {
    matrix.ReAdjust(nullptr, 0, 0);
    return buffer == nullptr ? KR_STATUS_OS_NULL_POINTER : KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  matrix.ReAdjust(buffer, xRes, yRes);
  return KR_STATUS_OK;
}

namespace {

// The values of the matrix's resolution that its buffer really holds (a
// failed ReAdjust can leave no buffer behind a resolution).
unsigned int ValuesHeld(const KrVDepthMatrix& matrix) {
  const unsigned int area = static_cast<unsigned int>(matrix.GetXRes()) * matrix.GetYRes();
  const unsigned int capacity = matrix.GetContainer().GetCapacity();
  return area < capacity ? area : capacity;
}

}  // namespace

void KrVDepthMap::Fill(unsigned short value) {
  const unsigned int count = ValuesHeld(matrix);
  unsigned short* values = Data();
  for (unsigned int i = 0; i < count; ++i) {
    values[i] = value;
  }
}

void KrVDepthMap::Clear() {
  if (IsValid() != 0) {
    Fill(GetNoSampleValue());
  }
}

KrStatus KrVDepthMap::SetBuffer(void* buffer, unsigned short newXRes, unsigned short newYRes) {
  if (IsValid() == 0) {
    return KR_STATUS_OS_ERROR;
  }
  UpdateResolution(newXRes, newYRes);  // refused on a live map, which keeps its resolution
  return matrix.ReAdjust(buffer, newXRes, newYRes);
}

KrStatus KrVDepthMap::ReAdjust(unsigned short newXRes, unsigned short newYRes) {
  UpdateResolution(newXRes, newYRes);
  return matrix.ReAdjust(newXRes, newYRes);
}

KrStatus KrVDepthMap::CopyFrom(const KrVDepthMap& other, unsigned long long frameTimestamp) {
  return KrVStreamData::CopyFrom(other, frameTimestamp);
}

KrStatus KrVDepthMap::PrepareOwnPixels(const KrVDepthMap& source) {
  KRV_RETURN_IF_FAILED(matrix.ReAdjustApartFrom(source.matrix, xRes, yRes));
  Fill(GetNoSampleValue());
  return KR_STATUS_OK;
}

KrStatus KrVDepthMap::Initialize(const KrVDepthMap& other, unsigned short newXRes, unsigned short newYRes,
                                 unsigned short newXOffset, unsigned short newYOffset) {
  KRV_RETURN_IF_FAILED(KrVDepthRepresentation::Initialize(other, newXOffset, newYOffset, newXRes, newYRes));
  KRV_RETURN_IF_FAILED(PrepareOwnPixels(other));
  SetValidity(1);
  return KR_STATUS_OK;
}

KrStatus KrVDepthMap::Clone(KrVDepthMap& target) const {
  if (&target == this) {
    return KR_STATUS_OK;
  }
  KRV_RETURN_IF_FAILED(target.KrVDepthRepresentation::Initialize(*this, xOffset, yOffset, xRes, yRes));
  // Initialize makes this map the target's parent; a clone keeps this map's
  // own parent, and the translator that goes with it.
  target.CopyWindow(*this);
  KRV_RETURN_IF_FAILED(target.PrepareOwnPixels(*this));
  target.SetValidity(1);
  // The target holds at least XRes x YRes values; this map's matrix may
  // hold fewer (a live map's matrix follows the stream, not SetBuffer).
  const unsigned int area = static_cast<unsigned int>(xRes) * yRes;
  const unsigned int held = ValuesHeld(matrix);
  const unsigned int count = area < held ? area : held;
  krOSMemCopy(target.Data(), Data(), static_cast<size_t>(count) * sizeof(unsigned short));
  return KR_STATUS_OK;
}

KrStatus KrVDepthMap::ConvertToRealWorld(KrVPointContainer& points, KrVNoSampleHandling handling) const {
  return ConvertToRealWorld(0, 0, matrix.GetXRes(), matrix.GetYRes(), points, handling);
}

KrStatus KrVDepthMap::ConvertToRealWorld(unsigned short x, unsigned short y, unsigned short width,
                                         unsigned short height, KrVPointContainer& points,
                                         KrVNoSampleHandling handling) const {
  const KrVRealWorldTranslator* translator = GetRealWorldTranslator();
  if (translator == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;
  }
  return translator->Projective2RW(matrix, x, y, width, height, points, handling, GetNoSampleValue());
}
