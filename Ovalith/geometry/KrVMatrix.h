// KrVMatrix: a two-dimensional array of XRes columns by YRes rows kept in a
// KrVContainer; element (x, y) is element XRes * y + x. KrVDepthMatrix holds
// 16-bit depth values; KrVImageMatrix holds bytes, several per pixel, and
// its XRes is the row length in bytes (width * bytes per pixel, kept to 16
// bits).
//
// Ownership: as KrVContainer. A matrix either owns its buffer or wraps the
// caller's (for frame objects, the stream's buffer). Copies of an owning
// matrix get their own copy of the elements; copies of a wrapping matrix
// wrap the same memory. Clear and Clone never touch more elements than the
// buffer holds, even when a failed ReAdjust has left no buffer.
//
// Threads: no locking; an object is used from one thread at a time.
#pragma once

#include <Ovalith/geometry/KrVContainer.h>

class KrVMatrix {
 public:
  // Wraps xRes * yRes elements of external memory.
  KrVMatrix(void* buffer, unsigned short xRes, unsigned short yRes, unsigned short elementSize);
  // Allocates xRes * yRes zero-filled elements.
  KrVMatrix(unsigned short xRes, unsigned short yRes, unsigned short elementSize);
  KrVMatrix(const KrVMatrix& other) = default;
  KrVMatrix& operator=(const KrVMatrix& other) = default;
  virtual ~KrVMatrix();

  // Makes room for xRes * yRes elements (see KrVContainer::ReAdjust); on
  // failure the resolution stays.
  KrStatus ReAdjust(unsigned short xRes, unsigned short yRes);
  // Wraps external memory of xRes * yRes elements.
  KrStatus ReAdjust(void* buffer, unsigned short xRes, unsigned short yRes);
  // Room for xRes * yRes elements in a buffer of its own when the current
  // one shares bytes with source's (a copy of a map that wraps the same
  // frame), else as ReAdjust(xRes, yRes): what is filled next never
  // overwrites source.
  KrStatus ReAdjustApartFrom(const KrVMatrix& source, unsigned short xRes, unsigned short yRes);

  // Address of element (x, y); no range check.
  void* GetAt(unsigned short x, unsigned short y) { return container.GetAt(Index(x, y)); }
  const void* GetAt(unsigned short x, unsigned short y) const { return container.GetAt(Index(x, y)); }
  void* GetAt(unsigned int index) { return container.GetAt(index); }
  const void* GetAt(unsigned int index) const { return container.GetAt(index); }
  void* GetNext(void* element) const { return container.GetNext(element); }
  void* Data() { return container.Data(); }
  const void* Data() const { return container.Data(); }
  unsigned short GetXRes() const { return xRes; }
  unsigned short GetYRes() const { return yRes; }
  // The container holding the elements.
  const KrVContainer& GetContainer() const { return container; }

  // Sets every byte of the XRes * YRes elements to 0.
  virtual void Clear();
  // Gives target this matrix's resolution and a copy of its elements (an
  // owned target buffer grows; an external one must be large enough).
  // Different element sizes give KR_STATUS_QM_ILLEGAL_INPUT.
  virtual KrStatus Clone(KrVMatrix& target) const;

 protected:
  // Unsigned arithmetic: 65535 * 65535 does not fit an int.
  unsigned int Index(unsigned int x, unsigned int y) const { return static_cast<unsigned int>(xRes) * y + x; }
  // XRes * YRes, but never more than the buffer holds.
  unsigned int ElementsHeld() const;

  unsigned short xRes;  // columns (bytes per row for an image matrix)
  unsigned short yRes;  // rows
  KrVContainer container;
};

// 16-bit depth values.
class KrVDepthMatrix : public KrVMatrix {
 public:
  KrVDepthMatrix(unsigned short* buffer, unsigned short xRes, unsigned short yRes);
  KrVDepthMatrix(unsigned short xRes, unsigned short yRes);
  ~KrVDepthMatrix() override;

  unsigned short& operator[](int i) { return Values()[i]; }
  const unsigned short& operator[](int i) const { return Values()[i]; }
  // Value XRes * y + x.
  unsigned short& operator()(int x, int y) { return Values()[Index(x, y)]; }
  const unsigned short& operator()(int x, int y) const { return Values()[Index(x, y)]; }
  operator unsigned short*() { return Values(); }
  operator const unsigned short*() const { return Values(); }

 private:
  unsigned short* Values() { return static_cast<unsigned short*>(container.Data()); }
  const unsigned short* Values() const { return static_cast<const unsigned short*>(container.Data()); }
};

// Bytes, bytesPerPixel per pixel; XRes is width * bytesPerPixel.
class KrVImageMatrix : public KrVMatrix {
 public:
  KrVImageMatrix(unsigned char* buffer, unsigned short xRes, unsigned short yRes, unsigned short bytesPerPixel);
  KrVImageMatrix(unsigned short xRes, unsigned short yRes, unsigned short bytesPerPixel);
  ~KrVImageMatrix() override;

  unsigned char& operator[](int i) { return Bytes()[i]; }
  const unsigned char& operator[](int i) const { return Bytes()[i]; }
  operator unsigned char*() { return Bytes(); }
  operator const unsigned char*() const { return Bytes(); }
  // Zeroes the XRes * YRes bytes.
  void Clear() override;

 private:
  unsigned char* Bytes() { return static_cast<unsigned char*>(container.Data()); }
  const unsigned char* Bytes() const { return static_cast<const unsigned char*>(container.Data()); }
};
