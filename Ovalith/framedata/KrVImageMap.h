// KrVImageMap: an image or infra-red frame shown as a matrix of bytes, with
// bytes-per-pixel bytes per pixel (the matrix's XRes is the row length in
// bytes, which must fit 16 bits). Bound to a stream it wraps the stream's
// buffer and follows "XRes", "YRes", "Cropping", "BytesPerPixel" and
// "OutputFormat"; unbound it owns its pixels and serves as a copy (Clone)
// or a window (Initialize) of another map.
//
// Ownership and copies: as KrVDepthMap (an owned pixel buffer is copied, a
// wrapped one shared; each copy has its own stream handle and
// subscriptions).
//
// Choices of this implementation:
// - a default map is RGB: 3 bytes per pixel, output format
//   KR_OUTPUT_FORMAT_RGB24, image format the older interface's RGB24 code 2;
// - a bound map wraps the stream's buffer after reading "BytesPerPixel", so
//   its matrix always matches the current pixel size;
// - a failed "BytesPerPixel", "OutputFormat" or format conversion keeps the
//   previous value;
// - Clear zeroes the bytes the matrix holds (XRes x YRes x bytes per pixel);
// - Clone gives the target this map's window and parent exactly;
// - KrVImageComponent values are byte offsets inside a pixel.
//
// Threads: as KrVStreamData.
#pragma once

#include <Ovalith/framedata/KrVPixelStreamData.h>
#include <Ovalith/geometry/KrVMatrix.h>

// Byte offset of a component inside a pixel.
enum KrVImageComponent {
  KRV_IMAGE_COMPONENT_RED = 0,  // RGB24
  KRV_IMAGE_COMPONENT_GREEN = 1,
  KRV_IMAGE_COMPONENT_BLUE = 2,
  KRV_IMAGE_COMPONENT_GRAY = 0,       // grey 8-bit, or the low byte of grey 16-bit
  KRV_IMAGE_COMPONENT_GRAY_HIGH = 1,  // the high byte of grey 16-bit
};

class KrVImageMap : public KrVPixelStreamData {
 public:
  // Unbound, owning an empty matrix of 3 bytes per pixel.
  KrVImageMap();
  // Bound to stream; a live map also watches "BytesPerPixel" and "OutputFormat".
  KrVImageMap(KrVStream* stream, int live, int deferred);
  KrVImageMap(const KrVImageMap& other) = default;
  KrVImageMap& operator=(const KrVImageMap& other) = default;
  ~KrVImageMap() override;

  unsigned char* Data() { return static_cast<unsigned char*>(matrix.Data()); }
  const unsigned char* Data() const { return static_cast<const unsigned char*>(matrix.Data()); }
  unsigned char& operator[](int i) { return matrix[i]; }
  const unsigned char& operator[](int i) const { return matrix[i]; }
  // Byte bytes-per-pixel * (XRes * y + x) + component.
  unsigned char& operator()(int x, int y, KrVImageComponent component) { return Data()[ByteIndex(x, y, component)]; }
  const unsigned char& operator()(int x, int y, KrVImageComponent component) const {
    return Data()[ByteIndex(x, y, component)];
  }
  const KrVImageMatrix& GetMatrix() const { return matrix; }

  // Zeroes the pixels.
  void Clear();
  unsigned char GetBytesPerPixel() const { return bytesPerPixel; }
  KrOutputFormats GetOutputFormat() const { return outputFormat; }
  // The older interface's image format code (see KrBCOutputFormatToImageFormat).
  unsigned int GetImageFormat() const { return imageFormat; }
  // Copies other's current frame into the bound stream.
  KrStatus CopyFrom(const KrVImageMap& other, unsigned long long timestamp);
  // Makes this map a zeroed window of xRes x yRes at (xOffset, yOffset) of
  // other's frame with other's pixel format. Resolution first.
  KrStatus Initialize(const KrVImageMap& other, unsigned short xRes, unsigned short yRes, unsigned short xOffset,
                      unsigned short yOffset);
  // Makes target a copy of this map: same window, parent, format and pixels.
  KrStatus Clone(KrVImageMap& target) const;

 protected:
  // Reads the pixel fields and the pixel format, then wraps the stream's buffer.
  KrStatus ReadPropertiesFromStream() override;

 private:
  size_t ByteIndex(int x, int y, KrVImageComponent component) const {
    return static_cast<size_t>(bytesPerPixel) *
               (static_cast<size_t>(xRes) * static_cast<unsigned int>(y) + static_cast<unsigned int>(x)) +
           static_cast<size_t>(component);
  }
  // Takes the format and gives the matrix room for the zeroed pixels.
  KrStatus PrepareOwnPixels(const KrVImageMatrix& source, unsigned int format, unsigned char pixelBytes);
  unsigned short RowBytes() const { return static_cast<unsigned short>(xRes * bytesPerPixel); }

  KrVImageMatrix matrix;         // the pixels; its XRes is the row length in bytes
  unsigned int imageFormat;      // older interface's code, from the output format
  KrOutputFormats outputFormat;  // "OutputFormat"
  unsigned char bytesPerPixel;   // "BytesPerPixel"
};
