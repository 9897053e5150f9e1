#include <Ovalith/geometry/KrVMatrix.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVCheckInternal.h>

namespace {

unsigned int Area(unsigned short xRes, unsigned short yRes) { return static_cast<unsigned int>(xRes) * yRes; }

// The image matrix's row length in bytes, kept to 16 bits as its XRes.
unsigned short RowBytes(unsigned short width, unsigned short bytesPerPixel) {
  return static_cast<unsigned short>(width * bytesPerPixel);
}

}  // namespace

KrVMatrix::KrVMatrix(void* buffer, unsigned short x, unsigned short y, unsigned short elementSize)
    : xRes(x), yRes(y), container(buffer, Area(x, y), elementSize) {}

KrVMatrix::KrVMatrix(unsigned short x, unsigned short y, unsigned short elementSize)
    : xRes(x), yRes(y), container(Area(x, y), elementSize) {}

KrVMatrix::~KrVMatrix() = default;

KrStatus KrVMatrix::ReAdjust(unsigned short x, unsigned short y) {
  KRV_RETURN_IF_FAILED(container.ReAdjust(Area(x, y)));
  xRes = x;
  yRes = y;
  return KR_STATUS_OK;
}

KrStatus KrVMatrix::ReAdjust(void* buffer, unsigned short x, unsigned short y) {
  xRes = x;
  yRes = y;
  return container.ReAdjust(buffer, Area(x, y));
}

KrStatus KrVMatrix::ReAdjustApartFrom(const KrVMatrix& source, unsigned short x, unsigned short y) {
  const size_t sourceBytes = static_cast<size_t>(source.container.GetCapacity()) * source.container.GetElSize();
  if (!container.Overlaps(source.container.Data(), sourceBytes)) {
    return ReAdjust(x, y);
  }
  KRV_RETURN_IF_FAILED(container.ReAdjustOwned(Area(x, y)));
  xRes = x;
  yRes = y;
  return KR_STATUS_OK;
}

unsigned int KrVMatrix::ElementsHeld() const {
  const unsigned int area = Area(xRes, yRes);
  return area < container.GetCapacity() ? area : container.GetCapacity();
}

void KrVMatrix::Clear() {
  krOSMemSet(container.Data(), 0, static_cast<size_t>(ElementsHeld()) * container.GetElSize());
}

KrStatus KrVMatrix::Clone(KrVMatrix& target) const {
  if (target.container.GetElSize() != container.GetElSize()) {
    return KR_STATUS_QM_ILLEGAL_INPUT;
  }
  if (&target == this) {
    return KR_STATUS_OK;
  }
  KRV_RETURN_IF_FAILED(target.container.ReAdjust(Area(xRes, yRes)));
  target.xRes = xRes;
  target.yRes = yRes;
  // The target now holds at least XRes * YRes elements; copy no more than
  // this matrix actually has.
  krOSMemCopy(target.container.Data(), container.Data(), static_cast<size_t>(ElementsHeld()) * container.GetElSize());
  return KR_STATUS_OK;
}

KrVDepthMatrix::KrVDepthMatrix(unsigned short* buffer, unsigned short x, unsigned short y)
    : KrVMatrix(buffer, x, y, sizeof(unsigned short)) {}

KrVDepthMatrix::KrVDepthMatrix(unsigned short x, unsigned short y) : KrVMatrix(x, y, sizeof(unsigned short)) {}

KrVDepthMatrix::~KrVDepthMatrix() = default;

KrVImageMatrix::KrVImageMatrix(unsigned char* buffer, unsigned short x, unsigned short y, unsigned short bytesPerPixel)
    : KrVMatrix(buffer, RowBytes(x, bytesPerPixel), y, 1) {}

KrVImageMatrix::KrVImageMatrix(unsigned short x, unsigned short y, unsigned short bytesPerPixel)
    : KrVMatrix(RowBytes(x, bytesPerPixel), y, 1) {}

KrVImageMatrix::~KrVImageMatrix() = default;

void KrVImageMatrix::Clear() { krOSMemSet(container.Data(), 0, ElementsHeld()); }
