#include <Ovalith/framedata/KrVImageMap.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Tollan/TollanBC.h>

namespace {

// The older interface's code for RGB24.
constexpr unsigned int kImageFormatRgb24 = 2;

}  // namespace

KrVImageMap::KrVImageMap()
    : KrVPixelStreamData(0, 0),
      matrix(0, 0, 3),
      imageFormat(kImageFormatRgb24),
      outputFormat(KR_OUTPUT_FORMAT_RGB24),
      bytesPerPixel(3) {}

KrVImageMap::KrVImageMap(KrVStream* boundStream, int isLive, int isDeferred)
    : KrVPixelStreamData(boundStream, isLive, isDeferred),
      matrix(nullptr, 0, 0, 3),
      imageFormat(kImageFormatRgb24),
      outputFormat(KR_OUTPUT_FORMAT_RGB24),
      bytesPerPixel(3) {
  if (isLive != 0) {
    AddWatchedProperty("BytesPerPixel");
    AddWatchedProperty("OutputFormat");
  }
  KrVImageMap::ReadPropertiesFromStream();
}

KrVImageMap::~KrVImageMap() = default;

KrStatus KrVImageMap::ReadPropertiesFromStream() {
  KRV_RETURN_IF_FAILED(KrVPixelStreamData::ReadPropertiesFromStream());
  const KrVStream& source = *GetStream();
  uint64_t value = 0;
  if (source.GetProperty("BytesPerPixel", value) == KR_STATUS_OK) {
    bytesPerPixel = static_cast<unsigned char>(value);
  }
  if (source.GetProperty("OutputFormat", value) == KR_STATUS_OK) {
    outputFormat = static_cast<KrOutputFormats>(static_cast<uint32_t>(value));
  }
  uint32_t format = imageFormat;
  if (KrBCOutputFormatToImageFormat(outputFormat, &format) == KR_STATUS_OK) {
    imageFormat = format;
  }
  // Wrapped after the pixel size is known, so rows are the right length,
  // and never over more bytes than the stream's buffer holds (a frame that
  // does not fit shows no pixels until a re-read finds it does).
  ReadBufferCapacity();
  void* buffer = KrVStreamData::Data();
  if (buffer == nullptr || static_cast<size_t>(RowBytes()) * yRes > BufferCapacity()) {
    matrix.ReAdjust(nullptr, 0, 0);
    return buffer == nullptr ? KR_STATUS_OS_NULL_POINTER : KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  matrix.ReAdjust(buffer, RowBytes(), yRes);
  return KR_STATUS_OK;
}

void KrVImageMap::Clear() { matrix.Clear(); }

KrStatus KrVImageMap::CopyFrom(const KrVImageMap& other, unsigned long long frameTimestamp) {
  return KrVStreamData::CopyFrom(other, frameTimestamp);
}

KrStatus KrVImageMap::PrepareOwnPixels(const KrVImageMatrix& source, unsigned int format, unsigned char pixelBytes) {
  imageFormat = format;
  bytesPerPixel = pixelBytes;
  KRV_RETURN_IF_FAILED(matrix.ReAdjustApartFrom(source, RowBytes(), yRes));
  matrix.Clear();
  return KR_STATUS_OK;
}

KrStatus KrVImageMap::Initialize(const KrVImageMap& other, unsigned short newXRes, unsigned short newYRes,
                                 unsigned short newXOffset, unsigned short newYOffset) {
  const unsigned int format = other.imageFormat;  // other may be this map
  const unsigned char pixelBytes = other.bytesPerPixel;
  KRV_RETURN_IF_FAILED(KrVPixelStreamData::Initialize(other, newXOffset, newYOffset, newXRes, newYRes));
  return PrepareOwnPixels(other.matrix, format, pixelBytes);
}

KrStatus KrVImageMap::Clone(KrVImageMap& target) const {
  if (&target == this) {
    return KR_STATUS_OK;
  }
  KRV_RETURN_IF_FAILED(target.KrVPixelStreamData::Initialize(*this, xOffset, yOffset, xRes, yRes));
  target.CopyWindow(*this);  // this map's own parent, not this map as parent
  KRV_RETURN_IF_FAILED(target.PrepareOwnPixels(matrix, imageFormat, bytesPerPixel));
  // The target holds its whole matrix; copy no more than this one holds.
  const KrVContainer& source = matrix.GetContainer();
  const unsigned int wanted = static_cast<unsigned int>(target.matrix.GetXRes()) * target.matrix.GetYRes();
  const unsigned int count = wanted < source.GetCapacity() ? wanted : source.GetCapacity();
  krOSMemCopy(target.Data(), Data(), count);
  return KR_STATUS_OK;
}
