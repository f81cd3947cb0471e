// PNG images through the Windows Imaging Component, which every Windows
// since Vista has. The component works on COM streams, so an image is
// encoded into memory and then written to the C stream, and read back the
// other way round.

#include "platform/image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <objbase.h>
#include <utility>
#include <wincodec.h>
#include <windows.h>

namespace {

// Holds one COM interface and releases it.
template <typename T> class Com {
public:
  Com() = default;
  Com(const Com &) = delete;
  Com &operator=(const Com &) = delete;
  ~Com() {
    if (p_)
      p_->Release();
  }
  T **out() { return &p_; }
  T *operator->() const { return p_; }
  T *get() const { return p_; }

private:
  T *p_ = nullptr;
};

// COM for the calling thread for the length of one call. A thread that
// already runs COM in another mode keeps it: the imaging component works
// in either.
class ComScope {
public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComScope(const ComScope &) = delete;
  ComScope &operator=(const ComScope &) = delete;
  ~ComScope() {
    if (SUCCEEDED(result_))
      CoUninitialize();
  }
  bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
  HRESULT result_;
};

// A block of the C runtime, given back when it goes out of scope.
struct Block {
  uint8_t *data = nullptr;
  size_t size = 0;
  Block() = default;
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  ~Block() { std::free(data); }
};

bool make_factory(Com<IWICImagingFactory> &factory) {
  return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWICImagingFactory,
                                    reinterpret_cast<void **>(factory.out())));
}

// The component takes blue, green, red; the facility speaks red, green,
// blue. The same exchange turns one into the other both ways.
void swap_red_blue(uint8_t *pixels, size_t count) {
  for (size_t i = 0; i < count; ++i)
    std::swap(pixels[3 * i], pixels[3 * i + 2]);
}

bool encode_frame(IWICBitmapEncoder *encoder, const uint8_t *rgb, uint32_t width, uint32_t height) {
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  if (FAILED(encoder->CreateNewFrame(frame.out(), options.out())) ||
      FAILED(frame->Initialize(options.get())) || FAILED(frame->SetSize(width, height)))
    return false;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  if (FAILED(frame->SetPixelFormat(&format)) || !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
    return false;
  const UINT stride = width * 3;
  Block row;
  row.data = static_cast<uint8_t *>(std::malloc(stride));
  if (!row.data)
    return false;
  for (uint32_t r = 0; r < height; ++r) {
    std::memcpy(row.data, rgb + static_cast<size_t>(r) * stride, stride);
    swap_red_blue(row.data, width);
    if (FAILED(frame->WritePixels(1, stride, stride, row.data)))
      return false;
  }
  return SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
}

// Copies what the memory stream holds to the C stream.
bool copy_out(IStream *memory, FILE *stream) {
  ULARGE_INTEGER end;
  HGLOBAL global = nullptr;
  if (FAILED(memory->Seek({}, STREAM_SEEK_CUR, &end)) ||
      FAILED(GetHGlobalFromStream(memory, &global)))
    return false;
  const void *bytes = GlobalLock(global);
  if (!bytes)
    return false;
  const size_t n = static_cast<size_t>(end.QuadPart);
  const bool written = std::fwrite(bytes, 1, n, stream) == n;
  GlobalUnlock(global);
  return written && std::fflush(stream) == 0;
}

// Reads the rest of the stream into a block of the C runtime.
bool read_all(FILE *stream, Block &all) {
  size_t capacity = 0;
  for (;;) {
    if (all.size == capacity) {
      capacity = capacity ? capacity * 2 : 64 * 1024;
      auto *grown = static_cast<uint8_t *>(std::realloc(all.data, capacity));
      if (!grown)
        return false;
      all.data = grown;
    }
    const size_t n = std::fread(all.data + all.size, 1, capacity - all.size, stream);
    all.size += n;
    if (n == 0)
      return !std::ferror(stream);
  }
}

bool decode(IWICImagingFactory *factory, const Block &file, uint8_t *rgb, size_t bytes,
            uint32_t *width, uint32_t *height) {
  Com<IWICStream> memory;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  if (FAILED(factory->CreateStream(memory.out())) ||
      FAILED(memory->InitializeFromMemory(file.data, static_cast<DWORD>(file.size))) ||
      FAILED(factory->CreateDecoderFromStream(memory.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              decoder.out())))
    return false;
  GUID container;
  if (FAILED(decoder->GetContainerFormat(&container)) ||
      !IsEqualGUID(container, GUID_ContainerFormatPng) || FAILED(decoder->GetFrame(0, frame.out())))
    return false;
  UINT w = 0, h = 0;
  if (FAILED(frame->GetSize(&w, &h)))
    return false;
  *width = w;
  *height = h;
  const size_t stride = static_cast<size_t>(w) * 3;
  if (!rgb || w == 0 || bytes / stride < h)
    return false;
  Com<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(converter.out())) ||
      FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR,
                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->CopyPixels(nullptr, static_cast<UINT>(stride),
                                   static_cast<UINT>(stride * h), rgb)))
    return false;
  swap_red_blue(rgb, static_cast<size_t>(w) * h);
  return true;
}

} // namespace

extern "C" bool plat_png_write_rgb(FILE *stream, const uint8_t *rgb, uint32_t width,
                                   uint32_t height) {
  if (!stream || !rgb || width == 0 || height == 0 || width > UINT32_MAX / 3)
    return false;
  ComScope com;
  Com<IWICImagingFactory> factory;
  Com<IStream> memory;
  Com<IWICBitmapEncoder> encoder;
  if (!com.usable() || !make_factory(factory) ||
      FAILED(CreateStreamOnHGlobal(nullptr, TRUE, memory.out())) ||
      FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out())) ||
      FAILED(encoder->Initialize(memory.get(), WICBitmapEncoderNoCache)))
    return false;
  return encode_frame(encoder.get(), rgb, width, height) && copy_out(memory.get(), stream);
}

extern "C" bool plat_png_read_rgb(FILE *stream, uint8_t *rgb, size_t bytes, uint32_t *width,
                                  uint32_t *height) {
  uint32_t w = 0, h = 0;
  bool ok = false;
  Block file;
  if (stream && read_all(stream, file) && file.size <= MAXDWORD) {
    ComScope com;
    Com<IWICImagingFactory> factory;
    ok = com.usable() && make_factory(factory) && decode(factory.get(), file, rgb, bytes, &w, &h);
  }
  if (width)
    *width = w;
  if (height)
    *height = h;
  return ok;
}
